"""Test sites over HTTPS for the keyword-filter tests: one page per host name
(the Host header decides); /grande?=N streams N bytes of a download.
  https_origin.py <folder with site.pem, site.key, pages.json> <address>"""

import http.server
import json
import ssl
import sys


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        size = int(self.path.split("=")[1]) if self.path.startswith("/grande") else 0
        body = PAGES.get(self.headers.get("Host", "").split(":")[0], "").encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream" if size else
                         "text/html; charset=utf-8")
        self.send_header("Content-Length", str(size or len(body)))
        self.end_headers()
        for _ in range(size >> 16):
            self.wfile.write(b"\0" * 65536)
        if not size:
            self.wfile.write(body)


folder, address = sys.argv[1:3]
with open(f"{folder}/pages.json", encoding="utf-8") as handle:
    PAGES = json.load(handle)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(f"{folder}/site.pem", f"{folder}/site.key")
server = http.server.ThreadingHTTPServer((address, 443), Handler)
server.socket = context.wrap_socket(server.socket, server_side=True)
server.serve_forever()
