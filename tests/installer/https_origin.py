"""A test web origin over HTTPS for the keyword-filter tests: one page per
host name (the Host header decides), and /grande streams a large download.
  https_origin.py <cert.pem> <key.pem> <address> <pages.json>"""

import http.server
import json
import socketserver
import ssl
import sys

CHUNK = b"\0" * 65536


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        host = self.headers.get("Host", "").split(":")[0]
        if self.path.startswith("/grande"):
            size = int(self.path.split("=")[1]) if "=" in self.path else 64 << 20
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            self.send_header("Content-Length", str(size))
            self.end_headers()
            for _ in range(size // len(CHUNK)):
                self.wfile.write(CHUNK)
            return
        body = PAGES.get(host, "<html><body>origen de prueba</body></html>").encode()
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


cert, key, address, pages = sys.argv[1:5]
with open(pages, encoding="utf-8") as handle:
    PAGES = json.load(handle)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(cert, key)
server = Server((address, 443), Handler)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
