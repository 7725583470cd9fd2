"""trancad's DNS and proxy switching against the resolv.conf backend, as root in
the installer tests' throw-away machine (NetworkManager's: tests/system), and
the daemon's own switches when it stops or its self-check goes unanswered."""

import os
import stat

import pytest

from conftest import BACKUP, messages, read

USAGE = ("Uso: trancad --dns local|respaldo|original|estado · trancad --proxy apagado · "
         "trancad --bloqueo respaldo|quitar · trancad --espera estado|cancelar|desactivar|"
         "desinstalar|desactivar-filtro-palabras|guardar-sitios|fijar · "
         "trancad --cumplir <número> · "
         "trancad --aviso desactivada|filtro-palabras-desactivado|desinstalacion|reinicio · "
         "trancad --avisos enviar · trancad --confianza guardar · trancad --probar-aviso\n")
ADMIN = "Hace falta ser administrador para cambiar la red.\n"
RESOLV = ("# escrito a mano\n"
          "search corp.example lan\n"
          "nameserver 192.168.1.1\n"
          "options edns0 timeout:2\n"
          "nameserver 192.168.1.2\n"
          "sortlist 10.0.0.0/255.0.0.0\n")
OUR_PROXY = ("[system/proxy]\nmode='manual'\n"
             "ignore-hosts=['*.local', '169.254/16', 'localhost', '127.0.0.1']\n"
             "[system/proxy/http]\nhost='127.0.0.1'\nport=8080\nenabled=true\n"
             "[system/proxy/https]\nhost='127.0.0.1'\nport=8080\n")


def other_lines(text):
    return [line for line in text.splitlines() if not line.startswith("nameserver ")]


# --- resolv.conf backend -------------------------------------------------------


ROUND_TRIP = [  # command, its lines, the servers after it
    ("local", ["DNS de antes de Amparo guardados (1 servicios)",
               "DNS local en /etc/resolv.conf (activar)"], ["127.0.0.1"]),
    ("local", [], ["127.0.0.1"]),  # nothing to change: no line, the record kept as it was
    ("respaldo", ["DNS respaldo en /etc/resolv.conf (recuperar internet)"], BACKUP),
    ("original", ["DNS original en /etc/resolv.conf (desactivar)"], ["192.168.1.1", "192.168.1.2"]),
]


@pytest.mark.parametrize("mode", ["file", "dir"])
def test_resolvconf_round_trip_keeps_search_options_and_originals(sandbox, mode):
    box = sandbox(RESOLV, mode=mode)
    before, recorded = other_lines(box.read_resolv()), None
    for command, lines, servers in ROUND_TRIP:
        result = box.tool("--dns", command)
        assert (result.returncode, messages(result.stdout), result.stderr) == (0, lines, "")
        assert box.nameservers() == servers and other_lines(box.read_resolv()) == before
        assert stat.S_IMODE(os.stat(box.resolv).st_mode) == 0o644
        if command == "local":
            info = os.stat(box.original_plist)
            assert stat.S_IMODE(info.st_mode) == 0o644
            assert recorded in (None, info.st_mtime_ns), "the originals were recorded again"
            recorded = info.st_mtime_ns
            plist = read(box.original_plist)
            assert "<key>resolv.conf</key>" in plist
            assert plist.index("192.168.1.1") < plist.index("192.168.1.2")
    assert not os.path.exists(box.original_plist)
    # With no record left, "original" takes away a server set by hand.
    box.write_resolv("search lan\nnameserver 127.0.0.1\n")
    result = box.tool("--dns", "original")
    assert (result.returncode, messages(result.stdout)) == (0, [ROUND_TRIP[-1][1][0]])
    assert box.read_resolv() == "search lan\n"


def resolv_state(box):
    return "FIFO" if stat.S_ISFIFO(os.stat(box.resolv).st_mode) else box.read_resolv()


@pytest.mark.parametrize("fifo, reason", [(False, "/etc/resolv.conf ocupa más de 1 MiB"),
                                          (True, "/etc/resolv.conf no es un archivo normal")],
                         ids=["too large", "fifo"])
@pytest.mark.parametrize("command", ["local", "respaldo", "original"])
def test_dns_that_cannot_be_read_whole_changes_nothing(sandbox, fifo, reason, command):
    box = sandbox(RESOLV, mode="dir")
    box.write_keyfile("90-trancad-proxy", OUR_PROXY)
    if command != "local":
        assert box.tool("--dns", "local").returncode == 0
    if fifo:
        os.remove(box.resolv)
        os.mkfifo(box.resolv, 0o644)
    else:
        box.write_resolv("nameserver 192.168.1.1\n#" + "-" * (1 << 20) + "\n")
    before = (resolv_state(box), os.path.exists(box.original_plist))

    result = box.tool("--dns", command)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, "", "No se cambió nada: no se pudo leer entera la configuración DNS de "
               f"/etc/resolv.conf ({reason}).\n")
    assert (resolv_state(box), os.path.exists(box.original_plist)) == before
    assert read(box.keyfile("90-trancad-proxy")) == OUR_PROXY


# --- the command table ---------------------------------------------------------


CHANGES = [("--dns", "local"), ("--dns", "respaldo"), ("--dns", "original"), ("--proxy", "apagado")]
UNKNOWN = [("--proxy", "local"), ("--dns", "apagado"), ("--dns", "Local"), ("--dns", "estad"),
           ("--proxy", "APAGADO"), ("--dns",), ("--dns", "local", "extra"), ("local", "--dns")]


@pytest.mark.parametrize("args, who, code, text", [
    *[(args, who, 1, ADMIN) for args in CHANGES for who in ("ordinary user", "TRANCAD_DNS=0")],
    *[(args, who, 64, USAGE) for args in UNKNOWN for who in ("root", "ordinary user")]])
def test_refused_commands_change_nothing(sandbox, args, who, code, text):
    box = sandbox(RESOLV)
    box.write_keyfile("90-trancad-proxy", OUR_PROXY)
    result = box.tool(*args, user=who == "ordinary user",
                      env={"TRANCAD_DNS": "0"} if who == "TRANCAD_DNS=0" else None)
    assert (result.returncode, result.stdout, result.stderr) == (code, "", text)
    assert box.read_resolv() == RESOLV
    assert not os.path.exists(box.original_plist)
    assert read(box.keyfile("90-trancad-proxy")) == OUR_PROXY


# --- the daemon's start and stop ----------------------------------------------


@pytest.mark.parametrize("user", [False, True], ids=["root", "ordinary user"])
def test_sigterm_switches_to_backup_resolvers_before_exit(sandbox, user):
    # Only root manages the machine's DNS; an ordinary user's daemon says so
    # and leaves resolv.conf as it was.
    box = sandbox("search lan\nnameserver 127.0.0.1\n")
    daemon = box.daemon(env={"TRANCAD_PORT": "0", "TRANCAD_HTTP": "0"}, user=user)
    daemon.wait_for("trancad iniciando")
    suffix = ", sin tocar el DNS del equipo)" if user else f"(dir: {box.data}, puerto: 0)"
    assert daemon.lines[0].endswith(suffix), daemon.lines
    assert daemon.stop() == 0
    stopping = [] if user else ["DNS respaldo en /etc/resolv.conf (el servicio se detiene)",
                                "Bloqueo de DNS: solo deja pasar los resolvedores de respaldo"]
    assert daemon.messages()[-len(stopping) - 1:] == [
        *stopping, "trancad termina (el servicio se detiene)"]
    servers = "nameserver 127.0.0.1\n" if user else "".join(f"nameserver {s}\n" for s in BACKUP)
    assert box.read_resolv() == "search lan\n" + servers


def test_self_check_without_answers_stops_the_daemon_on_backup(sandbox):
    box = sandbox("search casa.lan\nnameserver 192.0.2.1\n")
    # A squatter on the DNS port: the listener keeps retrying, and the probes
    # reach this socket, which never answers.
    box.spawn(["python3", "-c", "import socket, time; s = socket.socket(socket.AF_INET, "
               "socket.SOCK_DGRAM); s.bind(('127.0.0.1', 5300)); time.sleep(600)"],
              listens="127.0.0.1:5300")
    daemon = box.daemon(env={"TRANCAD_PORT": "5300", "TRANCAD_HTTP": "8000"})
    status = daemon.wait(45)
    lines = daemon.messages()
    assert status == 1, lines
    assert "Autochequeo sin respuesta (1/2)" in lines and "Autochequeo sin respuesta (2/2)" in lines
    assert lines[-1] == "trancad termina (el filtro no responde)"
    assert box.nameservers() == BACKUP
    assert not any(line.startswith("DNS local") for line in lines)
