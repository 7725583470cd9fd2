"""install.sh → the filter answers → disable.sh → DNS restored → uninstall.sh →
nothing left, end to end on a throw-away machine (see conftest.py)."""

import filecmp
import os

from conftest import ORIGINAL_RESOLV, hosts_list, write


def assert_ok(result):
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"


def install(machine, url=None, umask=-1, **env):
    extra = {"TRANCA_BLOCKLIST_URL": url or machine.list_url(hosts_list(1200))}
    extra.update(env)
    return machine.script("install.sh", env=extra, umask=umask)


# --- the whole life of an installation (the real one: tests/system) ------------------


def test_uninstall_after_disable_keeps_the_restored_dns(machine):
    # The record is gone after disable; a second restore without it must not
    # wipe the servers the first one gave back.
    assert_ok(install(machine))
    assert_ok(machine.script("disable.sh"))
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV
    assert_ok(machine.script("uninstall.sh"))
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV
    assert_ok(machine.script("disable.sh"))
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV


def test_disable_and_uninstall_on_a_clean_machine_change_nothing(machine):
    for name in ("disable.sh", "uninstall.sh"):
        result = machine.script(name)
        assert_ok(result)
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV
    assert not machine.exists("/var/lib/tranca")


def test_disable_without_a_record_gives_back_a_dns_still_pointing_at_the_filter(
        machine_factory):
    machine = machine_factory(resolv="nameserver 127.0.0.1\n")
    assert_ok(install(machine))
    assert_ok(machine.script("disable.sh"))
    # The record holds no servers of the user's (127.0.0.1 is the filter's),
    # so the machine goes back to no manual servers rather than to a dead
    # 127.0.0.1 or to the backup resolvers.
    assert machine.nameservers() == []


# --- the log ---------------------------------------------------------------------------


def test_the_log_is_readable_by_everyone_whatever_the_umask(machine):
    # Amparo follows the log as the desktop user; root's umask must not hide it,
    # neither when a script creates the log nor when it finds one too private.
    write(machine.path("/var/log/tranca.log"), "de antes\n", mode=0o600)
    assert_ok(install(machine, umask=0o077))
    assert machine.mode("/var/log/tranca.log") == (0o644, 0, 0)
    os.unlink(machine.path("/var/log/tranca.log"))
    assert_ok(machine.script("disable.sh", umask=0o077))
    assert machine.mode("/var/log/tranca.log") == (0o644, 0, 0)


def test_the_log_rotates_while_the_daemon_keeps_writing_to_it(machine):
    assert_ok(install(machine, machine.list_url(hosts_list(1200) + "rotado.example\n")))
    machine.wait_for_log("Listas cargadas")
    assert machine.mode("/etc/logrotate.d/amparo") == (0o644, 0, 0)
    before = machine.read("/var/log/tranca.log")

    result = machine.run(["logrotate", "-f", "-s", "/run/logrotate.estado",
                          "/etc/logrotate.d/amparo"])
    assert_ok(result)
    assert machine.read("/var/log/tranca.log.1").startswith(before)
    # The daemon still holds the log open for appending: its next line goes
    # to the emptied file, at its start.
    assert machine.dig("rotado.example") == ["127.0.0.1"]
    machine.wait_for_log("rotado.example")
    log = machine.read("/var/log/tranca.log")
    assert log.startswith("[") and "trancad iniciando" not in log, log
    assert machine.mode("/var/log/tranca.log") == (0o644, 0, 0)


# --- re-running install.sh: repair and upgrade ----------------------------------------


def test_reinstall_upgrades_the_daemon_and_keeps_lists_and_dns_record(machine):
    assert_ok(install(machine))
    first_pid = machine.daemon_pid()
    record = machine.read("/var/lib/tranca/dns-original.plist")
    with open(machine.path("/var/lib/tranca/custom.txt"), "w", encoding="utf-8") as handle:
        handle.write("# mis sitios\npropio.example\n")
    with open(machine.path("/var/lib/tranca/allow.txt"), "w", encoding="utf-8") as handle:
        handle.write("permitido.example\n")
    blocklist = machine.read("/var/lib/tranca/blocklist.txt")

    # A new build: bytes appended to an ELF file leave it runnable but different.
    with open(os.path.join(machine.resources, "trancad"), "ab") as handle:
        handle.write(b"\0version nueva\0")
    result = install(machine, url="file:///no/existe.txt")
    assert_ok(result)
    assert "Descargando" not in result.stdout

    assert filecmp.cmp(machine.path("/var/lib/tranca/trancad"),
                       os.path.join(machine.resources, "trancad"), shallow=False)
    assert machine.daemon_pid() not in (None, first_pid)
    assert machine.read("/var/lib/tranca/custom.txt") == "# mis sitios\npropio.example\n"
    assert machine.read("/var/lib/tranca/allow.txt") == "permitido.example\n"
    assert machine.read("/var/lib/tranca/blocklist.txt") == blocklist
    assert machine.read("/var/lib/tranca/dns-original.plist") == record
    assert machine.dig("propio.example") == ["127.0.0.1"]
    assert machine.dig("estado.amparo.internal") == ["127.0.0.2"]
    assert not [name for name in os.listdir(machine.path("/var/lib/tranca"))
                if name.startswith(".")]


def test_install_continues_without_a_list_when_the_download_fails(machine):
    result = install(machine, url="file:///no/existe.txt")
    assert_ok(result)
    assert "No se pudo actualizar la lista de bloqueo" in result.stderr
    assert "sin la lista descargada" in result.stderr
    assert not machine.exists("/var/lib/tranca/blocklist.txt")
    assert machine.dig("estado.amparo.internal") == ["127.0.0.2"]


# --- what install.sh refuses, and says why -------------------------------------------


def assert_nothing_installed(machine):
    assert not machine.exists("/var/lib/tranca")
    assert not machine.exists("/etc/systemd/system/tranca.service")
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV
    assert not [call for call in machine.calls() if call.startswith(("enable", "restart"))]


def test_port_53_taken_by_networkmanagers_dnsmasq_is_explained(machine):
    dnsmasq = machine.spawn(["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts",
                             "--listen-address=127.0.0.1", "--bind-interfaces", "--port=53",
                             "--pid-file=", "--user=root"])
    machine.run(["sh", "-c", "for i in $(seq 50); do ss -lnu | grep -q ':53 ' && exit; "
                             "sleep 0.1; done"])
    assert dnsmasq.poll() is None
    result = install(machine)
    assert result.returncode == 1
    assert "El puerto 53 de 127.0.0.1 ya está ocupado por «dnsmasq»" in result.stderr
    assert "dns=dnsmasq" in result.stderr and "NetworkManager" in result.stderr
    assert_nothing_installed(machine)


def test_port_80_taken_is_explained(machine):
    server = machine.spawn(["python3", "-c",
                            "import socket,time; s=socket.socket(); "
                            "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); "
                            "s.bind(('0.0.0.0', 80)); s.listen(); time.sleep(600)"])
    machine.run(["sh", "-c", "for i in $(seq 50); do ss -lnt | grep -q ':80 ' && exit; "
                             "sleep 0.1; done"])
    assert server.poll() is None
    result = install(machine)
    assert result.returncode == 1
    assert "El puerto 80 de 127.0.0.1 ya está ocupado por «python3»" in result.stderr
    assert "página de bloqueo" in result.stderr
    assert_nothing_installed(machine)


def test_masked_unit_is_explained_and_left_alone(machine):
    os.symlink("/dev/null", machine.path("/etc/systemd/system/tranca.service"))
    result = install(machine)
    assert result.returncode == 1
    assert "enmascarado" in result.stderr and "systemctl unmask tranca.service" in result.stderr
    assert os.readlink(machine.path("/etc/systemd/system/tranca.service")) == "/dev/null"
    assert machine.calls() == []


def test_a_filter_that_never_answers_is_a_failure_that_leaves_working_dns(machine):
    # A "trancad" whose daemon runs but never answers on 127.0.0.1:53; its
    # tool commands are the real ones.
    real = os.path.join(machine.root, "trancad-real")
    fake = os.path.join(machine.resources, "trancad")
    os.rename(fake, real)
    with open(fake, "w", encoding="utf-8") as handle:
        handle.write(f'#!/bin/sh\n[ $# -eq 0 ] || exec {real} "$@"\n'
                     "echo 'trancad de prueba que no responde'\nexec sleep 600\n")
    os.chmod(fake, 0o755)
    result = install(machine)
    assert result.returncode == 1
    assert "El filtro no responde en 127.0.0.1:53" in result.stderr
    assert "resolvedores familiares de respaldo" in result.stderr
    assert "trancad de prueba que no responde" in result.stderr  # the log's tail
    assert "Protección activa" not in result.stdout
    # Not left on a dead 127.0.0.1, and what the machine had is on record.
    assert machine.nameservers() == ["1.1.1.3", "1.0.0.3", "2606:4700:4700::1113",
                                     "2606:4700:4700::1003"]
    assert "192.0.2.53" in machine.read("/var/lib/tranca/dns-original.plist")

    assert_ok(machine.script("uninstall.sh"))
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV
    assert machine.daemon_pid() is None


def test_missing_trancad_is_explained(machine):
    os.unlink(os.path.join(machine.resources, "trancad"))
    result = install(machine, AMPARO_TRANCAD="/no/existe/trancad")
    assert result.returncode == 1
    assert "Falta el programa trancad" in result.stderr
    assert_nothing_installed(machine)


def test_every_script_refuses_to_run_without_root(machine):
    for name in ("install.sh", "disable.sh", "uninstall.sh"):
        result = machine.script(name, user=True)
        assert result.returncode == 1, name
        assert "Hace falta ser administrador" in result.stderr, name
    assert_nothing_installed(machine)
