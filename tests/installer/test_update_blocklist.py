"""update_blocklist.sh: only a list that passed every check replaces the old
one, by rename; any failure keeps the old list and says why, in Spanish."""

import os
import pathlib
import subprocess
import tempfile

import pytest

from conftest import NOBODY, SCRIPTS, TRANCAD, hosts_list, ok, write

SCRIPT = os.path.join(SCRIPTS, "update_blocklist.sh")
OLD = hosts_list(1500, prefix="viejo")


@pytest.fixture
def data():
    """A data folder with an old list, in a tree everyone may walk."""
    with tempfile.TemporaryDirectory(prefix="amparo-lista-") as base:
        os.chmod(base, 0o755)
        write(os.path.join(base, "tranca", "blocklist.txt"), OLD)
        yield pathlib.Path(base, "tranca")


def update(data, url=None, user=False):
    env = {"PATH": "/usr/bin:/bin", "TRANCAD_DIR": str(data), "LANG": "C.UTF-8",
           **({"TRANCA_BLOCKLIST_URL": url} if url else {})}
    return subprocess.run([*(NOBODY if user else []), "/bin/bash", SCRIPT], env=env,
                          capture_output=True, text=True, timeout=120)


def offer(data, content, name="nueva.txt"):
    with open(data.parent / name, "wb") as handle:
        if isinstance(content, int):
            handle.truncate(content)  # as big as that, on no disk
        else:
            handle.write(content if isinstance(content, bytes) else content.encode())
    return "file://" + str(data.parent / name)


@pytest.mark.parametrize("offered,reason", [
    pytest.param("<!DOCTYPE html>\n<html><body>" + "<p>nada</p>\n" * 3000,
                 "parece una página web", id="web"),
    pytest.param(hosts_list(999), "tiene 999 dominios, menos que el mínimo de 1000", id="pocos"),
    pytest.param(hosts_list(600) * 2 + "0.0.0.0 localhost\n127.0.0.1 broadcasthost\n",
                 "tiene 600 dominios", id="repetidos"),
    # Adblock syntax: every entry keeps its ||…^ and is no host name.
    pytest.param("".join(f"||adulto{i}.example^\n" for i in range(3000)),
                 "no son nombres de dominio", id="otro formato"),
    pytest.param(hosts_list(2000).encode() + b"0.0.0.0 caf\xe9.example\n" * 100,
                 "no es texto UTF-8", id="latin1"),
    pytest.param("", "llegó vacía", id="vacia"),
    pytest.param(65 << 20, "pesa más que el máximo de 67108864 bytes", id="enorme"),
    pytest.param("file:///no/existe.txt", "la descarga de file:///no/existe.txt falló",
                 id="no existe"),
    pytest.param("ftp://listas.example/hosts", "no es https://", id="ftp"),
    pytest.param(hosts_list(1100), "hace falta ser administrador", id="sin root"),
])
def test_a_bad_list_is_refused_and_the_old_one_kept(data, offered, reason):
    url = offered if str(offered).startswith(("file:", "ftp:")) else offer(data, offered)
    result = update(data, url, user="administrador" in reason)
    assert result.returncode == 1, result.stdout + result.stderr
    assert result.stderr.startswith("No se pudo actualizar la lista de bloqueo: ")
    assert reason in result.stderr and "Se conserva la lista anterior." in result.stderr
    assert (data / "blocklist.txt").read_text(encoding="utf-8") == OLD
    assert os.listdir(data) == ["blocklist.txt"], "a staged file was left behind"


def test_a_good_list_replaces_the_old_one_by_rename_and_only_when_new(data):
    new = hosts_list(2000, prefix="nuevo").upper() + "Nombre-En-Mayusculas.Example\n"
    before = os.stat(data / "blocklist.txt").st_ino
    result = ok(update(data, offer(data, new)))
    assert "Lista de bloqueo actualizada: 2001 dominios" in result.stdout
    info = os.stat(data / "blocklist.txt")
    assert (info.st_ino != before, info.st_mode & 0o777) == (True, 0o644)
    assert (data / "blocklist.txt").read_text(encoding="utf-8") == new
    assert os.listdir(data) == ["blocklist.txt"]
    # The same list again: an unchanged file spares the daemon a reload.
    assert "ya estaba al día (2001 dominios)" in ok(update(data, offer(data, new))).stdout
    assert os.stat(data / "blocklist.txt").st_mtime_ns == info.st_mtime_ns
    # The data folder's own setting: its first line that is no comment.
    url = offer(data, hosts_list(1100, prefix="configurada"))
    write(str(data / "blocklist-url.txt"), f"# de dónde sale la lista\n\n{url}\n")
    ok(update(data))
    assert "configurada0.example" in (data / "blocklist.txt").read_text(encoding="utf-8")


def test_the_daemon_loads_every_name_the_script_counted(data, machine):
    # What the filter cannot read costs only its own line, in both alike.
    not_utf8 = [b"caf\xe9.example",  # Latin-1
                b"arriba\xf4\x90\x80\x80.example",  # past U+10FFFF, which iconv accepts
                b"sur\xed\xa0\x80.example",  # a surrogate
                b"largo\xc0\xae.example",  # an overlong form
                b"corto\xe2\x82"]  # cut short
    unusable = [b"*", b".", b"ads.*.example"]
    read_as_meant = [b"0.0.0.0\ttab.example", b"punto.example.", b"*.comodin.example",
                     b"A.Mayus.Example", "ñandú.example".encode()]
    text = (hosts_list(2000).encode() + b"".join(b"0.0.0.0 " + line + b"\n"
                                                 for line in not_utf8 + unusable)
            + b"\r\n".join(read_as_meant))
    result = ok(update(data, offer(data, text)))
    assert "Lista de bloqueo actualizada: 2005 dominios" in result.stdout
    assert "por no ser UTF-8 válido: 5." in result.stderr
    assert "por no tener un nombre de dominio utilizable: 3." in result.stderr
    # The real trancad on that folder, on the machine's own 127.0.0.1, for a few seconds.
    log = machine.run(["timeout", "-s", "KILL", "3", TRANCAD],
                      env={"TRANCAD_DIR": str(data), "TRANCAD_DNS": "0"}).stdout.strip()
    assert "Listas cargadas: 2005 dominios bloqueados, 0 permitidos" in log, log
    assert "blocklist.txt: 5 líneas ignoradas (no es UTF-8 válido)" in log
    assert "blocklist.txt: 3 líneas ignoradas (sin un nombre de dominio utilizable)" in log


@pytest.mark.parametrize("machine", ["nameserver 127.0.0.1\n"], indirect=True)
@pytest.mark.parametrize("resolver", [True, False], ids=["familiar", "ninguno"])
def test_a_download_needs_no_filter_to_look_names_up(machine, resolver):
    # The machine's DNS is a filter that is down; 1.1.1.3 knows the list's host.
    os.makedirs(machine.path("/var/lib/tranca"))
    if resolver:
        machine.run(["ip", "addr", "add", "1.1.1.3/32", "dev", "lo"])
        machine.spawn(["dnsmasq", "-k", "--no-resolv", "--no-hosts", "--listen-address=1.1.1.3",
                       "--bind-interfaces", "--pid-file=", "--user=root",
                       "--address=/listas.amparo.test/127.0.0.1"], "1.1.1.3:53")
    write(os.path.join(machine.root, "web", "hosts"), hosts_list(1300, prefix="remota"))
    machine.spawn(["python3", "-c", "import http.server as h, os, sys, time\n"
                   "class S(h.SimpleHTTPRequestHandler):\n do_GET = lambda self: (time.sleep(4), "
                   "super(S, self).do_GET())\nos.chdir(sys.argv[1])\nh.test(S, port=8080, "
                   "bind='127.0.0.1')", os.path.join(machine.root, "web")], "127.0.0.1:8080")
    result = machine.run(["/bin/bash", SCRIPT],
                         env={"TRANCA_BLOCKLIST_URL": "http://listas.amparo.test:8080/hosts"})
    if resolver:
        ok(result)
        assert "remota0.example" in machine.read("/var/lib/tranca/blocklist.txt")
    else:
        assert result.returncode == 1
        assert "los resolvedores familiares no respondieron por listas.amparo.test" in result.stderr
        assert "No hay una lista anterior" in result.stderr
        assert os.listdir(machine.path("/var/lib/tranca")) == []
