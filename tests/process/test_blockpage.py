"""trancad's block page, driven by curl, raw sockets and a headless browser."""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from conftest import TRANCAD, wait_until

LISTENING = "Página de bloqueo escuchando en 127.0.0.1:"
DEFAULT_DESTINATION = "https://www.amparo-filtro.org/stop"
PILL = re.compile(r'<p class="host" id="host">([^<]*)</p>')


@pytest.fixture
def page(trancad_factory):
    """trancad serving the built-in page."""
    daemon = trancad_factory(env={"TRANCAD_REDIRECT": ""})
    daemon.wait_for(LISTENING)
    return daemon


def hosts(body):
    """The host names the page shows."""
    return PILL.findall(body.decode("utf-8"))


def raw_exchange(port, payload, timeout=30.0):
    """Sends payload (a list: as separate TCP segments, a moment apart) and
    reads until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as conn:
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for index, part in enumerate(payload if isinstance(payload, list) else [payload]):
            time.sleep(0.3 if index else 0)
            conn.sendall(part)
        return read_all(conn)


def read_all(conn):
    chunks = []
    while chunk := conn.recv(65536):
        chunks.append(chunk)
    return b"".join(chunks)


def split_response(response):
    head, _, body = response.partition(b"\r\n\r\n")
    return head.decode(), body


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def wait_descriptors(pid, at_most):
    wait_until(lambda: descriptors(pid), lambda held: held <= at_most, 30, "descriptors held")


# --- what a browser gets -------------------------------------------------------


def test_page_names_the_host_and_content_length_counts_bytes(page):
    # Read to the close, not as curl does up to Content-Length: a length that
    # leaves bytes out only shows against everything the server sent.
    head, body = split_response(raw_exchange(page.http_port,
                                             b"GET / HTTP/1.1\r\nHost: Example.ORG\r\n\r\n"))
    assert head.startswith("HTTP/1.1 200 OK\r\n")
    assert "Content-Type: text/html; charset=utf-8" in head
    assert int(re.search(r"Content-Length: (\d+)", head).group(1)) == len(body)
    assert len(body.decode("utf-8")) < len(body), "the page has non-ASCII text: bytes, not characters"
    assert hosts(body) == ["Example.ORG"]  # what the page itself holds is the unit tests' part


def test_head_gets_the_headers_of_get_and_no_body(page):
    request = b" / HTTP/1.1\r\nHost: a.example\r\n\r\n"
    head, body = split_response(raw_exchange(page.http_port, b"GET" + request))
    assert body
    assert raw_exchange(page.http_port, b"HEAD" + request) == head.encode() + b"\r\n\r\n"


# --- the destination -----------------------------------------------------------


CHOSEN = "http://ayuda.example/ánimo?de=Amparo&x=%20"


@pytest.mark.parametrize("default, redirect, destination", [
    (None, None, DEFAULT_DESTINATION),  # no variable, no file: the built-in default
    ("", "\n# elegido en Amparo\n  " + CHOSEN + "  \nlocal\n", CHOSEN),  # used unchanged
    ("", None, ""),  # an empty default: the built-in page
], ids=["default", "file", "page"])
def test_every_method_and_path_goes_where_variable_and_file_say(
        trancad_factory, tmp_path, default, redirect, destination):
    if redirect is not None:
        (tmp_path / "redirect.txt").write_text(redirect, encoding="utf-8")
    daemon = trancad_factory(env={"TRANCAD_REDIRECT": default})
    assert daemon.wait_for("Al bloquear se lleva a: ").endswith(
        "Al bloquear se lleva a: " + (destination or "la página incluida"))
    daemon.wait_for(LISTENING)
    for method, path in [("GET", "/"), ("POST", "/a/b?c=1"), ("DELETE", "/x"), ("OPTIONS", "*")]:
        payload = f"{method} {path} HTTP/1.1\r\nHost: bloqueado.example\r\n\r\n".encode()
        response = raw_exchange(daemon.http_port, payload)
        if destination:
            assert response == (
                f"HTTP/1.1 302 Found\r\nLocation: {destination}\r\nReferrer-Policy: no-referrer\r\n"
                "Content-Length: 0\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n").encode()
        else:
            assert hosts(split_response(response)[1]) == ["bloqueado.example"]


# --- hostile clients -------------------------------------------------------


def test_silent_and_slow_clients_are_answered_and_released(page):
    idle = descriptors(page.proc.pid)
    started = time.monotonic()
    silent = socket.create_connection(("127.0.0.1", page.http_port), timeout=40)
    slow = socket.create_connection(("127.0.0.1", page.http_port), timeout=40)
    slow.sendall(b"G")  # and then nothing more for a long while
    for conn in (silent, slow):
        with conn:
            head, body = split_response(read_all(conn))
        assert head.startswith("HTTP/1.1 200 OK")
        assert hosts(body) == ["el sitio"]
    assert time.monotonic() - started < 35, "a silent client held its connection too long"
    wait_descriptors(page.proc.pid, idle)


def test_flood_of_idle_connections_keeps_descriptors_bounded(page):
    pid, idle = page.proc.pid, descriptors(page.proc.pid)
    clients = [socket.create_connection(("127.0.0.1", page.http_port)) for _ in range(300)]
    try:
        time.sleep(1.5)
        held = descriptors(pid)
        assert held <= idle + 128 + 4, f"{held} descriptors with 300 idle clients (idle {idle})"
        # A fresh request is still served: the oldest idle client makes way.
        response = raw_exchange(page.http_port, b"GET / HTTP/1.1\r\nHost: tarde.example\r\n\r\n", 90)
        assert hosts(split_response(response)[1]) == ["tarde.example"]
    finally:
        for conn in clients:
            conn.close()
    wait_descriptors(pid, idle)
    assert page.proc.poll() is None


# --- a real browser ------------------------------------------------------------


def chromium(port, *args):
    browser = shutil.which("chromium") or shutil.which("chromium-browser")
    if browser is None:
        pytest.skip("chromium no está instalado (scripts/install-deps.sh lo instala)")
    with tempfile.TemporaryDirectory() as profile:
        return subprocess.run(
            [browser, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
             "--no-first-run", "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--hide-scrollbars", f"--user-data-dir={profile}",
             f"--host-resolver-rules=MAP blocked.example 127.0.0.1:{port}", *args,
             "http://blocked.example/"],
            capture_output=True, timeout=120)


def test_browser_renders_the_host_and_a_quote(page):
    dom = chromium(page.http_port, "--dump-dom")
    assert dom.returncode == 0, dom.stderr.decode(errors="replace")[-2000:]
    html = dom.stdout.decode("utf-8")
    assert hosts(dom.stdout) == ["blocked.example"]
    quote = re.search(r'<p class="quote-text" id="frase">“([^<]+)”</p>', html)
    assert quote and len(quote.group(1)) > 10, html[-3000:]
    assert re.search(r'<p class="quote-by" id="autor">([^<]+)</p>', html)
    assert "<title>Sitio bloqueado — Amparo</title>" in html
    # For a person to look at.
    artifacts = Path(os.environ.get("TRANCAD_ARTIFACTS", Path(TRANCAD).resolve().parents[1] / "artifacts"))
    artifacts.mkdir(parents=True, exist_ok=True)
    shot = artifacts / "blockpage.png"
    shot.unlink(missing_ok=True)
    result = chromium(page.http_port, f"--screenshot={shot}", "--window-size=1280,900")
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-2000:]
    assert shot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
