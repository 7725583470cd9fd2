"""trancad as a process: start-up line, list loading and the orderly exit on
signals (its command lines are in test_network_settings.py)."""

import os
import re
import signal
import socket
import struct
import subprocess
import time

import pytest

import flood
from conftest import TRANCAD, free_port, sanitizer_options
from netenv import Sandbox

STAMP = re.compile(r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] ")


def run_tool(args, env=None, **kwargs):
    base = {"PATH": os.environ.get("PATH", ""), "TRANCAD_DNS": "0"}
    base.update(env or {})
    return subprocess.run([TRANCAD, *args], env=base, capture_output=True, timeout=30, **kwargs)


def test_startup_line_lists_and_sigterm_exit(trancad_factory, tmp_path):
    (tmp_path / "blocklist.txt").write_text("0.0.0.0 a.example\nb.example\n")
    (tmp_path / "allow.txt").write_text("ok.example\n")
    daemon = trancad_factory()
    first = daemon.wait_for("trancad iniciando")
    assert STAMP.match(first)
    assert first.endswith(
        f"trancad iniciando (dir: {tmp_path}, puerto: {daemon.dns_port}, sin tocar el DNS del equipo)"
    )
    assert daemon.wait_for("Listas cargadas").endswith(
        "Listas cargadas: 2 dominios bloqueados, 1 permitidos"
    )
    time.sleep(0.5)  # let the signal handlers be armed
    assert daemon.stop(signal.SIGTERM) == 0
    assert daemon.lines[-1].endswith("trancad termina (el servicio se detiene)")
    assert all(STAMP.match(line) for line in daemon.lines)


def test_sigint_ends_the_same_orderly_way(trancad_factory):
    daemon = trancad_factory()
    daemon.wait_for("trancad iniciando")
    time.sleep(0.5)
    assert daemon.stop(signal.SIGINT) == 0
    assert daemon.lines[-1].endswith("trancad termina (el servicio se detiene)")
    assert not any("Listas cargadas" in line for line in daemon.lines), "no file, no load line"


def test_port_variables_fall_back_silently(trancad_factory):
    daemon = trancad_factory(env={"TRANCAD_PORT": "70000"})
    line = daemon.wait_for("trancad iniciando")
    assert ", puerto: 53," in line
    daemon.stop()
    daemon = trancad_factory(env={"TRANCAD_PORT": "+5300"})
    assert ", puerto: 5300," in daemon.wait_for("trancad iniciando")
    daemon.stop()


def test_directory_with_newline_cannot_forge_a_log_line(trancad_factory, tmp_path):
    odd = tmp_path / "dir\n[2030-01-01T00:00:00Z] falso"
    odd.mkdir()
    daemon = trancad_factory(data_dir=odd)
    line = daemon.wait_for("trancad iniciando")
    assert "dir\\x0a[2030-01-01T00:00:00Z] falso" in line
    daemon.stop()
    assert all(STAMP.match(line) for line in daemon.lines)
    assert not any(line.startswith("[2030") for line in daemon.lines)


def ask_dns(port, name, ident):
    """The answer section's first address of an A query, as dotted text."""
    query = flood.query(ident, name)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.settimeout(10)
        probe.sendto(query, ("127.0.0.1", port))
        reply = probe.recv(512)
    assert reply[:2] == query[:2] and struct.unpack(">H", reply[6:8])[0] >= 1, reply
    return socket.inet_ntoa(reply[-4:])


def test_closed_standard_output_does_not_end_the_daemon(tmp_path):
    (tmp_path / "blocklist.txt").write_text("bloqueado.example\n")
    port = free_port()
    env = {"PATH": os.environ.get("PATH", ""), "TRANCAD_DIR": str(tmp_path),
           "TRANCAD_PORT": str(port), "TRANCAD_HTTP": str(free_port()),
           "TRANCAD_DNS": "0", **sanitizer_options()}
    proc = subprocess.Popen([TRANCAD], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    try:
        for line in proc.stdout:
            if b"Servidor DNS escuchando" in line:
                break
        proc.stdout.close()
        # Each answer comes with a log line, written into the closed pipe.
        assert ask_dns(port, "bloqueado.example", 1) == "127.0.0.1"
        assert ask_dns(port, "bloqueado.example", 2) == "127.0.0.1"
        assert proc.poll() is None
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=20) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


@pytest.mark.parametrize("user", [False, True], ids=["root", "ordinary user"])
def test_startup_line_says_when_the_machines_dns_is_left_alone(user):
    # As root the daemon manages DNS: a private mount namespace keeps that to
    # a throw-away resolv.conf.
    box = Sandbox("nameserver 192.0.2.53\n")
    daemon = None
    try:
        daemon = box.daemon({"TRANCAD_PORT": "0", "TRANCAD_HTTP": "0"}, user=user)
        daemon.wait_for("trancad iniciando")
        suffix = ", sin tocar el DNS del equipo)" if user else f"(dir: {box.data}, puerto: 0)"
        assert daemon.lines[0].endswith(suffix), daemon.lines[0]
        assert daemon.stop() == 0
    finally:
        if daemon:
            daemon.kill()
        box.cleanup()
