"""install.sh, disable.sh and uninstall.sh on a throw-away machine (conftest.py):
the DNS given back, the user's files kept across an upgrade, the log readable
and rotated, and every refusal explained with nothing changed."""

import filecmp
import os
import shutil

import pytest

from conftest import ORIGINAL_RESOLV, ok, write

LOG = "/var/log/tranca.log"
DATA = "/var/lib/tranca"
# Root's, whatever its umask: Amparo reads the log as the desktop user.
MODES = {DATA: 0o755, f"{DATA}/trancad": 0o755, f"{DATA}/update_blocklist.sh": 0o755,
         f"{DATA}/custom.txt": 0o644, f"{DATA}/allow.txt": 0o644, LOG: 0o644,
         "/etc/systemd/system/tranca.service": 0o644, "/etc/logrotate.d/amparo": 0o644}


def test_install_upgrade_rotation_disable_and_uninstall(machine):
    for name in ("disable.sh", "uninstall.sh"):  # nothing to undo yet
        ok(machine.script(name))
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV and not machine.exists(DATA)

    write(machine.path(LOG), "de antes\n", mode=0o600)
    ok(machine.script("install.sh", umask=0o077))
    assert {path: machine.mode(path) for path in MODES} == {p: (m, 0, 0) for p, m in MODES.items()}
    assert machine.dig("estado.amparo.internal") == ["127.0.0.2"]
    machine.wait_for_log("Listas cargadas")
    before = machine.read(LOG)
    os.truncate(machine.path(LOG), 11 << 20)  # past the size that rotates it
    ok(machine.run(["logrotate", "-s", "/run/logrotate.estado", "/etc/logrotate.d/amparo"]))
    assert machine.read(LOG + ".1").startswith(before)
    # The daemon keeps the log open for appending: its next line starts the emptied file.
    assert machine.dig("adulto7.example") == ["127.0.0.1"]
    machine.wait_for_log("adulto7.example")
    assert machine.read(LOG).startswith("[") and "trancad iniciando" not in machine.read(LOG)

    first_pid = machine.service_pid()
    for path, text in ((f"{DATA}/custom.txt", "# mis sitios\npropio.example\n"),
                       (f"{DATA}/allow.txt", "permitido.example\n")):
        write(machine.path(path), text)
    kept = {name: machine.read(f"{DATA}/{name}") for name in
            ("custom.txt", "allow.txt", "blocklist.txt", "dns-original.plist")}
    # A new build: bytes appended to an ELF file leave it runnable but different.
    with open(os.path.join(machine.resources, "trancad"), "ab") as handle:
        handle.write(b"\0version nueva\0")
    upgraded = ok(machine.script("install.sh", env={"TRANCA_BLOCKLIST_URL": "file:///no/hay"}))
    assert "Descargando" not in upgraded.stdout
    assert filecmp.cmp(machine.path(f"{DATA}/trancad"), os.path.join(machine.resources, "trancad"),
                       shallow=False)
    assert machine.service_pid() not in (None, first_pid)
    assert {name: machine.read(f"{DATA}/{name}") for name in kept} == kept
    assert machine.dig("propio.example") == ["127.0.0.1"]
    assert not [name for name in os.listdir(machine.path(DATA)) if name.startswith(".")]

    os.unlink(machine.path(LOG))
    ok(machine.script("disable.sh", umask=0o077))
    assert machine.mode(LOG) == (0o644, 0, 0)
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV
    # Without the record, a second restore must keep what the first gave back.
    for name in ("uninstall.sh", "disable.sh"):
        ok(machine.script(name))
        assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV
    assert [path for path in MODES if machine.exists(path)] == [LOG]  # the log alone stays
    assert machine.service_pid() is None


@pytest.mark.parametrize("machine", ["nameserver 127.0.0.1\n"], indirect=True)
def test_install_with_no_list_and_no_dns_of_the_users_own(machine):
    result = ok(machine.script("install.sh", env={"TRANCA_BLOCKLIST_URL": "file:///no/hay"}))
    assert "sin la lista descargada" in result.stderr
    assert machine.dig("estado.amparo.internal") == ["127.0.0.2"]
    ok(machine.script("disable.sh"))
    # 127.0.0.1 on record is the filter's: no manual servers rather than a dead one.
    assert machine.nameservers() == []


def test_a_filter_that_never_answers_fails_and_leaves_working_dns(machine):
    # Its tool commands are the real trancad's; the daemon never answers.
    real = os.path.join(machine.root, "trancad-real")
    os.rename(os.path.join(machine.resources, "trancad"), real)
    write(os.path.join(machine.resources, "trancad"), f'#!/bin/sh\n[ $# -eq 0 ] || exec {real} '
          '"$@"\necho \'trancad de prueba que no responde\'\nexec sleep 600\n', mode=0o755)
    result = machine.script("install.sh")
    assert result.returncode == 1 and "Protección activa" not in result.stdout
    for text in ("El filtro no responde en 127.0.0.1:53", "resolvedores familiares de respaldo",
                 "trancad de prueba que no responde"):  # the last from the log's tail
        assert text in result.stderr
    assert machine.nameservers() == ["1.1.1.3", "1.0.0.3", "2606:4700:4700::1113",
                                     "2606:4700:4700::1003"]
    write(os.path.join(machine.resources, "trancad"), f'#!/bin/sh\n[ $# -eq 0 ] || exec {real} '
          f'"$@"\nsleep 4\nexec {real}\n', mode=0o755)
    ok(machine.script("install.sh"))  # one slow to start is waited for
    ok(machine.script("uninstall.sh"))
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV and machine.service_pid() is None


def over(tool, stand_in):
    """Replaces a program inside the machine's own mount namespace only."""
    return lambda machine: [machine.run(["mount", "--bind", stand_in, path]) for path in
                            (f"/usr/bin/{tool}", f"/usr/local/bin/{tool}")
                            if os.path.exists(path)]


mitmproxy = pytest.mark.skipif(shutil.which("mitmdump") is None, reason="falta mitmproxy")
REFUSALS = [
    pytest.param("install.sh", lambda m: m.spawn(
        ["dnsmasq", "-k", "--no-resolv", "--no-hosts", "--listen-address=127.0.0.1",
         "--bind-interfaces", "--pid-file=", "--user=root"], "127.0.0.1:53"),
        ["El puerto 53 de 127.0.0.1 ya está ocupado por «dnsmasq»", "dns=dnsmasq"], id="53"),
    pytest.param("install.sh", lambda m: m.spawn(
        ["python3", "-m", "http.server", "--bind", "0.0.0.0", "80"], "0.0.0.0:80"),
        ["El puerto 80 de 127.0.0.1 ya está ocupado por «python3»"], id="80"),
    pytest.param("proxy_install.sh", lambda m: m.spawn(
        ["python3", "-m", "http.server", "--bind", "127.0.0.1", "8080"], "127.0.0.1:8080"),
        ["El puerto 8080 de 127.0.0.1 ya está ocupado por «python3»"], id="8080",
        marks=mitmproxy),
    pytest.param("install.sh", lambda m: os.symlink(
        "/dev/null", m.path("/etc/systemd/system/tranca.service")),
        ["enmascarado", "sudo systemctl unmask tranca.service"], id="enmascarado"),
    pytest.param("install.sh", lambda m: os.unlink(os.path.join(m.resources, "trancad")),
                 ["Falta el programa trancad"], id="sin trancad"),
    pytest.param("proxy_install.sh", over("mitmdump", "/dev/null"),
                 ["sudo apt install mitmproxy"], id="sin mitmproxy"),
    pytest.param("proxy_install.sh", over("mitmdump", "/bin/false"),
                 ["mitmproxy está instalado pero no arranca"], id="mitmproxy roto"),
] + [pytest.param(name, None, ["Hace falta ser administrador"], id=f"{name} sin root")
     for name in ("install.sh", "disable.sh", "uninstall.sh")]


@pytest.mark.parametrize("script,setup,reasons", REFUSALS)
def test_a_refusal_is_explained_and_changes_nothing(machine, script, setup, reasons):
    if setup:
        setup(machine)
    watched = ("/var/lib", "/etc/systemd/system", "/etc/resolv.conf", "/etc/chromium",
               "/etc/firefox", "/usr/local/share/ca-certificates")
    before = machine.snapshot(*watched)
    result = machine.script(script, user=setup is None)
    assert result.returncode == 1 and all(r in result.stderr for r in reasons), result.stderr
    assert machine.snapshot(*watched) == before


def test_without_libnftables_the_filter_installs_without_its_dns_lock(machine):
    # The library as a machine without it has it: not loadable.
    ok(machine.run(["mount", "--bind", "/dev/null", "/usr/lib/x86_64-linux-gnu/libnftables.so.1"]))
    installed = ok(machine.script("install.sh"))
    assert "Aviso: sin bloqueo de DNS (falta libnftables)" in installed.stdout, installed.stdout
    assert machine.dig("estado.amparo.internal") == ["127.0.0.2"]
