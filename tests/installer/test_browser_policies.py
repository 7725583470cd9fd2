"""The browsers' own DNS over HTTPS, locked off by managed policies at install
and given back, byte for byte, at disable and uninstall; and a real Chromium
obeying the policy the installer writes. On a throw-away machine (see
conftest.py)."""

import json
import os
import shutil
import tempfile
import time

import pytest

from chromium_driver import DevTools
from conftest import hosts_list, write

CHROMIUM = "/etc/chromium/policies/managed/zz-amparo.json"
CHROME = "/etc/opt/chrome/policies/managed/zz-amparo.json"
FIREFOX = "/etc/firefox/policies/policies.json"
DISTRIBUTION = "/usr/lib/firefox-esr/distribution/policies.json"
SCHOOL = "/etc/chromium/policies/managed/escuela.json"
# Everything a browser reads its policies from, and the parents made for them.
WATCHED = ["/etc/chromium", "/etc/opt", "/etc/firefox", "/usr/lib/firefox-esr"]

LOCKED = {"Enabled": False, "Locked": True}
OTHERS = ('{\n    "policies": {\n        "DisableTelemetry": true,\n'
          '        "Homepage": {"URL": "https://escuela.example/", "Locked": true}\n    }\n}\n')
OWN_DOH = ('{"policies": {"DisableAppUpdate": true, "DNSOverHTTPS": '
           '{"Enabled": true, "ProviderURL": "https://doh.example/dns-query"}}}')
INVALID = '{"policies": {"DisableTelemetry": true,}\n'
SCHOOL_POLICY = '{"HomepageLocation": "https://escuela.example/"}\n'

# Files there before, what Firefox's policies are while installed (None: the
# file is left as it was), the warning install gives.
CASES = [
    pytest.param({}, {"DNSOverHTTPS": LOCKED}, None, id="nada"),
    pytest.param({FIREFOX: OTHERS, SCHOOL: SCHOOL_POLICY},
                 {"DisableTelemetry": True,
                  "Homepage": {"URL": "https://escuela.example/", "Locked": True},
                  "DNSOverHTTPS": LOCKED}, None, id="firefox con otras politicas"),
    pytest.param({FIREFOX: OWN_DOH}, {"DisableAppUpdate": True, "DNSOverHTTPS": LOCKED}, None,
                 id="firefox con su propio DNSOverHTTPS"),
    pytest.param({FIREFOX: INVALID, SCHOOL: SCHOOL_POLICY}, None,
                 f"Aviso: {FIREFOX} no es un JSON válido, así que quedó como estaba",
                 id="firefox invalido"),
    # Firefox stops reading its distribution file once /etc/firefox has one.
    pytest.param({DISTRIBUTION: '{"policies": {"DisableTelemetry": true}}'},
                 {"DisableTelemetry": True, "DNSOverHTTPS": LOCKED}, None,
                 id="solo la de la distribucion"),
]


def assert_ok(result):
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"


def install(machine):
    return machine.script("install.sh",
                          env={"TRANCA_BLOCKLIST_URL": machine.list_url(hosts_list(1200))})


def snapshot(machine):
    """Every file and folder the browsers' policies live in: kind, mode, bytes."""
    found = {}
    for top in WATCHED:
        root = machine.path(top)
        if not os.path.lexists(root):
            continue
        for directory, _, files in os.walk(root):
            for full in [directory] + [os.path.join(directory, name) for name in files]:
                info = os.lstat(full)
                content = None
                if os.path.isfile(full):
                    with open(full, "rb") as handle:
                        content = handle.read()
                found[top + full[len(root):]] = (oct(info.st_mode), info.st_uid, content)
    return found


def put(machine, files):
    for inside, text in files.items():
        write(machine.path(inside), text)


def firefox_policies(machine):
    return json.loads(machine.read(FIREFOX))["policies"]


@pytest.mark.parametrize("before,locked,warning", CASES)
def test_install_locks_and_disable_and_uninstall_give_back(machine, before, locked, warning):
    put(machine, before)
    original = snapshot(machine)

    # Installed twice (the second run finds everything in place), then off;
    # installed again, then removed.
    for runs, undo in ((2, "disable.sh"), (1, "uninstall.sh")):
        for _ in range(runs):
            result = install(machine)
            assert_ok(result)
            for chromium in (CHROMIUM, CHROME):
                assert json.loads(machine.read(chromium)) == {"DnsOverHttpsMode": "off"}
                assert machine.mode(chromium) == (0o644, 0, 0)
                assert machine.mode(os.path.dirname(chromium)) == (0o755, 0, 0)
            if locked is None:
                assert machine.read(FIREFOX) == before[FIREFOX]
            else:
                assert firefox_policies(machine) == locked
                assert list(firefox_policies(machine))[-1] == "DNSOverHTTPS"
                assert machine.mode(FIREFOX) == (0o644, 0, 0)
            for inside, text in before.items():
                if inside != FIREFOX:
                    assert machine.read(inside) == text
            if warning:
                assert warning in result.stderr
                assert warning in machine.read("/var/log/tranca.log")
            else:
                assert "DNS sobre HTTPS" not in result.stderr, result.stderr

        assert_ok(machine.script(undo))
        assert snapshot(machine) == original, undo


def test_edited_after_install_only_our_entry_goes(machine):
    put(machine, {FIREFOX: OWN_DOH})
    assert_ok(install(machine))
    edited = json.loads(machine.read(FIREFOX))
    assert edited["policies"]["DNSOverHTTPS"] == LOCKED
    edited["policies"]["OfferToSaveLogins"] = False
    write(machine.path(FIREFOX), json.dumps(edited))

    assert_ok(machine.script("uninstall.sh"))
    assert firefox_policies(machine) == {
        "DisableAppUpdate": True,
        "DNSOverHTTPS": {"Enabled": True, "ProviderURL": "https://doh.example/dns-query"},
        "OfferToSaveLogins": False,
    }
    assert not machine.exists(CHROMIUM) and not machine.exists(CHROME)


# --- a real Chromium --------------------------------------------------------------------

# The DnsOverHttpsMode row of chrome://policy (its cells sit in shadow roots),
# once the page has listed the policies.
POLICY_ROW = """new Promise((resolve) => {
  function* all(root) {
    for (const el of root.querySelectorAll('*')) {
      yield el;
      if (el.shadowRoot) yield* all(el.shadowRoot);
    }
  }
  const look = () => {
    for (const row of all(document)) {
      const name = row.tagName === 'POLICY-ROW' && row.shadowRoot.querySelector('#name');
      if (name && name.textContent.trim() === 'DnsOverHttpsMode') {
        const cell = (key) =>
          row.shadowRoot.querySelector('.policy.row .' + key).textContent.trim();
        return resolve({value: cell('value'), source: cell('source'), scope: cell('scope'),
                        level: cell('level')});
      }
    }
    setTimeout(look, 100);
  };
  look();
})"""


def test_chromium_obeys_the_policy_install_writes(machine):
    browser = shutil.which("chromium")
    if browser is None:
        pytest.skip("chromium no está instalado (scripts/install-deps.sh lo instala)")
    # A policy of the school's own setting DoH on: the last file by name wins.
    put(machine, {SCHOOL: '{"DnsOverHttpsMode": "secure"}\n'})
    assert_ok(install(machine))

    profile = tempfile.mkdtemp(dir=machine.root)
    devtools = DevTools(machine.command([browser, "--headless=new", "--no-sandbox",
                                         "--no-first-run", f"--user-data-dir={profile}",
                                         "--remote-debugging-pipe", "about:blank"]),
                        machine.env(), os.path.join(machine.root, "chromium.log"),
                        deadline=time.monotonic() + 120)
    try:
        target = devtools.call("Target.createTarget", url="chrome://policy/")["targetId"]
        session = devtools.call("Target.attachToTarget", targetId=target,
                                flatten=True)["sessionId"]
        row = devtools.call("Runtime.evaluate", session, expression=POLICY_ROW,
                            awaitPromise=True, returnByValue=True)["result"]["value"]
        # And the browser asks the machine's DNS, that is, the filter.
        devtools.call("Target.createTarget", url="http://adulto7.example/")
        deadline = time.monotonic() + 60
        while "BLOQUEADO adulto7.example" not in machine.read("/var/log/tranca.log"):
            assert time.monotonic() < deadline, "Chromium did not resolve through the filter"
            time.sleep(0.2)
    finally:
        devtools.close()
    assert row == {"value": "off", "source": "Platform", "scope": "Machine",
                   "level": "Mandatory"}
