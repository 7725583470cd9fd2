"""Both filters' managed browser policies on a throw-away machine (conftest.py):
in place while on, and given back byte for byte whatever was there before and
in whichever order the filters go; a real Chromium obeys the DNS filter's."""

import json
import shutil

import pytest

from conftest import ok, write

FIREFOX = "/etc/firefox/policies/policies.json"
SCHOOL = "/etc/chromium/policies/managed/escuela.json"
CA = "/usr/local/share/ca-certificates/amparo-filtro.crt"
# Each filter's Chromium file, in Chromium's and in Chrome's folder.
CHROMIUM = {"install.sh": "zz-amparo.json", "proxy_install.sh": "zz-amparo-certificado.json"}
FOLDERS = ["/etc/chromium/policies/managed", "/etc/opt/chrome/policies/managed"]
# Where the browsers read policies and trust from, and the parents made for them.
WATCHED = ["/etc/chromium", "/etc/opt", "/etc/firefox", "/usr/lib/firefox-esr",
           "/usr/local/share/ca-certificates", "/etc/ssl/certs/ca-certificates.crt"]

LOCKED = {"DNSOverHTTPS": {"Enabled": False, "Locked": True}}
PROXY = {"Proxy": {"Mode": "manual", "HTTPProxy": "127.0.0.1:8080", "SSLProxy": "127.0.0.1:8080",
                   "Locked": True}}
OTHERS = ('{\n    "policies": {\n        "DisableTelemetry": true,\n'
          '        "Certificates": {"Install": ["escuela.crt"]}\n    }\n}\n')
OWN_DOH = {"DisableAppUpdate": True, "Proxy": {"Mode": "system"},
           "DNSOverHTTPS": {"Enabled": True, "ProviderURL": "https://doh.example/dns-query"}}
INVALID = '{"policies": {"DisableTelemetry": true,}\n'
THEIRS = {SCHOOL: '{"HomepageLocation": "https://escuela.example/"}\n'}
DNS = "install.sh install.sh disable.sh | install.sh uninstall.sh"
WORDS = "proxy_install.sh proxy_uninstall.sh"


# Files there before; the scripts run, rounds apart (each round ends where it
# began); Firefox's policies while on (None: the file left as it was).
@pytest.mark.parametrize("before,steps,policies", [
    pytest.param({}, DNS, LOCKED, id="dns"),
    pytest.param({FIREFOX: OTHERS, **THEIRS}, DNS, {
        "DisableTelemetry": True, "Certificates": {"Install": ["escuela.crt"]}, **LOCKED},
        id="dns y otras"),
    pytest.param({FIREFOX: json.dumps({"policies": OWN_DOH})}, DNS,
                 {"DisableAppUpdate": True, "Proxy": {"Mode": "system"}, **LOCKED},
                 id="dns y DoH propio"),
    pytest.param({FIREFOX: INVALID, **THEIRS}, DNS, None, id="dns e invalido"),
    # Firefox stops reading its distribution file once /etc/firefox has one.
    pytest.param({"/usr/lib/firefox-esr/distribution/policies.json":
                  '{"policies": {"DisableTelemetry": true}}'}, DNS,
                 {"DisableTelemetry": True, **LOCKED}, id="dns y distribucion"),
    pytest.param({FIREFOX: OTHERS}, WORDS, {
        "DisableTelemetry": True, "Certificates": {"Install": ["escuela.crt", CA]}, **PROXY},
        id="palabras y otras"),
    pytest.param({FIREFOX: INVALID}, WORDS, None, id="palabras e invalido"),
    # uninstall.sh takes the keyword filter away with the rest.
    pytest.param({FIREFOX: OTHERS}, "install.sh proxy_install.sh disable.sh proxy_uninstall.sh"
                 " | proxy_install.sh install.sh uninstall.sh", {
                     "DisableTelemetry": True, "Certificates": {"Install": ["escuela.crt", CA]},
                     **LOCKED, **PROXY}, id="los dos"),
])
def test_policies_while_on_and_given_back_byte_for_byte(machine, before, steps, policies):
    if "proxy" in steps and shutil.which("mitmdump") is None:
        pytest.skip("falta mitmproxy")
    for inside, text in before.items():
        write(machine.path(inside), text)
    original = machine.snapshot(*WATCHED)
    for round_ in steps.split("|"):
        names = round_.split()
        for index, name in enumerate(names):
            result = ok(machine.script(name))
            if name not in CHROMIUM:
                continue
            warning = f"Aviso: {FIREFOX} no es un JSON válido, así que quedó como estaba"
            if policies is None:
                assert warning in result.stderr and warning in machine.read("/var/log/tranca.log")
            else:
                assert "Aviso" not in result.stderr, result.stderr
            if names[index + 1] in CHROMIUM:
                continue  # all on once the next one ran
            for file in {CHROMIUM[on] for on in names[:index + 1] if on in CHROMIUM}:
                for folder in FOLDERS:
                    assert machine.mode(f"{folder}/{file}") == (0o644, 0, 0)
                    if file == CHROMIUM["install.sh"]:
                        assert machine.read(f"{folder}/{file}") == '{"DnsOverHttpsMode": "off"}\n'
                    assert machine.mode(folder) == (0o755, 0, 0)
            if policies is None:
                assert machine.read(FIREFOX) == before[FIREFOX]
            else:
                assert json.loads(machine.read(FIREFOX))["policies"] == policies
                assert machine.mode(FIREFOX) == (0o644, 0, 0)
            assert all(machine.read(inside) == text for inside, text in before.items()
                       if inside != FIREFOX)
        assert machine.snapshot(*WATCHED) == original, round_


@pytest.mark.parametrize("on,off,ours", [
    ("install.sh", "uninstall.sh", LOCKED),
    ("proxy_install.sh", "proxy_uninstall.sh", {"Certificates": {"Install": [CA]}, **PROXY})])
def test_after_an_edit_only_our_entry_goes(machine, on, off, ours):
    if on.startswith("proxy") and shutil.which("mitmdump") is None:
        pytest.skip("falta mitmproxy")
    write(machine.path(FIREFOX), json.dumps({"policies": OWN_DOH}))
    ok(machine.script(on))
    edited = json.loads(machine.read(FIREFOX))
    edited["policies"]["OfferToSaveLogins"] = False
    write(machine.path(FIREFOX), json.dumps(edited))
    ok(machine.script(on))  # on again: the bytes from before would undo the edit
    assert json.loads(machine.read(FIREFOX))["policies"] == {
        **OWN_DOH, **ours, "OfferToSaveLogins": False}
    ok(machine.script(off))
    assert json.loads(machine.read(FIREFOX))["policies"] == {**OWN_DOH, "OfferToSaveLogins": False}


@pytest.mark.skipif(shutil.which("chromium") is None, reason="falta chromium")
def test_chromium_asks_the_filter_despite_a_policy_of_its_own(machine):
    # DNS over HTTPS alone by the school's policy; the last file by name wins.
    write(machine.path(SCHOOL), json.dumps({"DnsOverHttpsMode": "secure", "DnsOverHttpsTemplates":
                                            "https://doh.escuela.example/dns-query"}))
    ok(machine.script("install.sh"))
    machine.chromium("http://adulto7.example/")
    machine.wait_for_log("BLOQUEADO adulto7.example", timeout=10)
