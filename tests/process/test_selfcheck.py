"""The self-check end to end: the real trancad, as root with the network
settings in a private mount namespace, probing its own DNS listener every
15 s and keeping /etc/resolv.conf pointed at itself."""

import os
import time

import pytest

from conftest import BACKUP, free_port

pytestmark = pytest.mark.skipif(os.geteuid() != 0, reason="needs root for namespaces")


@pytest.fixture
def box(sandbox):
    return sandbox("search casa.lan\nnameserver 192.0.2.1\noptions edns0\n")


def ports():
    return {"TRANCAD_PORT": str(free_port()), "TRANCAD_HTTP": str(free_port())}


def test_healthy_daemon_points_dns_at_itself_and_puts_it_back(box):
    daemon = box.daemon(env=ports())
    daemon.wait_for("DNS local en", timeout=30)
    assert box.nameservers() == ["127.0.0.1"]
    assert "search casa.lan" in box.read_resolv()
    assert os.path.exists(box.original_plist)
    # The next probe finds nothing to change: no line at all.
    settled = len(daemon.lines)
    time.sleep(17)
    assert daemon.lines[settled:] == []
    # Someone changes the DNS by hand: back within one interval, one line.
    box.write_resolv("search casa.lan\nnameserver 9.9.9.9\noptions edns0\n")
    deadline = time.monotonic() + 20
    while box.nameservers() != ["127.0.0.1"] and time.monotonic() < deadline:
        time.sleep(0.2)
    assert box.nameservers() == ["127.0.0.1"]
    time.sleep(0.5)
    changes = [line for line in daemon.messages() if line.startswith("DNS local en")]
    assert len(changes) == 2, daemon.lines
    assert changes[-1].endswith("(el filtro responde)")
    assert not any("Autochequeo" in line for line in daemon.lines)
    assert daemon.stop() == 0
    assert box.nameservers() == BACKUP
    assert daemon.messages()[-2:] == ["DNS respaldo en /etc/resolv.conf (el servicio se detiene)",
                                      "trancad termina (el servicio se detiene)"]


def test_listener_that_cannot_bind_stops_the_daemon_on_backup(box):
    env = ports()
    # Hold the DNS port: the listener keeps retrying, and the probes reach this
    # socket, which never answers.
    box.spawn(["python3", "-c", "import socket, time; s = socket.socket(socket.AF_INET, "
               f"socket.SOCK_DGRAM); s.bind(('127.0.0.1', {env['TRANCAD_PORT']})); time.sleep(600)"],
              listens=f"127.0.0.1:{env['TRANCAD_PORT']}")
    daemon = box.daemon(env=env)
    status = daemon.wait(45)
    lines = daemon.messages()
    assert status == 1, lines
    assert "Autochequeo sin respuesta (1/2)" in lines
    assert "Autochequeo sin respuesta (2/2)" in lines
    assert lines[-1] == "trancad termina (el filtro no responde)"
    assert box.nameservers() == BACKUP
    assert not any(line.startswith("DNS local") for line in lines)
