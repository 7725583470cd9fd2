"""A user's own global DNS configuration: the filter changes only the servers of
"*", puts them back after a hand-made change, blocks from the first answer
after a reboot (its DNS lock too), and uninstalling gives the configuration
back whole."""

import copy
import time

from container import BLOCKED, LEAKED, USER_DNS

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
