"""The wait before loosening with the real trancad: a change recorded by the
root command line, seen by an ordinary user, retried after a failure, carried
out once due and never before, and nothing carried out from a file that cannot
be read whole."""

import os
import shutil
import socket
import subprocess
import tempfile
import time

import pytest

from conftest import NOBODY, TRANCAD, environment, write

SCALE = 60  # five minutes in five seconds


@pytest.fixture
def box(tmp_path, trancad_factory):
    """trancad copied beside stand-in scripts, its socket where anyone reaches it."""
    lib, data = tmp_path / "lib", tmp_path / "data"
    lib.mkdir()
    data.mkdir()
    shutil.copy(TRANCAD, lib / "trancad")
    run_dir = tempfile.mkdtemp(prefix="amparo-espera-")
    os.chmod(run_dir, 0o755)

    class Box:
        done = tmp_path / "hecho"
        env = environment({"TRANCAD_DIR": str(data),
                           "TRANCAD_ESPERA_SOCKET": f"{run_dir}/tranca/espera.sock"})

        def script(self, body):
            write(str(lib / "disable.sh"), f"#!/bin/bash\n{body}\n", 0o755)

        def tool(self, *args, given=None, user=False):
            return subprocess.run([*(NOBODY if user else []), lib / "trancad", *args],
                                  input=given, env=self.env, capture_output=True, text=True,
                                  timeout=30)

        def daemon(self, **extra):
            return trancad_factory(data_dir=data, binary=str(lib / "trancad"),
                                   env={**self.env, "TRANCAD_ESPERA_ESCALA": str(SCALE), **extra})

        def state(self):
            return (data / "espera.txt").read_text()

    made = Box()
    made.script(f"echo 'Protección desactivada.'\ntouch {made.done}")
    assert made.tool("--espera", "fijar", given="300\n").stdout == "Espera para aflojar: 5 min.\n"
    yield made
    shutil.rmtree(run_dir)


def test_a_failing_change_stays_pending_and_an_unreadable_file_does_nothing(box):
    box.script("echo 'No se pudo detener tranca.service: prueba'; exit 1")
    daemon = box.daemon()
    daemon.wait_for("Espera para aflojar: 5 min")
    assert box.tool("--espera", "desactivar").returncode == 0
    daemon.wait_for("No se pudo hacer el cambio pendiente 1: No se pudo detener tranca.service",
                    timeout=30)
    assert "el último intento falló: No se pudo detener tranca.service: prueba" in \
        box.tool("--espera", "estado").stdout
    box.script(f"touch {box.done}")
    daemon.wait_for("Cambio pendiente 1 hecho (desactivar)", timeout=30)

    # Hostile clients on the socket: silent, oversized and many at once.
    path = box.env["TRANCAD_ESPERA_SOCKET"]
    held = []
    for _ in range(40):
        held.append(socket.socket(socket.AF_UNIX))
        held[-1].connect(path)
    # The newest holder: the oldest ones were closed to make room.
    held[-1].sendall(b"x" * 10_000)
    assert box.tool("--espera", "estado", user=True).stdout == "Espera para aflojar: 5 min\n"

    box.done.unlink()
    write(str(box.done.parent / "data" / "espera.txt"),
          "espera 300\nsiguiente 9\ncambio 8 desactivar 0 0 /\n$(reboot)\n")
    daemon.wait_for("No se leen los cambios pendientes")
    assert "no puede leer" in box.tool("--espera", "estado").stdout
    assert box.tool("--espera", "desactivar").returncode == 1
    time.sleep(1)
    assert not box.done.exists() and daemon.proc.poll() is None
    # With the daemon gone the protection is off and nothing could count a
    # wait: the change is made as before.
    daemon.kill()
    assert box.tool("--espera", "desactivar").returncode == 3
    for client in held:
        client.close()


def test_a_shorter_wait_first_waits_out_the_longer_and_nothing_runs_before_its_time(box):
    daemon = box.daemon()
    daemon.wait_for("Espera para aflojar: 5 min")
    assert box.tool("--espera", "fijar", given="900\n").stdout == "Espera para aflojar: 15 min.\n"
    assert box.tool("--espera", "fijar", given="300\n").stdout.startswith("Pendiente: ")
    left = int(box.state().split("cambio 1 espera ")[1].split()[0])
    assert 300_000 < left <= 900_000, "shortening waits out the wait it shortens"
    daemon.kill()
    write(str(box.done.parent / "data" / "espera.txt"),
          f"espera 300\nsiguiente 2\ncambio 1 desactivar 30000 0 {box.done.parent / 'lib'}\n")
    refused = box.tool("--cumplir", "1")
    assert (refused.returncode, box.done.exists()) == (1, False), refused.stderr

    # Due together, their jobs race for the lock: the later one's does the
    # earlier first, so the deactivation cannot strand the list change.
    lib = box.done.parent / "lib"
    write(str(box.done.parent / "data" / "espera.txt"),
          f"espera 300\nsiguiente 4\ncambio 1 sitios 0 0 {lib}\npermitir 1 escuela.example\n"
          f"cambio 2 desactivar 0 0 {lib}\ncambio 3 desactivar 30000 0 {lib}\n")
    assert box.tool("--cumplir", "2").returncode == 0
    assert (box.done.parent / "data" / "allow.txt").read_text() == "escuela.example\n"
    assert box.done.exists() and "cambio 1 " not in box.state()
    assert "cambio 2 " not in box.state() and "cambio 3 " in box.state()
