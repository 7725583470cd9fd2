import asyncio
import importlib.util
import re
import socket
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
from mitmproxy import http
from mitmproxy.test import taddons, tflow

HERE = Path(__file__).parent
PROXY = HERE.parents[1] / "scripts" / "proxy"
_spec = importlib.util.spec_from_file_location("amparo_filter", PROXY / "amparo_filter.py")
af = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(af)
WORDS = af.load_words(PROXY / "palabras.txt")[0]
EXPLICIT = (HERE / "corpus" / "explicita-videos-porno-es.html").read_bytes()
CLEAN = (HERE / "corpus" / "limpia-its-salud.html").read_bytes()
LOG_LINE = re.compile(r"\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] BLOQUEADO ([a-z0-9.-]+) \(por palabras\)\n")


@pytest.mark.parametrize("page", sorted((HERE / "corpus").iterdir()), ids=lambda p: p.name)
def test_corpus(page):
    assert page.name.startswith(("limpia-", "explicita-"))
    assert af.is_explicit(page.read_text("utf-8"), WORDS) == page.name.startswith("explicita-")


@pytest.mark.parametrize("text, blocked", [
    ("<p>PORNOGRAFÍA y Pornhub</p>", True),  # case and accents fold
    ("<p>videos <b>porno</b></p>", True),  # only the phrase tips it over
    ("<script>porn xxx hentai</script><p>hola</p>", False),  # scripts are no text
    ("porno " * 200 + "hola " * 800, False),  # repetition is capped
])
def test_score_rules(text, blocked):
    assert af.is_explicit(text, WORDS) == blocked


@pytest.fixture
def addon(tmp_path, monkeypatch):
    (tmp_path / "allow.txt").write_text("# mías\npermitido.example\n")
    with socket.socket() as s:  # a port nobody answers on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    for name, value in [("AMPARO_PROXY_DATA", PROXY), ("AMPARO_TRANCA_DIR", tmp_path),
                        ("AMPARO_LOG", tmp_path / "tranca.log"),
                        ("AMPARO_BLOCKPAGE", f"http://127.0.0.1:{port}/")]:
        monkeypatch.setenv(name, str(value))
    a = af.Filter()
    a.log = tmp_path / "tranca.log"
    with taddons.context(a) as tctx:
        a.tctx = tctx
        a.running()
        yield a
    tctx.master.event_loop.close()


def make_flow(body, host="sitio.example", ctype="text/html; charset=utf-8"):
    f = tflow.tflow(resp=True)
    f.request.headers["Host"] = host
    f.response = http.Response.make(200, body, {"Content-Type": ctype})
    return f


def run(addon, *flows):
    """Runs the add-on's hooks on the flows; returns the errors it logged."""
    loop = addon.tctx.master.event_loop
    for f in flows:
        addon.requestheaders(f)
        addon.responseheaders(f)
        loop.run_until_complete(addon.response(f))
    loop.run_until_complete(asyncio.sleep(0.01))
    return [e.msg for e in addon.tctx.master.logs if e.level == "error"]


def test_block_without_daemon_serves_builtin_page_and_logs(addon):
    hostile = "evil.example\n[fake] BLOQUEADO x"
    flows = [make_flow(EXPLICIT, hostile), make_flow(EXPLICIT, hostile)]
    assert run(addon, *flows) == []
    for f in flows:
        assert "Sitio bloqueado" in f.response.text and f.response.status_code == 200
        assert int(f.response.headers["content-length"]) == len(f.response.content)
        assert f.response.headers["cache-control"] == "no-store"
    log = addon.log.read_text()
    assert LOG_LINE.fullmatch(log), log  # one line only: same host within a second
    assert LOG_LINE.match(log).group(1) == "evil.examplefakebloqueadox"


class Daemon(BaseHTTPRequestHandler):
    def do_GET(self):
        self.send_response(302 if self.redirect else 200)
        if self.redirect:
            self.send_header("Location", "https://destino.example/")
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.end_headers()
        self.wfile.write(b"" if self.redirect else f"<h1>Bloqueado: {self.headers['Host']}</h1>".encode())

    def log_message(self, *args):
        pass


@pytest.mark.parametrize("redirect", [False, True])
def test_block_serves_daemon_page(addon, redirect):
    server = ThreadingHTTPServer(("127.0.0.1", 0), type("D", (Daemon,), {"redirect": redirect}))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        addon.blockpage = af.urlsplit(f"http://127.0.0.1:{server.server_port}/")
        f = make_flow(EXPLICIT, "Porno.Example")
        assert run(addon, f) == []
    finally:
        server.shutdown()
        server.server_close()
    if redirect:
        assert (f.response.status_code, f.response.headers["location"]) == (302, "https://destino.example/")
    else:
        assert f.response.status_code == 200 and f.response.text == "<h1>Bloqueado: porno.example</h1>"
    assert int(f.response.headers["content-length"]) == len(f.response.content)


@pytest.mark.parametrize("host, body, ctype", [
    ("sitio.example", CLEAN, "text/html"),
    ("www.bbva.es", EXPLICIT, "text/html"),  # never intercepted list
    ("sub.permitido.example", EXPLICIT, "text/html"),  # the user's allow list
    ("sitio.example", EXPLICIT, "text/html; charset=rot13"),  # a charset that cannot decode
])
def test_passes_untouched(addon, host, body, ctype):
    f = make_flow(body, host, ctype)
    before = f.response
    assert run(addon, f) == []
    assert f.response is before and f.response.content == body
    assert not addon.log.exists()


@pytest.mark.parametrize("encoding", ["gzip", "br", "zstd"])
def test_compressed_page_is_caught(addon, encoding):
    f = make_flow(EXPLICIT)
    f.response.encode(encoding)
    assert f.response.raw_content != EXPLICIT
    run(addon, f)
    assert "Sitio bloqueado" in f.response.text


@pytest.mark.parametrize("status, ctype, length, streamed", [
    (200, "TEXT/HTML; charset=UTF-8", "1000", False),
    (200, "text/plain", None, False),
    (200, "image/png", None, True),
    (200, "application/json", "10", True),
    (200, "text/html", str(3 * 1024 * 1024), True),
    (200, "text/html", "muchos", True),
    (404, "text/html", "10", True),
])
def test_responseheaders_streams(addon, status, ctype, length, streamed):
    f = make_flow(b"", ctype=ctype)
    f.response.status_code = status
    del f.response.headers["content-length"]
    if length is not None:
        f.response.headers["content-length"] = length
    addon.responseheaders(f)
    assert bool(f.response.stream) == streamed


def test_ignore_hosts_follow_lists_and_reload(addon):
    def ignored():
        hosts = ["www.bbva.es", "bbva.es:443", "mail.google.com", "sub.permitido.example",
                 "notbbva.es", "bbva.es.evil.example", "www.nuevo.example"]
        return [h for h in hosts if any(re.search(rx, h, re.I) for rx in addon.tctx.options.ignore_hosts)]

    assert ignored() == ["www.bbva.es", "bbva.es:443", "mail.google.com", "sub.permitido.example"]
    with open(addon.log.parent / "allow.txt", "a") as f:
        f.write("nuevo.example\n")
    addon.next_check = 0  # as if the few seconds between looks had gone by
    addon.requestheaders(tflow.tflow())
    assert ignored()[-1] == "www.nuevo.example"
