"""A protected machine whose user has a global DNS configuration of their
own: the filter changes only the servers of "*", puts them back after a
hand-made change without taking that change for the original, blocks from
the first answer after a reboot, and uninstalling gives the configuration
back whole."""

import copy
import time

from conftest import BLOCKED, LEAKED, USER_DNS

USERS_OWN = {"searches": ["casa.example"], "options": ["edns0"],
             "domains": {"*": {"servers": [USER_DNS], "options": ["rotate"]},
                         "corp.example": {"servers": ["10.0.0.53"]}}}


def as_busctl(config):
    """The a{sv} of NetworkManager's global DNS as busctl's arguments."""
    def strings(values):
        return ["as", str(len(values)), *values]

    def domain(settings):
        return ["a{sv}", str(len(settings))] + [part for key, values in settings.items()
                                              for part in (key, *strings(values))]

    args = [str(len(config))]
    for key, value in config.items():
        if key == "domains":
            args += [key, "a{sv}", str(len(value))]
            for name, settings in value.items():
                args += [name, *domain(settings)]
        else:
            args += [key, *strings(value)]
    return args


def test_users_own_global_dns_survives_tampering_reboot_and_uninstall(machine, deb):
    machine.set_global_dns(*as_busctl(USERS_OWN))
    assert machine.global_dns() == USERS_OWN
    machine.install_package(deb)
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

    machine.run(["/usr/lib/amparo/uninstall.sh"], check=True)
    assert machine.global_dns() == USERS_OWN
