"""A user's own global DNS configuration: the filter changes only the servers of
"*", puts them back after a hand-made change, blocks from the first answer
after a reboot (its DNS lock too), and uninstalling gives the configuration
back whole."""

import copy
import json
import os
import shutil
import time

from container import BLOCKED, LEAKED, USER_DNS
from test_lifecycle import DRIVER, PKEXEC, amparo

USERS_OWN = {"searches": ["casa.example"], "options": ["edns0"],
             "domains": {"*": {"servers": [USER_DNS], "options": ["rotate"]},
                         "corp.example": {"servers": ["10.0.0.53"]}}}


def as_busctl(value):
    """busctl's arguments for an a{sv} whose values are a{sv} again or as."""
    if isinstance(value, list):
        return [str(len(value)), *value]
    return [str(len(value))] + [part for key, item in value.items() for part in (
        key, "a{sv}" if isinstance(item, dict) else "as", *as_busctl(item))]


def test_users_own_global_dns_survives_tampering_reboot_and_uninstall(machine):
    machine.set_global_dns(*as_busctl(USERS_OWN))
    assert machine.global_dns() == USERS_OWN
    machine.run(["/usr/lib/amparo/install.sh"], check=True)
    protected = copy.deepcopy(USERS_OWN)
    protected["domains"]["*"]["servers"] = ["127.0.0.1"]
    assert machine.global_dns() == protected
    assert "search casa.example" in machine.read("/etc/resolv.conf")

    # Another program changes the servers only.
    hand_made = copy.deepcopy(USERS_OWN)
    hand_made["domains"]["*"]["servers"] = ["9.9.9.9"]
    machine.set_global_dns(*as_busctl(hand_made))
    machine.wait_for(machine.global_dns, lambda seen: seen == protected, timeout=20)

    machine.reboot()
    answers = []
    deadline = time.monotonic() + 60
    while answers[-1:] != ["127.0.0.1"]:
        assert time.monotonic() < deadline, answers
        answer = machine.lookup(BLOCKED)
        if answer:
            answers.append(answer)
    assert LEAKED not in answers, "a query went around the filter while the machine booted"
    # The DNS lock came back with the boot: a program asking the router
    # itself is answered by the filter.
    assert machine.run(["dig", "+short", "+time=3", f"@{USER_DNS}", BLOCKED]).stdout.strip() == \
        "127.0.0.1"

    machine.run(["/usr/lib/amparo/uninstall.sh"], check=True)
    assert machine.global_dns() == USERS_OWN


FAST_WAIT = "/etc/systemd/system/tranca.service.d/espera-rapida.conf"
TRANCAD = "/var/lib/tranca/trancad"


def test_a_wait_outlasts_a_reboot_and_anyone_may_cancel_it(machine):
    """Driven as the tray application drives it, through a pkexec stand-in."""
    shutil.copy(DRIVER, machine.path("/usr/local/bin/amparo-acciones"))
    with open(machine.path("/usr/local/bin/pkexec"), "w", encoding="utf-8") as standin:
        standin.write(PKEXEC)
    os.chmod(machine.path("/usr/local/bin/pkexec"), 0o755)
    os.makedirs(os.path.dirname(machine.path(FAST_WAIT)), exist_ok=True)
    with open(machine.path(FAST_WAIT), "w", encoding="utf-8") as dropin:
        dropin.write("[Service]\nEnvironment=TRANCAD_ESPERA_ESCALA=3\n")  # 5 min in 100 s
    assert amparo(machine, "activar")["protection"] == "active"
    assert amparo(machine, "espera", "300")["waitSeconds"] == 300
    assert [change["action"] for change in amparo(machine, "desactivar")["pending"]] == \
        ["desactivar"]
    cancelled = machine.run(["/usr/local/bin/amparo-acciones", "/usr/lib/amparo", "cancelar"],
                            user=65534)
    assert json.loads(cancelled.stdout.splitlines()[-1])["pending"] == [], cancelled.stderr

    # The mixed save blocks at once; its permission waits, as does the deactivation.
    seen = amparo(machine, "guardar-sitios", "nuevo.example", "escuela.example")
    assert [change["action"] for change in seen["pending"]] == ["sitios"]
    assert (seen["customBlocked"], seen["allowed"]) == (["nuevo.example"], [])
    amparo(machine, "desactivar")
    time.sleep(5)
    machine.reboot()
    # Back after the reboot, still protecting, the rest of the wait still to run.
    machine.wait_for(lambda: machine.run([TRANCAD, "--espera", "estado"], user=65534).stdout,
                     lambda seen: "Pendiente (3): la protección se desactivará en" in seen, 90)
    assert machine.run(["dig", "+short", "@127.0.0.1", "nuevo.example"]).stdout == "127.0.0.1\n"
    # Done by its own job once disable.sh has run whole.
    machine.wait_for(lambda: machine.read("/var/log/tranca.log"),
                     lambda log: "Cambio pendiente 3 hecho (desactivar)" in log, timeout=240)
    assert machine.run(["systemctl", "is-active", "tranca"]).stdout.strip() == "inactive"
    assert machine.global_servers() != ["127.0.0.1"]
    assert machine.read("/var/lib/tranca/allow.txt") == "escuela.example\n"
    assert "Cambio pendiente 2 hecho (sitios)" in machine.read("/var/log/tranca.log")
