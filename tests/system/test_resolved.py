"""Behind systemd-resolved, NetworkManager never passes the global DNS on:
install.sh refuses before touching anything, and the way out it gives works."""

import os

from container import BLOCKED, LEAKED, STATUS_NAME


def test_behind_systemd_resolved_install_refuses_and_its_way_out_works(machine):
    # Installed as a user would: it takes over resolv.conf, and NetworkManager
    # notices at its next start.
    machine.run("dpkg -i /var/cache/apt/archives/systemd-resolved_*.deb", check=True)
    machine.run("systemctl restart NetworkManager && nm-online -s -q -t 30", check=True)
    assert "127.0.0.53" in machine.read("/etc/resolv.conf")
    global_before = machine.global_dns()

    refused = machine.run(["/usr/lib/amparo/install.sh"])
    assert refused.returncode == 1
    assert "systemd-resolved" in refused.stderr and "volvé a activar" in refused.stderr
    assert machine.global_dns() == global_before
    assert not os.path.exists(machine.path("/etc/systemd/system/tranca.service"))
    assert machine.lookup(BLOCKED) == LEAKED

    machine.run("systemctl disable --now systemd-resolved && rm /etc/resolv.conf"
                " && systemctl restart NetworkManager && nm-online -s -q -t 30", check=True)
    machine.run(["/usr/lib/amparo/install.sh"], check=True)
    assert machine.lookup(BLOCKED) == "127.0.0.1"
    assert machine.lookup(STATUS_NAME) == "127.0.0.2"
