"""The DNS lock in the kernel's packet filter of a booted Debian: programs that
ask a resolver of their own are answered by the filter, DNS over TLS and HTTPS
to a public resolver's address are refused, the filter's own upstream queries
pass, a stopped or killed filter leaves only the backup resolvers, a flushed
table comes back, and turning the filter off leaves the ruleset as it was."""

import subprocess

import pytest

from container import BLOCKED, LEAKED, USER_DNS

# A public resolver's address (on the lock's list) and a backup family
# resolver, both played on the cable's far end.
PUBLIC, FAMILY = "8.8.8.8", "1.1.1.3"
ANSWERED = "10.77.0.77"  # what the fake family resolver answers
USERS_TABLE = "table inet del_usuario { chain salida { type filter hook output priority 0; }; }"
REFUSED_TO_BACKUP = "Bloqueo de DNS: solo deja pasar los resolvedores de respaldo"


@pytest.fixture
def serve(machine):
    """A resolver and TCP listeners on 443 and 853 at an address on veth1,
    run by this machine's programs in the container's network."""
    started = []

    def start(address, answer=None):
        resolver = [] if answer is None else [[
            "dnsmasq", "-k", "-C", "/dev/null", "--no-resolv", "--no-hosts", "--bind-interfaces",
            f"--listen-address={address}", f"--address=/#/{answer}", "--pid-file=", "--user=root"]]
        if answer is not None:
            machine.run(f"ip addr add {address}/32 dev veth1", check=True)
        for argv in (*resolver, *(["python3", "-m", "http.server", str(port), "--bind", address]
                                  for port in (443, 853))):
            started.append(subprocess.Popen(machine.command(argv, namespaces=("-n",)),
                                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    yield start
    for process in started:
        process.kill()
        process.wait()


def dig(machine, server, name=BLOCKED, seconds=2):
    return machine.run(["dig", "+short", f"+time={seconds}", "+tries=1", f"@{server}",
                        name]).stdout.strip()


def connects(machine, address, port):
    return machine.run(["curl", "-s", "-o", "/dev/null", "--max-time", "5",
                        f"http://{address}:{port}/"]).returncode == 0


def lock_status(machine):
    status = machine.run(["/var/lib/tranca/trancad", "--dns", "estado"]).stdout
    return next((line for line in status.splitlines() if line.startswith("Bloqueo de DNS")), "")


def test_no_program_resolves_around_the_filter(machine, serve):
    serve(PUBLIC, LEAKED)
    serve(FAMILY, ANSWERED)
    serve(USER_DNS)  # HTTPS and DNS over TLS at the router's ordinary address
    machine.run(["nft", USERS_TABLE], check=True)
    ruleset_before = machine.run(["nft", "list", "ruleset"], check=True).stdout
    for address, port in ((PUBLIC, 443), (USER_DNS, 853)):  # the listeners are up
        machine.wait_for(lambda: connects(machine, address, port), bool)
    assert dig(machine, PUBLIC) == LEAKED

    installed = machine.run(["/usr/lib/amparo/install.sh"], check=True).stdout
    assert "Bloqueo de DNS activo" in installed, installed
    assert dig(machine, PUBLIC) == "127.0.0.1", "a resolver written into a program was asked"
    assert dig(machine, USER_DNS, "estado.amparo.internal") == "127.0.0.2"
    assert not connects(machine, PUBLIC, 443) and not connects(machine, USER_DNS, 853)
    assert connects(machine, USER_DNS, 443), "HTTPS to an ordinary address was refused"
    # The filter's own upstream queries pass the lock: answered by the family
    # resolver (over plain DNS, HTTPS having no server here).
    assert dig(machine, "127.0.0.1", "ejemplo.example", seconds=12) == ANSWERED
    assert "del_usuario" in machine.run(["nft", "list", "ruleset"]).stdout

    machine.run(["nft", "flush", "table", "inet", "amparo"], check=True)
    machine.wait_for(lambda: dig(machine, PUBLIC), "127.0.0.1".__eq__, timeout=40)

    machine.run(["systemctl", "stop", "tranca"], check=True)
    assert "de respaldo" in lock_status(machine)
    assert dig(machine, FAMILY) == ANSWERED, "the backup resolvers were refused"
    assert "connection refused" in dig(machine, PUBLIC) and not connects(machine, PUBLIC, 443)
    machine.run(["systemctl", "start", "tranca"], check=True)
    machine.wait_for(lambda: dig(machine, PUBLIC), "127.0.0.1".__eq__)
    # Killed: the unit's stop hook, then its start hook, put the backup form in.
    backups = machine.read("/var/log/tranca.log").count(REFUSED_TO_BACKUP)
    machine.run("kill -9 $(systemctl show -P MainPID tranca)", check=True)
    machine.wait_for(lambda: machine.read("/var/log/tranca.log").count(REFUSED_TO_BACKUP),
                     lambda seen: seen >= backups + 2)
    machine.wait_for(lambda: dig(machine, PUBLIC), "127.0.0.1".__eq__)

    machine.run(["/usr/lib/amparo/disable.sh"], check=True)
    assert machine.run(["nft", "list", "ruleset"]).stdout == ruleset_before
    machine.run(["/usr/lib/amparo/install.sh"], check=True)
    machine.run(["/usr/lib/amparo/uninstall.sh"], check=True)
    assert machine.run(["nft", "list", "ruleset"]).stdout == ruleset_before
    assert dig(machine, PUBLIC) == LEAKED
