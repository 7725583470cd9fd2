"""Amparo's actions on a booted machine: the model, probe and pkexec runner
of the tray application (through a pkexec stand-in that runs as root) driving
the installed package, and the snapshot they observe after each."""

import json
import os
import shutil

from conftest import BACKUP, BLOCKED

DRIVER = os.environ.get("AMPARO_ACTIONS_DRIVER")
# Like pkexec once the password is given: root, a cleared environment.
PKEXEC = """#!/bin/sh
echo "$*" >>/run/pkexec-llamadas
exec env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
"""
DYING = "[Service]\nExecStart=\nExecStart=/bin/false\n"


def amparo(machine, *action):
    result = machine.run(["/usr/local/bin/amparo-acciones", "/usr/lib/amparo", *action],
                         timeout=180)
    assert result.returncode == 0, f"{action}: exit {result.returncode}\n{result.stderr}"
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_a_life_of_protection_seen_through_the_app(machine, deb):
    shutil.copy(DRIVER, machine.path("/usr/local/bin/amparo-acciones"))
    with open(machine.path("/usr/local/bin/pkexec"), "w", encoding="utf-8") as standin:
        standin.write(PKEXEC)
    os.chmod(machine.path("/usr/local/bin/pkexec"), 0o755)
    machine.install_package(deb)
    assert amparo(machine, "estado")["protection"] == "notInstalled"

    seen = amparo(machine, "activar")
    assert seen["protection"] == "active"
    assert not seen["outdated"], "the installed trancad is the package's own"
    assert machine.read("/run/pkexec-llamadas").startswith("/usr/lib/amparo/amparo-admin ")
    assert machine.lookup(BLOCKED) == "127.0.0.1"

    seen = amparo(machine, "guardar-sitios", "nuevo-bloqueo.example", "permitido.example")
    assert (seen["customBlocked"], seen["allowed"]) == (["nuevo-bloqueo.example"],
                                                        ["permitido.example"])
    # Picked up at the daemon's next minute tick; a lookup that goes upstream
    # meanwhile (nowhere to go here) takes its own while.
    machine.wait_for(lambda: machine.lookup("nuevo-bloqueo.example"),
                     lambda answer: answer == "127.0.0.1", timeout=120)

    # A daemon that keeps dying leaves the machine pointed at a dead 127.0.0.1
    # until the user asks for internet back.
    os.makedirs(machine.path("/etc/systemd/system/tranca.service.d"))
    with open(machine.path("/etc/systemd/system/tranca.service.d/muere.conf"), "w",
              encoding="utf-8") as dropin:
        dropin.write(DYING)
    machine.run("systemctl daemon-reload && kill -9 $(systemctl show -P MainPID tranca)",
                check=True)
    machine.wait_for(lambda: amparo(machine, "estado")["protection"],
                     lambda state: state == "offline")
    assert amparo(machine, "recuperar")["protection"] == "fallback"
    assert machine.global_servers() == BACKUP
    os.remove(machine.path("/etc/systemd/system/tranca.service.d/muere.conf"))
    machine.run("systemctl daemon-reload && systemctl restart tranca", check=True)
    machine.wait_for(lambda: amparo(machine, "estado")["protection"],
                     lambda state: state == "active")

    assert amparo(machine, "desactivar")["protection"] == "off"
    assert machine.global_dns() == {}
    assert amparo(machine, "desinstalar")["protection"] == "notInstalled"
    assert not os.path.exists(machine.path("/var/lib/tranca"))
