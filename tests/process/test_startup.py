"""trancad as a process: start-up line, list loading and the orderly exit on
signals (its command lines are in test_network_settings.py)."""

import re
import signal
import time

import pytest

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

