"""trancad as a process: start-up line, list loading, listeners on busy ports
and the orderly exit on signals (its command lines are in
test_network_settings.py)."""

import re
import signal
import socket
import subprocess
import time

import pytest

from conftest import TRANCAD, dig, environment, free_port

STAMP = re.compile(r"^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] ")
ENDS = "trancad termina (el servicio se detiene)"


@pytest.mark.parametrize("sig, lists", [(signal.SIGTERM, True), (signal.SIGINT, False)],
                         ids=["SIGTERM", "SIGINT"])
def test_startup_line_lists_and_orderly_exit(trancad_factory, tmp_path, sig, lists):
    # A newline in the directory must not forge a line of its own.
    folder = tmp_path / "dir\n[2030-01-01T00:00:00Z] falso"
    folder.mkdir()
    if lists:
        (folder / "blocklist.txt").write_text("0.0.0.0 a.example\nb.example\n")
        (folder / "allow.txt").write_text("ok.example\n")
    daemon = trancad_factory(data_dir=folder)
    first = daemon.wait_for("trancad iniciando")
    assert STAMP.match(first)
    assert first.endswith(f"trancad iniciando (dir: {tmp_path}/dir\\x0a[2030-01-01T00:00:00Z] "
                          f"falso, puerto: {daemon.dns_port}, sin tocar el DNS del equipo)")
    if lists:
        assert daemon.wait_for("Listas cargadas").endswith(
            "Listas cargadas: 2 dominios bloqueados, 1 permitidos")
    time.sleep(0.5)  # let the signal handlers be armed
    assert daemon.stop(sig) == 0
    assert daemon.lines[-1].endswith(ENDS)
    assert all(STAMP.match(line) for line in daemon.lines)
    assert lists == any("Listas cargadas" in line for line in daemon.lines), "no file, no load line"


def test_closed_standard_output_does_not_end_the_daemon(tmp_path):
    (tmp_path / "blocklist.txt").write_text("bloqueado.example\n")
    port = free_port()
    env = environment({"TRANCAD_DIR": str(tmp_path), "TRANCAD_PORT": str(port),
                       "TRANCAD_HTTP": str(free_port()), "TRANCAD_DNS": "0"})
    proc = subprocess.Popen([TRANCAD], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    try:
        for line in proc.stdout:
            if b"Servidor DNS escuchando" in line:
                break
        proc.stdout.close()
        # Each answer comes with a log line, written into the closed pipe.
        for _ in range(2):
            assert dig(port, "bloqueado.example")[1] == [("60", "127.0.0.1")]
        assert proc.poll() is None
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=20) == 0
    finally:
        proc.kill()  # a no-op once it has ended
        proc.wait()


@pytest.mark.parametrize("variable, kind, busy, retry, listening", [
    ("TRANCAD_PORT", socket.SOCK_DGRAM, "No pude crear el listener (", 2,
     "Servidor DNS escuchando en 127.0.0.1:"),
    ("TRANCAD_HTTP", socket.SOCK_STREAM, "No pude abrir el puerto {port} (", 5,
     "Página de bloqueo escuchando en 127.0.0.1:"),
], ids=["DNS", "page"])
def test_busy_port_is_retried_until_free(trancad_factory, variable, kind, busy, retry, listening):
    holder = socket.socket(socket.AF_INET, kind)
    holder.bind(("127.0.0.1", 0))
    if kind == socket.SOCK_STREAM:
        holder.listen(4)
    port = holder.getsockname()[1]
    daemon = trancad_factory(env={variable: str(port), "TRANCAD_REDIRECT": ""})
    busy = busy.format(port=port)
    assert daemon.wait_for(busy).endswith(f") — reintento en {retry} s")
    first = time.monotonic()
    daemon.wait_for(busy, timeout=retry + 10)
    gap = time.monotonic() - first
    assert retry / 2 < gap < retry + 7, f"retry after {gap:.1f} s"
    holder.close()
    daemon.wait_for(f"{listening}{port}", timeout=retry + 10)
    if kind == socket.SOCK_DGRAM:
        assert dig(port, "estado.amparo.internal")[1] == [("1", "127.0.0.2")]
    else:
        page = subprocess.run(["curl", "-s", "-i", "-m", "20", f"http://127.0.0.1:{port}/"],
                              capture_output=True, check=True).stdout
        assert page.startswith(b"HTTP/1.1 200 OK")
    assert daemon.proc.poll() is None
