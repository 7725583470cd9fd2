"""Helper for bench/keyword-proxy.sh.

  keyword_proxy.py serve PORT             plain-HTTP origin: /page.html (~50 KB of the
                                          clean corpus) and /big.bin (100 MB, octet-stream)
  keyword_proxy.py latency ORIGIN N [PROXY]   N sequential keep-alive GETs of /page.html,
                                          through PROXY when given; prints "p50 p99" in ms
  keyword_proxy.py median V...            median of the values
"""
import http.client
import statistics
import sys
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

CORPUS = Path(__file__).resolve().parents[1] / "tests" / "proxy" / "corpus"
BIG = 100 * 1000 * 1000


def page():
    # Whole clean pages end to end: each one scores clean, so the sum does too.
    parts = [p.read_bytes() for p in sorted((CORPUS / "limpio").glob("*.html"))]
    body, i = b"", 0
    while len(body) < 50 * 1024:
        body += parts[i % len(parts)]
        i += 1
    return body


class Origin(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as a browser would get
    disable_nagle_algorithm = True  # headers and body go out in two writes
    page = page()
    chunk = b"\x5a" * (1 << 20)

    def do_GET(self):
        if self.path.endswith("/page.html"):
            self._head("text/html; charset=utf-8", len(self.page))
            self.wfile.write(self.page)
        elif self.path.endswith("/big.bin"):
            self._head("application/octet-stream", BIG)
            for sent in range(0, BIG, len(self.chunk)):
                self.wfile.write(self.chunk[:min(len(self.chunk), BIG - sent)])
        else:
            self.send_error(404)

    def _head(self, ctype, length):
        self.send_response(200)
        self.send_header("Content-Type", ctype)
        self.send_header("Content-Length", str(length))
        self.end_headers()

    def log_message(self, *args):
        pass


def latency(origin, n, proxy=None):
    conn = http.client.HTTPConnection("127.0.0.1", int(proxy or origin))
    # Through a plain-HTTP proxy the request line carries the absolute URL.
    path = f"http://127.0.0.1:{origin}/page.html" if proxy else "/page.html"
    times = []
    for i in range(n + 20):  # the first 20 only warm up
        t = time.perf_counter()
        conn.request("GET", path, headers={"Host": f"127.0.0.1:{origin}"})
        resp = conn.getresponse()
        body = resp.read()
        if i >= 20:
            times.append((time.perf_counter() - t) * 1000)
        if resp.status != 200 or body != Origin.page:
            sys.exit(f"respuesta inesperada: {resp.status}, {len(body)} bytes (¿la bloqueó?)")
    times.sort()
    print(f"{times[len(times) // 2]:.3f} {times[min(len(times) - 1, int(len(times) * 0.99))]:.3f}")


if __name__ == "__main__":
    cmd, args = sys.argv[1], sys.argv[2:]
    if cmd == "serve":
        class Server(ThreadingHTTPServer):
            daemon_threads = True
            request_queue_size = 256  # 64 connections arrive at once

            def handle_error(self, request, address):
                pass  # wrk cuts its connections mid-answer when it stops

        Server(("127.0.0.1", int(args[0])), Origin).serve_forever()
    elif cmd == "latency":
        latency(args[0], int(args[1]), args[2] if len(args) > 2 else None)
    elif cmd == "median":
        print(f"{statistics.median(float(v) for v in args):.2f}")
