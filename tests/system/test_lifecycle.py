"""A protected machine's life on a booted Debian 12, driven as the tray application
drives it (through a pkexec stand-in) and by the scripts: on, tampered with, a
killed, stopped and dying daemon, the keyword filter behind the system proxy,
off, uninstalled and purged."""

import json
import os
import shutil

from container import BACKUP, BLOCKED, LEAKED, STATUS_NAME

DRIVER = os.environ.get("AMPARO_ACTIONS_DRIVER")
# Like pkexec once the password is given: root, a cleared environment.
PKEXEC = """#!/bin/sh
echo "$*" >>/run/pkexec-llamadas
exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
"""
DYING = "/etc/systemd/system/tranca.service.d/muere.conf"
OURS = ["/var/lib/tranca", "/etc/systemd/system/tranca.service", "/etc/logrotate.d/amparo",
        "/etc/systemd/system/multi-user.target.wants/tranca.service",
        "/etc/chromium/policies/managed/zz-amparo.json", "/etc/firefox/policies/policies.json"]


def amparo(machine, *action):
    result = machine.run(["/usr/local/bin/amparo-acciones", "/usr/lib/amparo", *action],
                         timeout=180)
    assert result.returncode == 0, f"{action}: exit {result.returncode}\n{result.stderr}"
    return json.loads(result.stdout.strip().splitlines()[-1])


def shown(machine, prop, unit="tranca"):
    return machine.run(["systemctl", "show", "-P", prop, unit]).stdout.strip()


def dns_status(machine):
    """The services' lines (the DNS lock's line, shown to root only, left out)."""
    lines = machine.run(["/var/lib/tranca/trancad", "--dns", "estado"], user=65534).stdout
    return "\n".join(line for line in lines.strip().splitlines()
                     if not line.startswith("Bloqueo de DNS"))


def test_a_life_of_protection(machine):
    resolv_before, global_before = machine.read("/etc/resolv.conf"), machine.global_dns()
    units_before = sorted(os.listdir(machine.path("/etc/systemd/system")))
    assert machine.lookup(BLOCKED) == LEAKED, "the user's own DNS answers before Amparo"
    shutil.copy(DRIVER, machine.path("/usr/local/bin/amparo-acciones"))
    with open(machine.path("/usr/local/bin/pkexec"), "w", encoding="utf-8") as standin:
        standin.write(PKEXEC)
    os.chmod(machine.path("/usr/local/bin/pkexec"), 0o755)
    assert amparo(machine, "estado")["protection"] == "notInstalled"

    seen = amparo(machine, "activar")
    assert seen["protection"] == "active" and not seen["outdated"]
    assert machine.read("/run/pkexec-llamadas").startswith("/usr/lib/amparo/amparo-admin ")
    assert machine.global_servers() == ["127.0.0.1"]
    assert machine.lookup(STATUS_NAME) == "127.0.0.2" and machine.lookup(BLOCKED) == "127.0.0.1"
    assert dns_status(machine).startswith("Cableada: DNS 127.0.0.1")

    # Another program clears the global DNS, as nmcli or GNOME Settings
    # would; one self-check later the daemon has put itself back.
    switches = machine.read("/var/log/tranca.log").count("DNS local en Cableada")
    machine.set_global_dns("0")
    machine.wait_for(lambda: machine.read("/var/log/tranca.log").count("DNS local en Cableada"),
                     lambda seen: seen > switches, timeout=20)
    assert machine.global_servers() == ["127.0.0.1"] and machine.lookup(BLOCKED) == "127.0.0.1"

    # Killed: systemd starts it again, and it points DNS back at itself.
    pid = shown(machine, "MainPID")
    machine.run(f"kill -9 {pid}", check=True)
    machine.wait_for(lambda: shown(machine, "MainPID"), lambda seen: seen not in ("0", pid),
                     timeout=30)
    machine.wait_for(lambda: machine.lookup(BLOCKED), lambda seen: seen == "127.0.0.1")

    # Stopped in order: the backup family resolvers, never a dead 127.0.0.1.
    machine.run(["systemctl", "stop", "tranca"], check=True)
    assert machine.global_servers() == BACKUP
    machine.run(["systemctl", "start", "tranca"], check=True)
    machine.wait_for(machine.global_servers, lambda seen: seen == ["127.0.0.1"])

    seen = amparo(machine, "guardar-sitios", "nuevo-bloqueo.example", "permitido.example")
    assert (seen["customBlocked"], seen["allowed"]) == (["nuevo-bloqueo.example"],
                                                        ["permitido.example"])
    # Picked up at the daemon's next minute tick.
    machine.wait_for(lambda: machine.lookup("nuevo-bloqueo.example"),
                     lambda answer: answer == "127.0.0.1", timeout=120)

    # The keyword filter runs as its own user under the unit's sandbox; the
    # daemon's self-check points the system proxy at it and away again.
    assert dns_status(machine).endswith("· sin proxy")
    machine.run(["/usr/lib/amparo/proxy_install.sh"], check=True)
    owner = machine.run(["stat", "-c", "%U", f"/proc/{shown(machine, 'MainPID', 'tranca-proxy')}"])
    assert owner.stdout.strip() == "tranca-proxy"
    machine.wait_for(lambda: dns_status(machine), lambda seen: seen.endswith("127.0.0.1:8080"))
    machine.run(["curl", "-sS", "--max-time", "20", "--proxy", "http://127.0.0.1:8080",
                 f"http://{BLOCKED}/"], check=True)
    machine.run(["/usr/lib/amparo/proxy_uninstall.sh"], check=True)
    machine.wait_for(lambda: dns_status(machine), lambda seen: seen.endswith("sin proxy"))

    # A daemon that keeps dying, however fast, is started again and again and
    # leaves DNS on a dead 127.0.0.1 until the user asks for internet back.
    os.makedirs(os.path.dirname(machine.path(DYING)))
    with open(machine.path(DYING), "w", encoding="utf-8") as dropin:
        dropin.write("[Service]\nExecStart=\nExecStart=/bin/false\nRestartSec=200ms\n")
    machine.run("systemctl daemon-reload && kill -9 $(systemctl show -P MainPID tranca)",
                check=True)
    machine.wait_for(lambda: int(shown(machine, "NRestarts")), lambda seen: seen > 10)
    machine.wait_for(lambda: amparo(machine, "estado")["protection"], "offline".__eq__)
    assert amparo(machine, "recuperar")["protection"] == "fallback"
    assert machine.global_servers() == BACKUP
    shutil.rmtree(os.path.dirname(machine.path(DYING)))
    machine.run("systemctl daemon-reload && systemctl restart tranca", check=True)
    machine.wait_for(lambda: amparo(machine, "estado")["protection"], "active".__eq__)

    assert amparo(machine, "desactivar")["protection"] == "off"
    assert machine.run(["systemctl", "is-active", "tranca"]).stdout.strip() == "inactive"
    assert machine.global_dns() == global_before
    assert machine.read("/etc/resolv.conf") == resolv_before
    assert machine.lookup(BLOCKED) == LEAKED

    installed = machine.run(["/usr/lib/amparo/install.sh"], check=True)
    # Nothing to warn about: the machine already resolves through the filter.
    assert "todavía no resuelve" not in installed.stdout + installed.stderr, installed.stdout
    assert machine.lookup(BLOCKED) == "127.0.0.1"
    assert amparo(machine, "desinstalar")["protection"] == "notInstalled"
    machine.run("DEBIAN_FRONTEND=noninteractive apt-get purge -y -q amparo", check=True)
    assert machine.global_dns() == global_before
    assert machine.read("/etc/resolv.conf") == resolv_before
    assert [path for path in OURS if os.path.lexists(machine.path(path))] == []
    assert sorted(os.listdir(machine.path("/etc/systemd/system"))) == units_before
    assert machine.run(["dpkg", "-L", "amparo"]).returncode != 0
    assert machine.run(["systemctl", "status", "tranca"]).returncode == 4, "no such unit"
