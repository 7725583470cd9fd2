"""update_blocklist.sh: only a list that passed every check replaces the old
one, atomically; any failure keeps the old list and says why, in Spanish."""

import http.server
import os
import pathlib
import shutil
import socket
import subprocess
import tempfile
import threading
import time

import pytest

from conftest import SCRIPTS, TRANCAD, hosts_list, write

SCRIPT = os.path.join(SCRIPTS, "update_blocklist.sh")
OLD = hosts_list(1500, prefix="viejo")


@pytest.fixture
def data(tmp_path):
    directory = tmp_path / "tranca"
    directory.mkdir()
    write(str(directory / "blocklist.txt"), OLD)
    return directory


def update(data, url=None, extra=None, prefix=()):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TRANCAD_DIR": str(data),
           "LANG": "C.UTF-8"}
    if url is not None:
        env["TRANCA_BLOCKLIST_URL"] = url
    env.update(extra or {})
    return subprocess.run([*prefix, "/bin/bash", SCRIPT], env=env, capture_output=True,
                          text=True, timeout=120)


def offer(tmp_path, content, name="nueva.txt"):
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    return "file://" + str(path)


def assert_kept(result, data, reason):
    assert result.returncode == 1, result.stdout + result.stderr
    assert "No se pudo actualizar la lista de bloqueo" in result.stderr
    assert reason in result.stderr, result.stderr
    assert "Se conserva la lista anterior" in result.stderr
    assert (data / "blocklist.txt").read_text(encoding="utf-8") == OLD
    assert sorted(os.listdir(data)) == ["blocklist.txt"], "a staged file was left behind"


def test_a_good_list_replaces_the_old_one_by_rename(tmp_path, data):
    new = hosts_list(2000, prefix="nuevo") + "Nombre-En-Mayusculas.Example\n"
    before = os.stat(data / "blocklist.txt").st_ino
    result = update(data, offer(tmp_path, new))
    assert result.returncode == 0, result.stderr
    assert "Lista de bloqueo actualizada: 2001 dominios" in result.stdout
    assert (data / "blocklist.txt").read_text(encoding="utf-8") == new
    info = os.stat(data / "blocklist.txt")
    assert info.st_ino != before  # a new file renamed into place, not rewritten
    assert info.st_mode & 0o777 == 0o644
    assert sorted(os.listdir(data)) == ["blocklist.txt"]


def test_the_same_list_again_leaves_the_file_untouched(tmp_path, data):
    url = offer(tmp_path, OLD)
    mtime = os.stat(data / "blocklist.txt").st_mtime_ns
    time.sleep(0.01)
    result = update(data, url)
    assert result.returncode == 0, result.stderr
    assert "ya estaba al día (1500 dominios)" in result.stdout
    # An unchanged time spares the daemon a reload.
    assert os.stat(data / "blocklist.txt").st_mtime_ns == mtime


def test_a_first_list_is_written_when_there_was_none(tmp_path):
    data = tmp_path / "vacia"
    data.mkdir()
    result = update(data, offer(tmp_path, hosts_list(1000)))
    assert result.returncode == 0, result.stderr
    assert (data / "blocklist.txt").exists()


def test_a_web_page_is_refused(tmp_path, data):
    page = "<!DOCTYPE html>\n<html><body>" + "<p>nada</p>\n" * 3000 + "</body></html>\n"
    assert_kept(update(data, offer(tmp_path, page)), data, "parece una página web")


def test_too_few_entries_are_refused(tmp_path, data):
    assert_kept(update(data, offer(tmp_path, hosts_list(999))), data,
                "tiene 999 dominios, menos que el mínimo de 1000")


def test_duplicates_and_boilerplate_do_not_count_as_entries(tmp_path, data):
    text = hosts_list(600) + hosts_list(600) + "0.0.0.0 localhost\n127.0.0.1 broadcasthost\n"
    assert_kept(update(data, offer(tmp_path, text)), data, "tiene 600 dominios")


def test_a_list_in_another_format_is_refused(tmp_path, data):
    # Adblock syntax: every entry keeps its ||…^ and is no host name.
    text = "".join(f"||adulto{i}.example^\n" for i in range(3000))
    assert_kept(update(data, offer(tmp_path, text)), data, "no son nombres de dominio")


def test_a_list_mostly_not_utf8_is_refused(tmp_path, data):
    text = hosts_list(2000).encode() + b"0.0.0.0 caf\xe9.example\n" * 100
    assert_kept(update(data, offer(tmp_path, text)), data, "no es texto UTF-8")


def loaded_by_trancad(data):
    """The log lines of the real trancad started on data, up to its list count."""
    ports = []
    for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
        with socket.socket(socket.AF_INET, kind) as probe:
            probe.bind(("127.0.0.1", 0))
            ports.append(str(probe.getsockname()[1]))
    env = {"PATH": "/usr/bin:/bin", "TRANCAD_DIR": str(data), "TRANCAD_PORT": ports[0],
           "TRANCAD_HTTP": ports[1], "TRANCAD_DNS": "0"}
    env.update({key: os.environ[key] for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS")
                if key in os.environ})
    daemon = subprocess.Popen([TRANCAD], env=env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    lines = []
    give_up = threading.Timer(30, daemon.kill)  # a silent daemon ends the loop below
    give_up.start()
    try:
        for line in daemon.stdout:
            lines.append(line.rstrip("\n"))
            if "Listas cargadas" in line:
                return lines
        raise AssertionError(f"trancad ended without loading the lists: {lines}")
    finally:
        give_up.cancel()
        daemon.kill()
        daemon.wait()


def test_the_daemon_loads_every_name_the_script_counted(tmp_path, data):
    # What the filter cannot read costs only its own line, in the script and
    # in the daemon alike.
    not_utf8 = [b"caf\xe9.example",  # Latin-1
                b"arriba\xf4\x90\x80\x80.example",  # past U+10FFFF, which iconv accepts
                b"sur\xed\xa0\x80.example",  # a surrogate
                b"largo\xc0\xae.example",  # an overlong form
                b"corto\xe2\x82"]  # cut short
    unusable = [b"*", b".", b"ads.*.example"]
    read_as_meant = [b"0.0.0.0\ttab.example", b"punto.example.", b"*.comodin.example",
                     b"A.Mayus.Example", "ñandú.example".encode()]
    text = (hosts_list(2000).encode()
            + b"".join(b"0.0.0.0 " + line + b"\n" for line in not_utf8 + unusable)
            + b"\r\n".join(read_as_meant))
    result = update(data, offer(tmp_path, text))
    assert result.returncode == 0, result.stderr
    assert "Lista de bloqueo actualizada: 2005 dominios" in result.stdout
    assert "por no ser UTF-8 válido: 5." in result.stderr
    assert "por no tener un nombre de dominio utilizable: 3." in result.stderr
    log = loaded_by_trancad(data)
    assert log[-1].endswith("Listas cargadas: 2005 dominios bloqueados, 0 permitidos"), log
    assert any(line.endswith("blocklist.txt: 5 líneas ignoradas (no es UTF-8 válido)")
               for line in log), log
    assert any(line.endswith(
        "blocklist.txt: 3 líneas ignoradas (sin un nombre de dominio utilizable)")
        for line in log), log


def test_an_empty_download_is_refused(tmp_path, data):
    assert_kept(update(data, offer(tmp_path, "")), data, "llegó vacía")


def test_an_oversized_download_is_refused(tmp_path, data):
    path = tmp_path / "enorme.txt"
    with open(path, "wb") as handle:
        handle.truncate(65 * 1024 * 1024)
    result = update(data, "file://" + str(path))
    assert result.returncode == 1
    assert (data / "blocklist.txt").read_text(encoding="utf-8") == OLD
    assert sorted(os.listdir(data)) == ["blocklist.txt"]
    assert "Se conserva la lista anterior" in result.stderr


class Oversized(http.server.BaseHTTPRequestHandler):
    """A list sent in chunks, so no size is announced, past the 64 MiB maximum."""
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        chunk = hosts_list(3000).encode()
        try:
            for _ in range(72 * 1024 * 1024 // len(chunk)):
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            self.wfile.write(b"0\r\n\r\n")
        except OSError:
            pass  # the client stopped reading, as it should

    def log_message(self, *args):
        pass


def test_a_chunked_download_past_the_maximum_stops_at_the_maximum(data):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Oversized)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    # Writing a byte more than the maximum and a little slack into any file
    # fails, so the update can only fail as intended if it never did.
    limit = 64 * 1024 * 1024 + 64 * 1024
    try:
        result = update(data, f"http://127.0.0.1:{server.server_port}/hosts",
                        prefix=["prlimit", f"--fsize={limit}"])
    finally:
        server.shutdown()
        server.server_close()
    assert_kept(result, data, "la lista descargada pesa más que el máximo de 67108864 bytes")


def test_a_missing_source_is_refused(tmp_path, data):
    assert_kept(update(data, "file://" + str(tmp_path / "no-existe.txt")), data,
                "la descarga de file://")


def test_an_unsupported_address_is_refused(data):
    assert_kept(update(data, "ftp://listas.example/hosts"), data, "no es https://")


def test_the_url_can_be_configured_in_the_data_directory(tmp_path, data):
    url = offer(tmp_path, hosts_list(1100, prefix="configurada"))
    write(str(data / "blocklist-url.txt"), "# de dónde sale la lista\n\n" + url + "\n")
    result = update(data)
    assert result.returncode == 0, result.stderr
    assert "configurada0.example" in (data / "blocklist.txt").read_text(encoding="utf-8")


def test_without_a_writable_data_directory_nothing_happens(tmp_path):
    result = update(tmp_path / "no-existe", offer(tmp_path, hosts_list(1100)))
    assert result.returncode == 1
    assert "no existe la carpeta" in result.stderr
    assert "No hay una lista anterior" in result.stderr


def test_two_updates_at_once_both_end_with_a_whole_list(tmp_path, data):
    first = hosts_list(30000, prefix="uno")
    second = hosts_list(30000, prefix="dos")
    procs = [subprocess.Popen(["/bin/bash", SCRIPT], env={
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"), "TRANCAD_DIR": str(data),
        "TRANCA_BLOCKLIST_URL": offer(tmp_path, text, name=f"l{i}.txt")},
        stdout=subprocess.PIPE, stderr=subprocess.PIPE) for i, text in enumerate((first, second))]
    for proc in procs:
        assert proc.wait(timeout=120) == 0
    assert (data / "blocklist.txt").read_text(encoding="utf-8") in (first, second)
    assert sorted(os.listdir(data)) == ["blocklist.txt"]


# --- downloads that do not need the filter to resolve names ---------------------------


FAMILY = "1.1.1.3"


def serve_list(machine, text):
    """dnsmasq as the family resolver on 1.1.1.3 of the namespace, knowing one
    name, and an HTTP server with the list on 127.0.0.1:8080."""
    machine.run(["ip", "addr", "add", f"{FAMILY}/32", "dev", "lo"])
    machine.spawn(["dnsmasq", "--keep-in-foreground", "--no-resolv", "--no-hosts",
                   f"--listen-address={FAMILY}", "--bind-interfaces", "--port=53",
                   "--pid-file=", "--user=root", "--address=/listas.amparo.test/127.0.0.1"])
    served = os.path.join(machine.root, "web")
    write(os.path.join(served, "hosts"), text)
    machine.spawn(["python3", "-m", "http.server", "--bind", "127.0.0.1", "--directory",
                   served, "8080"])
    machine.run(["sh", "-c", "for i in $(seq 100); do ss -lnt | grep -q '127.0.0.1:8080 ' && "
                             "ss -lnu | grep -q '1.1.1.3:53 ' && exit; sleep 0.1; done"])


def test_http_download_resolves_through_the_family_resolver(machine_factory):
    # The machine's DNS points at a filter that is down: nothing answers on
    # 127.0.0.1:53, yet the list arrives.
    machine = machine_factory(resolv="nameserver 127.0.0.1\n")
    os.makedirs(machine.path("/var/lib/tranca"))
    serve_list(machine, hosts_list(1300, prefix="remota"))
    result = machine.run(["/bin/bash", SCRIPT], env={
        "TRANCA_BLOCKLIST_URL": "http://listas.amparo.test:8080/hosts"})
    assert result.returncode == 0, result.stderr
    assert "1300 dominios" in result.stdout
    assert "remota0.example" in machine.read("/var/lib/tranca/blocklist.txt")


def test_without_any_resolver_the_download_fails_and_says_so(machine_factory):
    machine = machine_factory(resolv="nameserver 127.0.0.1\n")
    os.makedirs(machine.path("/var/lib/tranca"))
    result = machine.run(["/bin/bash", SCRIPT], env={
        "TRANCA_BLOCKLIST_URL": "http://listas.amparo.test:8080/hosts"})
    assert result.returncode == 1
    assert "los resolvedores familiares no respondieron por listas.amparo.test" in result.stderr
    assert "No hay una lista anterior" in result.stderr
    assert os.listdir(machine.path("/var/lib/tranca")) == []


def test_an_ordinary_user_cannot_replace_the_list():
    # pytest's own temporary tree is private to root; this one is not.
    base = tempfile.mkdtemp(prefix="amparo-lista-")
    try:
        os.chmod(base, 0o755)
        data = pathlib.Path(base) / "tranca"
        data.mkdir(mode=0o755)
        write(str(data / "blocklist.txt"), OLD)
        url = offer(pathlib.Path(base), hosts_list(1100, prefix="ajena"))
        os.chmod(url[len("file://"):], 0o644)
        result = subprocess.run(["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                 "/bin/bash", SCRIPT], capture_output=True, text=True, timeout=60,
                                env={"PATH": "/usr/bin:/bin", "TRANCAD_DIR": str(data),
                                     "TRANCA_BLOCKLIST_URL": url})
        assert_kept(result, data, "hace falta ser administrador")
    finally:
        shutil.rmtree(base, ignore_errors=True)
