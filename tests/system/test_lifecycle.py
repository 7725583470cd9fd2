"""A protected machine's life on a booted Debian 12, real systemd and real
NetworkManager: the .deb, install.sh, tampering, a stopped and a killed
daemon, disable.sh and uninstall.sh."""

import os

from conftest import BACKUP, BLOCKED, LEAKED, STATUS_NAME


def ours(machine):
    """What of Amparo is on the machine, package aside."""
    paths = ["/var/lib/tranca", "/etc/systemd/system/tranca.service",
             "/etc/systemd/system/multi-user.target.wants/tranca.service",
             "/etc/logrotate.d/amparo", "/etc/chromium/policies/managed/zz-amparo.json",
             "/etc/firefox/policies/policies.json"]
    return [path for path in paths if os.path.lexists(machine.path(path))]


def test_install_protects_and_uninstall_gives_the_machine_back(machine, deb):
    resolv_before = machine.read("/etc/resolv.conf")
    global_before = machine.global_dns()
    units_before = sorted(os.listdir(machine.path("/etc/systemd/system")))
    assert machine.lookup(BLOCKED) == LEAKED, "the user's own DNS answers before Amparo"

    machine.install_package(deb)
    installed = machine.run(["/usr/lib/amparo/install.sh"], check=True)
    assert "Protección activa" in installed.stdout
    # Nothing to warn about: the machine already resolves through the filter.
    assert "todavía no resuelve" not in installed.stderr, installed.stderr
    assert machine.run(["systemctl", "is-active", "tranca"]).stdout.strip() == "active"
    assert machine.run(["systemctl", "is-enabled", "tranca"]).stdout.strip() == "enabled"
    modes = machine.run(["stat", "-c", "%a %U %n", "/var/lib/tranca", "/var/lib/tranca/trancad",
                         "/var/lib/tranca/custom.txt", "/var/lib/tranca/allow.txt",
                         "/etc/systemd/system/tranca.service", "/var/log/tranca.log"],
                        check=True).stdout.split("\n")
    assert [line.split()[:2] for line in modes if line] == [
        ["755", "root"], ["755", "root"], ["644", "root"], ["644", "root"], ["644", "root"],
        ["644", "root"]]
    assert machine.global_servers() == ["127.0.0.1"]
    assert machine.read("/etc/resolv.conf").splitlines()[-1] == "nameserver 127.0.0.1"
    assert machine.lookup(STATUS_NAME) == "127.0.0.2"
    assert machine.lookup(BLOCKED) == "127.0.0.1"
    page = machine.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time",
                        "10", "-H", f"Host: {BLOCKED}", "http://127.0.0.1/"])
    assert page.stdout in ("200", "302"), page.stdout + page.stderr
    status = machine.run(["/var/lib/tranca/trancad", "--dns", "estado"], user=65534)
    assert "Cableada: DNS 127.0.0.1" in status.stdout, status.stdout + status.stderr

    # Another program clears the global DNS, as nmcli or GNOME Settings
    # would; one self-check later the daemon has put itself back.
    switches = machine.log().count("DNS local en Cableada")
    machine.set_global_dns("0")
    machine.wait_for(lambda: machine.log().count("DNS local en Cableada"),
                     lambda seen: seen > switches, timeout=20)
    assert machine.global_servers() == ["127.0.0.1"]
    assert machine.lookup(BLOCKED) == "127.0.0.1"

    # Killed: systemd starts it again, and it points DNS back at itself.
    pid = machine.run(["systemctl", "show", "-P", "MainPID", "tranca"]).stdout.strip()
    machine.run(f"kill -9 {pid}", check=True)
    machine.wait_for(lambda: machine.run(["systemctl", "show", "-P", "MainPID", "tranca"])
                     .stdout.strip(), lambda seen: seen not in ("0", pid), timeout=30)
    machine.wait_for(lambda: machine.lookup(BLOCKED), lambda seen: seen == "127.0.0.1")

    # Stopped in order: the backup family resolvers, never a dead 127.0.0.1.
    machine.run(["systemctl", "stop", "tranca"], check=True)
    nameservers = [line.split()[1] for line in machine.read("/etc/resolv.conf").splitlines()
                   if line.startswith("nameserver")]
    assert nameservers[:2] == BACKUP[:2], machine.read("/etc/resolv.conf")
    assert machine.global_servers() == BACKUP
    machine.run(["systemctl", "start", "tranca"], check=True)
    machine.wait_for(machine.global_servers, lambda seen: seen == ["127.0.0.1"])

    disabled = machine.run(["/usr/lib/amparo/disable.sh"], check=True)
    assert "Protección desactivada" in disabled.stdout
    assert machine.run(["systemctl", "is-active", "tranca"]).stdout.strip() == "inactive"
    assert machine.global_dns() == global_before
    assert machine.read("/etc/resolv.conf") == resolv_before
    assert machine.lookup(BLOCKED) == LEAKED

    machine.run(["/usr/lib/amparo/install.sh"], check=True)
    assert machine.lookup(BLOCKED) == "127.0.0.1"
    removed = machine.run(["/usr/lib/amparo/uninstall.sh"], check=True)
    assert "Amparo se desinstaló" in removed.stdout
    machine.run("DEBIAN_FRONTEND=noninteractive apt-get purge -y -q amparo", check=True)
    assert machine.global_dns() == global_before
    assert machine.read("/etc/resolv.conf") == resolv_before
    assert ours(machine) == []
    assert sorted(os.listdir(machine.path("/etc/systemd/system"))) == units_before
    assert machine.run(["dpkg", "-L", "amparo"]).returncode != 0
    assert machine.run(["systemctl", "status", "tranca"]).returncode == 4, "no such unit"
