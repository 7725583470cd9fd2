"""trancad's DNS and proxy switching, as real processes against the resolv.conf
backend in a private mount namespace (the NetworkManager backend is tested
against the real NetworkManager in tests/system). Every test runs trancad as
root in its own namespace so this machine's settings are never touched."""

import os
import stat

import pytest

from netenv import Sandbox, messages

USAGE = "Uso: trancad --dns local|respaldo|original|estado · trancad --proxy apagado\n"
ADMIN = "Hace falta ser administrador para cambiar la red.\n"
BACKUP = ["1.1.1.3", "1.0.0.3", "2606:4700:4700::1113", "2606:4700:4700::1003"]
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
USER_PROXY = ("[system/proxy]\nmode='manual'\n"
              "[system/proxy/https]\nhost='proxy.corp.example'\nport=3128\n"
              "[system/proxy/http]\nhost='proxy.corp.example'\nport=3128\n"
              "[system/proxy/socks]\nhost='socks.corp.example'\n")


@pytest.fixture
def sandbox_factory():
    made = []

    def make(*args, **kwargs):
        box = Sandbox(*args, **kwargs)
        made.append(box)
        return box

    yield make
    for box in made:
        box.cleanup()


def other_lines(text):
    return [line for line in text.splitlines() if not line.startswith("nameserver ")]


# --- resolv.conf backend -------------------------------------------------------


@pytest.mark.parametrize("mode", ["file", "dir"])
def test_resolvconf_round_trip_keeps_search_options_and_originals(sandbox_factory, mode):
    box = sandbox_factory(RESOLV, mode=mode)
    before = other_lines(box.read_resolv())

    local = box.tool("--dns", "local")
    assert local.returncode == 0, local.stderr
    assert messages(local.stdout) == [
        "DNS de antes de Amparo guardados (1 servicios)",
        "DNS local en /etc/resolv.conf (activar)",
    ]
    assert box.nameservers() == ["127.0.0.1"]
    assert other_lines(box.read_resolv()) == before
    assert stat.S_IMODE(os.stat(box.resolv).st_mode) == 0o644

    info = os.stat(box.original_plist)
    assert stat.S_IMODE(info.st_mode) == 0o644
    with open(box.original_plist, encoding="utf-8") as handle:
        plist = handle.read()
    assert "<key>resolv.conf</key>" in plist
    assert plist.index("192.168.1.1") < plist.index("192.168.1.2")

    again = box.tool("--dns", "local")
    assert (again.returncode, again.stdout, again.stderr) == (0, "", "")
    assert os.stat(box.original_plist).st_mtime_ns == info.st_mtime_ns

    backup = box.tool("--dns", "respaldo")
    assert backup.returncode == 0
    assert messages(backup.stdout) == ["DNS respaldo en /etc/resolv.conf (recuperar internet)"]
    assert box.nameservers() == BACKUP
    assert other_lines(box.read_resolv()) == before

    original = box.tool("--dns", "original")
    assert original.returncode == 0
    assert messages(original.stdout) == ["DNS original en /etc/resolv.conf (desactivar)"]
    assert box.nameservers() == ["192.168.1.1", "192.168.1.2"]
    assert other_lines(box.read_resolv()) == before
    assert not os.path.exists(box.original_plist)


def test_original_without_record_removes_manual_servers(sandbox_factory):
    box = sandbox_factory("search lan\nnameserver 127.0.0.1\n")
    result = box.tool("--dns", "original")
    assert result.returncode == 0
    assert messages(result.stdout) == ["DNS original en /etc/resolv.conf (desactivar)"]
    assert box.read_resolv() == "search lan\n"


def test_symlinked_resolvconf_is_reported_not_fought(sandbox_factory):
    box = sandbox_factory(None, mode="dir")
    target_dir = os.path.join(box.root, "run", "systemd", "resolve")
    os.makedirs(target_dir)
    target = os.path.join(target_dir, "stub-resolv.conf")
    with open(target, "w", encoding="utf-8") as handle:
        handle.write("nameserver 127.0.0.53\n")
    os.symlink(target, box.resolv)

    result = box.tool("--dns", "local")
    assert result.returncode == 0
    lines = messages(result.stdout)
    assert lines[-1].startswith("No se pudo guardar DNS local: /etc/resolv.conf es un enlace a ")
    assert "systemd-resolved" in lines[-1]
    assert os.path.islink(box.resolv)
    with open(target, encoding="utf-8") as handle:
        assert handle.read() == "nameserver 127.0.0.53\n"


TOO_LARGE = "nameserver 192.168.1.1\n#" + "-" * (1 << 20) + "\n"


def make_too_large(box):
    box.write_resolv(TOO_LARGE)
    return "/etc/resolv.conf ocupa más de 1 MiB"


def make_fifo(box):
    os.remove(box.resolv)
    os.mkfifo(box.resolv, 0o644)
    return "/etc/resolv.conf no es un archivo normal"


def resolv_state(box):
    return "FIFO" if stat.S_ISFIFO(os.stat(box.resolv).st_mode) else box.read_resolv()


@pytest.mark.parametrize("spoil", [make_too_large, make_fifo])
@pytest.mark.parametrize("command", ["local", "respaldo", "original"])
def test_dns_that_cannot_be_read_whole_changes_nothing(sandbox_factory, spoil, command):
    box = sandbox_factory(RESOLV, mode="dir")
    box.write_keyfile("90-trancad-proxy", OUR_PROXY)
    if command != "local":
        assert box.tool("--dns", "local").returncode == 0
    reason = spoil(box)
    before = (resolv_state(box), os.path.exists(box.original_plist))

    result = box.tool("--dns", command)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, "", "No se cambió nada: no se pudo leer entera la configuración DNS de "
               f"/etc/resolv.conf ({reason}).\n")
    assert (resolv_state(box), os.path.exists(box.original_plist)) == before
    with open(box.keyfile("90-trancad-proxy"), encoding="utf-8") as handle:
        assert handle.read() == OUR_PROXY


# --- system proxy (dconf) ------------------------------------------------------


def test_our_proxy_is_turned_off_and_unlocked(sandbox_factory):
    box = sandbox_factory("nameserver 127.0.0.1\n")
    box.write_keyfile("90-trancad-proxy", OUR_PROXY)
    os.makedirs(os.path.dirname(box.keyfile("locks/x")), exist_ok=True)
    box.write_keyfile("locks/90-trancad-proxy", "/system/proxy/mode\n")
    assert box.tool("--dns", "estado").stdout.endswith(" · 127.0.0.1:8080\n")

    result = box.tool("--proxy", "apagado")
    assert result.returncode == 0
    assert messages(result.stdout) == [
        "Proxy del filtro apagado en /etc/resolv.conf (se desactiva el filtro de contenido)"
    ]
    with open(box.keyfile("90-trancad-proxy"), encoding="utf-8") as handle:
        keyfile = handle.read()
    assert "mode='none'" in keyfile and "host='127.0.0.1'" in keyfile
    assert not os.path.exists(box.keyfile("locks/90-trancad-proxy"))
    # dconf update compiled the database inside the sandbox.
    assert os.path.exists(os.path.join(box.dconf, "db", "local"))
    assert box.tool("--dns", "estado").stdout.endswith(" · sin proxy\n")
    assert box.tool("--proxy", "apagado").stdout == ""


# --- the command table ---------------------------------------------------------


def test_status_prints_one_line_per_service_for_root_and_ordinary_users(sandbox_factory):
    box = sandbox_factory(RESOLV)
    for user in (False, True):
        result = box.tool("--dns", "estado", user=user)
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout == "/etc/resolv.conf: DNS 192.168.1.1 192.168.1.2 · sin proxy\n"
    box.write_resolv("search lan\n")
    assert box.tool("--dns", "estado").stdout == "/etc/resolv.conf: DNS del router · sin proxy\n"


@pytest.mark.parametrize("args", [("--dns", "local"), ("--dns", "respaldo"),
                                  ("--dns", "original"), ("--proxy", "apagado")])
@pytest.mark.parametrize("who", ["ordinary user", "TRANCAD_DNS=0"])
def test_change_commands_refuse_without_administrator(sandbox_factory, args, who):
    box = sandbox_factory(RESOLV)
    box.write_keyfile("90-trancad-proxy", OUR_PROXY)
    if who == "ordinary user":
        result = box.tool(*args, user=True)
    else:
        result = box.tool(*args, env={"TRANCAD_DNS": "0"})
    assert (result.returncode, result.stdout, result.stderr) == (1, "", ADMIN)
    assert box.read_resolv() == RESOLV
    assert not os.path.exists(box.original_plist)
    with open(box.keyfile("90-trancad-proxy"), encoding="utf-8") as handle:
        assert handle.read() == OUR_PROXY


@pytest.mark.parametrize("args", [("--proxy", "local"), ("--dns", "apagado"), ("--dns", "Local"),
                                  ("--dns", "estad"), ("--proxy", "APAGADO"), ("--dns",),
                                  ("--dns", "local", "extra"), ("local", "--dns")])
@pytest.mark.parametrize("user", [False, True])
def test_unknown_commands_get_usage_and_64(sandbox_factory, args, user):
    box = sandbox_factory(RESOLV)
    result = box.tool(*args, user=user)
    assert (result.returncode, result.stdout, result.stderr) == (64, "", USAGE)
    assert box.read_resolv() == RESOLV


# --- the daemon's stop routine --------------------------------------------------


def test_sigterm_switches_to_backup_resolvers_before_exit(sandbox_factory):
    box = sandbox_factory("search lan\nnameserver 127.0.0.1\n")
    daemon = box.daemon(env={"TRANCAD_PORT": "0", "TRANCAD_HTTP": "0"})
    try:
        daemon.wait_for("trancad iniciando")
        assert daemon.lines[0].endswith(", puerto: 0)"), daemon.lines
        assert daemon.stop() == 0
    finally:
        daemon.kill()
    assert messages("\n".join(daemon.lines[-2:])) == [
        "DNS respaldo en /etc/resolv.conf (el servicio se detiene)",
        "trancad termina (el servicio se detiene)",
    ]
    assert box.read_resolv() == "search lan\n" + "".join(f"nameserver {s}\n" for s in BACKUP)
