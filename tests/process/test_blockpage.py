"""The block page server of the real trancad, driven by curl, raw sockets and
a headless browser."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from conftest import TRANCAD

LISTENING = "Página de bloqueo escuchando en 127.0.0.1:"
DEFAULT_DESTINATION = "https://www.amparo-filtro.org/stop"
PILL = re.compile(r'<p class="host" id="host">([^<]*)</p>')


def start_page(trancad_factory, env=None, redirect=None, data_dir=None):
    """trancad serving the built-in page (or what redirect.txt says)."""
    if redirect is not None:
        Path(data_dir).joinpath("redirect.txt").write_text(redirect, encoding="utf-8")
    daemon = trancad_factory(env={"TRANCAD_REDIRECT": "", **(env or {})}, data_dir=data_dir)
    daemon.wait_for(LISTENING)
    return daemon


def curl(*args, input=None):
    """Headers and body as curl received them; the last argument is the URL."""
    result = subprocess.run(
        ["curl", "-s", "-S", "-i", "--max-time", "20", *args], input=input, capture_output=True,
        check=True)
    head, _, body = result.stdout.partition(b"\r\n\r\n")
    return head.decode(), body


def raw_exchange(port, payload, timeout=30.0):
    """Sends payload as is (a list: part by part, a moment apart, as separate
    TCP segments) and reads until the server closes."""
    parts = payload if isinstance(payload, list) else [payload]
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for index, part in enumerate(parts):
            if index:
                time.sleep(0.3)
            if part:
                conn.sendall(part)
        chunks = []
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    return b"".join(chunks)


def split_response(response):
    head, _, body = response.partition(b"\r\n\r\n")
    return head.decode(), body


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def wait_descriptors(pid, at_most, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if descriptors(pid) <= at_most:
            return True
        time.sleep(0.2)
    return False


# --- what a browser gets -------------------------------------------------------


def test_page_names_the_host_and_content_length_counts_bytes(trancad_factory):
    daemon = start_page(trancad_factory)
    head, body = curl("-H", "Host: Example.ORG", f"http://127.0.0.1:{daemon.http_port}/")
    assert head.startswith("HTTP/1.1 200 OK\r\n")
    assert "Content-Type: text/html; charset=utf-8" in head
    length = int(re.search(r"Content-Length: (\d+)", head).group(1))
    assert length == len(body)
    text = body.decode("utf-8")
    assert len(text) < len(body), "the page has non-ASCII text: bytes, not characters"
    assert PILL.findall(text) == ["Example.ORG"]
    assert "{{" not in text
    assert "data:image/png;base64,iVBORw0KGgo" in text


@pytest.mark.parametrize(
    "first", [b"GET / HTTP/1.1\r\nHo", b"GET / HTTP/1.1\r\nHost: x.exa"], ids=["name", "value"]
)
def test_request_in_two_writes_still_names_the_host(trancad_factory, first):
    daemon = start_page(trancad_factory)
    whole = b"GET / HTTP/1.1\r\nHost: x.example\r\n\r\n"
    _, body = split_response(raw_exchange(daemon.http_port, [first, whole[len(first) :]]))
    assert PILL.findall(body.decode("utf-8")) == ["x.example"]


def test_head_gets_the_headers_of_get_and_no_body(trancad_factory):
    daemon = start_page(trancad_factory)
    request = b" / HTTP/1.1\r\nHost: a.example\r\n\r\n"
    head, body = split_response(raw_exchange(daemon.http_port, b"GET" + request))
    assert body
    assert raw_exchange(daemon.http_port, b"HEAD" + request) == head.encode() + b"\r\n\r\n"


# --- the destination -----------------------------------------------------------


def expected_redirect(url):
    return (
        f"HTTP/1.1 302 Found\r\nLocation: {url}\r\nReferrer-Policy: no-referrer\r\n"
        "Content-Length: 0\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
    ).encode()


def test_without_file_every_method_and_path_goes_to_the_default(trancad_factory):
    daemon = trancad_factory(env={"TRANCAD_REDIRECT": None})
    assert daemon.wait_for("Al bloquear se lleva a: ").endswith(
        "Al bloquear se lleva a: " + DEFAULT_DESTINATION
    )
    daemon.wait_for(LISTENING)
    for method, path in [("GET", "/"), ("POST", "/a/b?c=1"), ("DELETE", "/x"), ("OPTIONS", "*")]:
        payload = f"{method} {path} HTTP/1.1\r\nHost: bloqueado.example\r\n\r\n".encode()
        assert raw_exchange(daemon.http_port, payload) == expected_redirect(DEFAULT_DESTINATION)
    head, body = curl("-X", "PUT", "--data", "x", f"http://127.0.0.1:{daemon.http_port}/subir"
    )
    assert f"Location: {DEFAULT_DESTINATION}\r\n" in head
    assert body == b""


def test_address_in_redirect_file_is_used_unchanged(trancad_factory, tmp_path):
    url = "http://ayuda.example/ánimo?de=Amparo&x=%20"
    daemon = start_page(
        trancad_factory, redirect="\n# elegido en Amparo\n  " + url + "  \nlocal\n", data_dir=tmp_path
    )
    payload = b"GET /cualquier/cosa HTTP/1.1\r\nHost: bloqueado.example\r\n\r\n"
    assert raw_exchange(daemon.http_port, payload) == expected_redirect(url)


def test_empty_default_and_no_file_serve_the_built_in_page(trancad_factory):
    daemon = trancad_factory(env={"TRANCAD_REDIRECT": ""})
    assert daemon.wait_for("Al bloquear se lleva a: ").endswith("la página incluida")
    daemon.wait_for(LISTENING)
    head, _ = curl(f"http://127.0.0.1:{daemon.http_port}/")
    assert head.startswith("HTTP/1.1 200 OK")


# --- hostile clients -------------------------------------------------------


def test_silent_and_slow_clients_are_answered_and_released(trancad_factory):
    daemon = start_page(trancad_factory)
    idle = descriptors(daemon.proc.pid)
    started = time.monotonic()
    silent = socket.create_connection(("127.0.0.1", daemon.http_port), timeout=40)
    slow = socket.create_connection(("127.0.0.1", daemon.http_port), timeout=40)
    slow.sendall(b"G")  # and then nothing more for a long while
    for conn in (silent, slow):
        data = b""
        while chunk := conn.recv(65536):
            data += chunk
        conn.close()
        head, body = split_response(data)
        assert head.startswith("HTTP/1.1 200 OK")
        assert PILL.findall(body.decode("utf-8")) == ["el sitio"]
    assert time.monotonic() - started < 35, "a silent client held its connection too long"
    assert wait_descriptors(daemon.proc.pid, idle), "descriptors not released"


def test_a_large_upload_is_read_before_the_answer_and_not_reset(trancad_factory):
    # Closing with the rest of a form post unread would reset the connection,
    # failing the upload and with it the page.
    daemon = start_page(trancad_factory)
    head, body = curl("--data-binary", "@-", "-H", "Host: grande.example", "-H", "Expect:",
                      f"http://127.0.0.1:{daemon.http_port}/formulario", input=b"x" * 900_000)
    assert head.startswith("HTTP/1.1 200 OK")
    assert PILL.findall(body.decode("utf-8")) == ["grande.example"]


def test_flood_of_idle_connections_keeps_descriptors_bounded(trancad_factory):
    daemon = start_page(trancad_factory)
    pid = daemon.proc.pid
    idle = descriptors(pid)
    clients = [socket.create_connection(("127.0.0.1", daemon.http_port)) for _ in range(300)]
    try:
        time.sleep(1.5)
        held = descriptors(pid)
        assert held <= idle + 128 + 4, f"{held} descriptors with 300 idle clients (idle {idle})"
        # A fresh request is still served: the oldest idle client makes way.
        response = raw_exchange(daemon.http_port, b"GET / HTTP/1.1\r\nHost: tarde.example\r\n\r\n", 90)
        assert PILL.findall(split_response(response)[1].decode("utf-8")) == ["tarde.example"]
    finally:
        for conn in clients:
            conn.close()
    assert wait_descriptors(pid, idle, timeout=30), "descriptors not back to the idle count"
    assert daemon.proc.poll() is None


def test_busy_port_is_retried_every_five_seconds_until_free(trancad_factory):
    holder = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    holder.bind(("127.0.0.1", 0))
    holder.listen(4)
    port = holder.getsockname()[1]
    daemon = trancad_factory(env={"TRANCAD_HTTP": str(port), "TRANCAD_REDIRECT": ""})
    first = daemon.wait_for(f"No pude abrir el puerto {port} (")
    t_first = time.monotonic()
    assert first.endswith(") — reintento en 5 s")
    daemon.wait_for(f"No pude abrir el puerto {port} (", timeout=15)
    gap = time.monotonic() - t_first
    assert 2.5 < gap < 12, f"retry after {gap:.1f} s"
    holder.close()
    daemon.wait_for(f"{LISTENING}{port}", timeout=15)
    head, _ = curl(f"http://127.0.0.1:{port}/")
    assert head.startswith("HTTP/1.1 200 OK")


# --- a real browser ------------------------------------------------------------


def artifacts_dir():
    directory = Path(os.environ.get("TRANCAD_ARTIFACTS", Path(TRANCAD).resolve().parent.parent / "artifacts"))
    directory.mkdir(parents=True, exist_ok=True)
    return directory


def chromium(port, *args):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("chromium no está instalado (scripts/install-deps.sh lo instala)")
    with tempfile.TemporaryDirectory() as profile:
        result = subprocess.run(
            [
                browser,
                "--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--disable-quic",
                "--no-first-run",
                "--disable-background-networking",
                "--disable-component-update",
                "--disable-sync",
                "--hide-scrollbars",
                f"--user-data-dir={profile}",
                f"--host-resolver-rules=MAP blocked.example 127.0.0.1:{port}",
                *args,
                "http://blocked.example/",
            ],
            capture_output=True,
            timeout=120,
        )
    return result


def test_browser_renders_the_host_and_a_quote(trancad_factory):
    daemon = start_page(trancad_factory)
    dom = chromium(daemon.http_port, "--dump-dom")
    assert dom.returncode == 0, dom.stderr.decode(errors="replace")[-2000:]
    html = dom.stdout.decode("utf-8")
    assert PILL.findall(html) == ["blocked.example"]
    quote = re.search(r'<p class="quote-text" id="frase">“([^<]+)”</p>', html)
    author = re.search(r'<p class="quote-by" id="autor">([^<]+)</p>', html)
    assert quote and len(quote.group(1)) > 10, html[-3000:]
    assert author
    assert "<title>Sitio bloqueado — Amparo</title>" in html

    shot = artifacts_dir() / "blockpage.png"
    shot.unlink(missing_ok=True)
    result = chromium(daemon.http_port, f"--screenshot={shot}", "--window-size=1280,900")
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-2000:]
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
