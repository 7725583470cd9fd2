"""trancad as a process: argument dispatch, start-up line, list loading and
the orderly exit on signals."""

import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import time

import pytest

from conftest import TRANCAD, free_port

USAGE = "Uso: trancad --dns local|respaldo|original|estado · trancad --proxy apagado\n"
STAMP = re.compile(r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] ")


def run_tool(args, env=None, **kwargs):
    base = {"PATH": os.environ.get("PATH", ""), "TRANCAD_DNS": "0"}
    base.update(env or {})
    return subprocess.run([TRANCAD, *args], env=base, capture_output=True, timeout=30, **kwargs)


@pytest.mark.parametrize(
    "args",
    [["--dns"], ["--bogus", "local"], ["--dns", "local", "extra"], ["local"], ["-dns", "estado"]],
)
def test_bad_arguments_print_usage_and_exit_64_without_starting(args):
    result = run_tool(args)
    assert result.returncode == 64
    assert result.stderr.decode() == USAGE
    assert result.stdout == b""


def test_unknown_pair_with_known_flag_gets_usage_from_the_tool():
    result = run_tool(["--dns", "Local"])
    assert result.returncode == 64
    assert result.stderr.decode() == USAGE


def test_tool_mode_refuses_changes_without_rights_and_logs_nothing(tmp_path):
    result = run_tool(["--dns", "local"], env={"TRANCAD_DIR": str(tmp_path)})
    assert result.returncode == 1
    assert result.stderr.decode() == "Hace falta ser administrador para cambiar la red.\n"
    assert result.stdout == b""
    assert list(tmp_path.iterdir()) == []


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
    question = b"".join(bytes([len(label)]) + label.encode() for label in name.split("."))
    query = struct.pack(">6H", ident, 0x0100, 1, 0, 0, 0) + question + b"\0\0\x01\0\x01"
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
           "TRANCAD_PORT": str(port), "TRANCAD_HTTP": str(free_port(socket.SOCK_STREAM)),
           "TRANCAD_DNS": "0"}
    for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if key in os.environ:
            env[key] = os.environ[key]
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


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("unshare") is None, reason="needs root")
def test_root_without_trancad_dns_has_no_suffix(tmp_path):
    # managesSystemDNS is true here, so keep every network change inside a
    # private mount namespace with a throw-away resolv.conf.
    resolv = tmp_path / "resolv.conf"
    resolv.write_text("nameserver 192.0.2.53\n")
    data = tmp_path / "data"
    data.mkdir()
    script = (
        f"mount --make-rprivate / && mount --bind {resolv} /etc/resolv.conf && "
        f"exec {TRANCAD}"
    )
    env = {
        "PATH": os.environ.get("PATH", ""),
        "TRANCAD_DIR": str(data),
        "TRANCAD_PORT": "0",
        "TRANCAD_HTTP": "0",
        "DBUS_SYSTEM_BUS_ADDRESS": f"unix:path={tmp_path}/no-bus",
    }
    proc = subprocess.Popen(
        ["unshare", "-m", "sh", "-c", script], env=env, stdout=subprocess.PIPE
    )
    try:
        line = proc.stdout.readline().decode()
        assert line.rstrip().endswith(f"trancad iniciando (dir: {data}, puerto: 0)")
    finally:
        time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)
        proc.wait(timeout=20)


def test_ordinary_user_gets_the_suffix_without_trancad_dns(tmp_path):
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        pytest.skip("needs root to switch to an ordinary user")
    tmp_path.chmod(0o755)
    env = {"PATH": os.environ.get("PATH", ""), "TRANCAD_DIR": str(tmp_path),
           "TRANCAD_PORT": "0", "TRANCAD_HTTP": "0"}
    for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if key in os.environ:
            env[key] = os.environ[key]
    proc = subprocess.Popen(
        ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", TRANCAD],
        env=env, stdout=subprocess.PIPE,
    )
    try:
        line = proc.stdout.readline().decode()
        assert line.rstrip().endswith(", sin tocar el DNS del equipo)")
    finally:
        time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=20) == 0


@pytest.mark.slow
def test_changed_list_is_picked_up_by_the_minute_tick(trancad_factory, tmp_path):
    daemon = trancad_factory()
    daemon.wait_for("trancad iniciando")
    (tmp_path / "custom.txt").write_text("nuevo.example\notro.example\n")
    # The program's tick is 60 s; the short-interval case is covered in-process.
    line = daemon.wait_for("Listas cargadas", timeout=75)
    assert line.endswith("Listas cargadas: 2 dominios bloqueados, 0 permitidos")
    daemon.stop()
