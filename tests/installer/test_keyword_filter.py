"""The keyword filter end to end on a throw-away machine (see conftest.py):
proxy_install.sh with the real mitmdump and Amparo's add-on (started by the
systemctl stand-in from the unit's own command line), a test origin over
HTTPS at a test address, curl through 127.0.0.1:8080, and proxy_uninstall.sh
leaving the stores as they were."""

import json
import os
import shutil
import time

import pytest

from keyword_origin import first_pass_through_host, origin  # noqa: F401 (a fixture)

STORES = ["/etc/ssl/certs/ca-certificates.crt", "/etc/passwd", "/etc/group"]
POLICY_DIRS = ["/etc/chromium", "/etc/opt/chrome", "/usr/local/share/ca-certificates"]

pytestmark = pytest.mark.skipif(shutil.which("mitmdump") is None, reason="falta mitmproxy")


def through_proxy(machine, url, *extra):
    return machine.run(["curl", "-sS", "--max-time", "30", "--proxy", "http://127.0.0.1:8080",
                        *extra, url], timeout=60)


def issuer(machine, host):
    seen = through_proxy(machine, f"https://{host}/", "-v", "-o", "/dev/null")
    return [line for line in seen.stderr.splitlines() if "issuer:" in line]


def snapshot(machine):
    found = {path: open(machine.path(path), "rb").read() for path in STORES}
    for top in POLICY_DIRS:
        for directory, _, files in os.walk(machine.path(top)):
            found[directory] = sorted(files)
    return found


def test_pages_over_the_threshold_are_blocked_and_the_rest_left_alone(machine, origin):
    before = snapshot(machine)
    installed = machine.script("proxy_install.sh")
    assert installed.returncode == 0, installed.stdout + installed.stderr
    assert "Filtro por palabras activo" in installed.stdout
    key = os.stat(machine.path("/var/lib/tranca-proxy/mitmproxy-ca.pem"))
    assert (key.st_mode & 0o777, key.st_uid) == (0o600, int(machine.run(
        ["id", "-u", "tranca-proxy"]).stdout))
    policy = json.load(open(machine.path(
        "/etc/chromium/policies/managed/zz-amparo-certificado.json"), encoding="utf-8"))
    assert len(policy["CACertificates"]) == 1

    blocked = through_proxy(machine, "https://explicito.example/")
    assert blocked.returncode == 0, blocked.stderr
    assert "Sitio bloqueado" in blocked.stdout
    machine.wait_for_log("BLOQUEADO explicito.example")
    clean = through_proxy(machine, "https://limpio.example/")
    assert clean.stdout == origin["limpio.example"]
    # Passed through untouched: the origin's own certificate reaches curl.
    assert "Origen de prueba" in " ".join(issuer(machine, first_pass_through_host()))
    assert "Origen de prueba" not in " ".join(issuer(machine, "permitido.example"))
    with open(machine.path("/var/lib/tranca/allow.txt"), "a", encoding="utf-8") as allow:
        allow.write("permitido.example\n")
    deadline = time.monotonic() + 20
    while "Origen de prueba" not in " ".join(issuer(machine, "permitido.example")):
        assert time.monotonic() < deadline, "allow.txt was never picked up"
        time.sleep(1)

    # A download larger than the proxy should ever hold streams through.
    size = 256 << 20
    download = through_proxy(machine, f"https://limpio.example/grande?={size}", "-o",
                             "/dev/null", "-w", "%{size_download}")
    assert download.stdout == str(size), download.stderr
    with open(machine.path("/run/systemctl-standin/tranca-proxy.service.pid"),
              encoding="utf-8") as handle:
        pid = int(handle.read())
    with open(f"/proc/{pid}/status", encoding="utf-8") as status:
        peak = next(int(line.split()[1]) for line in status if line.startswith("VmHWM"))
    assert peak < 200 * 1024, f"the proxy grew to {peak} KiB"

    for _ in range(2):
        removed = machine.script("proxy_uninstall.sh")
        assert removed.returncode == 0, removed.stdout + removed.stderr
    assert snapshot(machine) == before
    assert not machine.exists("/var/lib/tranca-proxy")
    assert not machine.exists("/etc/systemd/system/tranca-proxy.service")


def test_port_taken_by_another_program_is_named(machine):
    machine.spawn(["python3", "-m", "http.server", "--bind", "127.0.0.1", "8080"])
    deadline = time.monotonic() + 10
    while machine.run(["ss", "-Hltn", "sport = :8080"]).stdout.strip() == "":
        assert time.monotonic() < deadline
        time.sleep(0.1)
    refused = machine.script("proxy_install.sh")
    assert refused.returncode == 1
    assert "8080" in refused.stderr and "python3" in refused.stderr, refused.stderr
    assert not machine.exists("/var/lib/tranca-proxy")


@pytest.mark.parametrize("stand_in,message", [
    pytest.param("/dev/null", "sudo apt install mitmproxy", id="falta"),
    pytest.param("/bin/false", "mitmproxy está instalado pero no arranca", id="roto"),
])
def test_missing_or_broken_mitmproxy_is_explained(machine, stand_in, message):
    # Only in the machine's own mount namespace.
    for tool in ("/usr/bin/mitmdump", "/usr/local/bin/mitmdump"):
        if os.path.exists(tool):
            assert machine.run(["mount", "--bind", stand_in, tool]).returncode == 0
    refused = machine.script("proxy_install.sh")
    assert refused.returncode == 1 and message in refused.stderr, refused.stderr
    assert not machine.exists("/var/lib/tranca-proxy")
