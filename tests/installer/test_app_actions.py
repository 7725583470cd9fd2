"""Amparo's actions as a user would see them, end to end on a throw-away
machine (see conftest.py): the real scripts, the real trancad on 127.0.0.1:53,
and Amparo's model, probe and runner (through a pkexec stand-in) observing
each step."""

import json
import os
import time

from conftest import ORIGINAL_RESOLV, hosts_list

DRIVER = os.environ.get("AMPARO_ACTIONS_DRIVER")


def amparo(machine, *action):
    """Runs one action as the tray application does; the snapshot after it."""
    result = machine.run([DRIVER, machine.resources, *action], timeout=180)
    assert result.returncode == 0, f"{action}: exit {result.returncode}\n{result.stderr}"
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_a_life_of_protection_seen_through_the_app(machine):
    # Where update_blocklist.sh takes the list from: root's environment is
    # cleared on the way, as pkexec does.
    os.makedirs(machine.path("/var/lib/tranca"), exist_ok=True)
    with open(machine.path("/var/lib/tranca/blocklist-url.txt"), "w", encoding="utf-8") as f:
        f.write(machine.list_url(hosts_list(1200)) + "\n")

    assert amparo(machine, "estado")["protection"] == "notInstalled"

    seen = amparo(machine, "activar")
    assert seen["protection"] == "active"
    assert not seen["outdated"], "the installed trancad is the one beside the app"
    assert machine.mode("/var/log/tranca.log")[0] == 0o644, "the user's Amparo must read the log"
    assert seen["listCount"] >= 1200
    assert machine.read("/run/pkexec-standin/calls").startswith(
        os.path.join(machine.resources, "amparo-admin") + " /bin/bash ")

    # The user's own list reaches the running daemon at its next tick.
    seen = amparo(machine, "guardar-sitios", "nuevo-bloqueo.example,otro.example",
                  "permitido.example")
    assert seen["customBlocked"] == ["nuevo-bloqueo.example", "otro.example"]
    assert seen["allowed"] == ["permitido.example"]
    assert machine.mode("/var/lib/tranca/custom.txt") == (0o644, 0, 0)
    deadline = time.monotonic() + 75
    while machine.dig("nuevo-bloqueo.example") != ["127.0.0.1"]:
        assert time.monotonic() < deadline, "the daemon never picked up the saved site"
        time.sleep(1)

    # A daemon stopped in order leaves the backup resolvers behind.
    machine.run(["systemctl", "stop", "tranca.service"])
    assert amparo(machine, "estado")["protection"] == "fallback"

    # A daemon that dies leaves the machine pointed at a dead 127.0.0.1.
    machine.run(["systemctl", "start", "tranca.service"])
    deadline = time.monotonic() + 30
    while machine.nameservers() != ["127.0.0.1"]:
        assert time.monotonic() < deadline
        time.sleep(0.2)
    os.kill(machine.daemon_pid(), 9)
    assert amparo(machine, "estado")["protection"] == "offline"

    assert amparo(machine, "recuperar")["protection"] == "fallback"
    assert machine.nameservers() == ["1.1.1.3", "1.0.0.3", "2606:4700:4700::1113",
                                     "2606:4700:4700::1003"]

    assert amparo(machine, "desactivar")["protection"] == "off"
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV

    assert amparo(machine, "desinstalar")["protection"] == "notInstalled"
    assert not machine.exists("/var/lib/tranca")
