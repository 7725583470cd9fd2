"""Scriptable fake family resolvers for the namespace tests: plain DNS on UDP
53 and DNS-over-HTTPS on 443 at the resolvers' real addresses (added to lo
inside a private network namespace)."""

import http.server
import socket
import socketserver
import ssl
import struct
import subprocess
import threading
import time


def question_end(message):
    """Offset after the first question, or None when it cannot be read."""
    if len(message) < 17:
        return None
    at = 12
    while at < len(message):
        length = message[at]
        if length == 0:
            return at + 5 if at + 5 <= len(message) else None
        if length > 63:
            return None
        at += 1 + length
    return None


def question_name(message):
    end = question_end(message)
    if end is None:
        return None
    labels, at = [], 12
    while message[at]:
        labels.append(message[at + 1 : at + 1 + message[at]].decode("latin-1"))
        at += 1 + message[at]
    return ".".join(labels)


def a_reply(query, address, ttl=300):
    """A NOERROR reply with one A record for the first question."""
    end = question_end(query)
    header = query[:2] + b"\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00"
    record = b"\xc0\x0c\x00\x01\x00\x01" + struct.pack(">IH", ttl, 4) + socket.inet_aton(address)
    return header + query[12:end] + record


def many_reply(query, count):
    """An answer with count A records 10.1.x.y, for answers too big for UDP."""
    end = question_end(query)
    header = query[:2] + b"\x81\x80\x00\x01" + struct.pack(">H", count) + b"\x00\x00\x00\x00"
    records = b"".join(b"\xc0\x0c\x00\x01\x00\x01" + struct.pack(">IH", 300, 4)
                       + bytes([10, 1, i >> 8, i & 0xFF]) for i in range(count))
    return header + query[12:end] + records


def encode_name(name):
    return b"".join(bytes([len(l)]) + l.encode() for l in name.split(".")) + b"\x00"


def chain_reply(query, targets):
    """name CNAME targets[0] CNAME ... targets[-1] A 6.6.6.6."""
    end = question_end(query)
    records, owner = b"", b"\xc0\x0c"
    for target in targets:
        data = encode_name(target)
        records += owner + b"\x00\x05\x00\x01" + struct.pack(">IH", 300, len(data)) + data
        owner = encode_name(target)
    records += owner + b"\x00\x01\x00\x01" + struct.pack(">IH", 300, 4) + bytes([6, 6, 6, 6])
    count = len(targets) + 1
    header = query[:2] + b"\x81\x80\x00\x01" + struct.pack(">H", count) + b"\x00\x00\x00\x00"
    return header + query[12:end] + records


class Behaviour:
    """What one fake resolver does; tests change it between queries."""

    def __init__(self, address):
        self.mode = "answer"  # answer, silent, late, forged, other_id, short, status400, status500
        self.silent_under = None  # names under this suffix are never answered
        self.many = {}  # name -> how many A records its answer carries
        self.chains = {}  # name -> CNAME targets, the last one with A 6.6.6.6
        self.address = address  # the A record it gives, telling who answered
        self.overrides = {}  # name -> address, e.g. "0.0.0.0"
        self.delay = 4.0
        self.received = []
        self.connections = 0
        self.headers = []
        self.lock = threading.Lock()

    def reset(self, mode="answer"):
        with self.lock:
            self.mode = mode
            self.silent_under = None
            self.many = {}
            self.chains = {}
            self.overrides = {}
            self.received = []
            self.connections = 0
            self.headers = []

    def count(self):
        with self.lock:
            return len(self.received)

    def ignores(self, query):
        name = question_name(query) or ""
        return bool(self.silent_under) and name.lower().endswith(self.silent_under)

    def reply_for(self, query):
        """(reply bytes or None); junk is echoed back with QR set."""
        name = question_name(query)
        if name is None:
            if len(query) < 3:
                return query
            return query[:2] + bytes([query[2] | 0x80]) + query[3:]
        address = self.overrides.get(name.lower(), self.address)
        if name.lower() in self.chains:
            return chain_reply(query, self.chains[name.lower()])
        count = self.many.get(name.lower())
        if count:
            return many_reply(query, count)
        return a_reply(query, address)


class UdpResolver:
    def __init__(self, ip, behaviour):
        self.behaviour = behaviour
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((ip, 53))
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                data, peer = self.sock.recvfrom(65535)
            except OSError:
                return
            b = self.behaviour
            with b.lock:
                b.received.append(data)
                mode = b.mode
            if mode == "silent" or b.ignores(data):
                continue
            reply = b.reply_for(data)
            if mode == "forged":  # another ID, junk and a stub before the answer
                other_id = bytes([reply[0] ^ 1]) + reply[1:-4] + bytes([6, 6, 6, 6])
                for stray in (other_id, b"Z" * 40, reply[:5]):
                    self._send(stray, peer)
            if mode == "late":
                threading.Timer(b.delay, self._send, (reply, peer)).start()
            else:
                self._send(reply, peer)

    def _send(self, reply, peer):
        try:
            self.sock.sendto(reply, peer)
        except OSError:
            pass


class _DohHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes; without this, Nagle and
    # the client's delayed ACK add ~40 ms to every reused-connection reply.
    disable_nagle_algorithm = True

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        with self.server.behaviour.lock:
            self.server.behaviour.connections += 1

    def do_POST(self):
        b = self.server.behaviour
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        with b.lock:
            b.received.append(body)
            b.headers.append(dict(self.headers))
            mode = b.mode
        if self.path != "/dns-query":
            return self._send(404, b"")
        if mode == "silent":
            time.sleep(b.delay)
            return self._send(200, b.reply_for(body))
        if mode == "status500":
            return self._send(500, b"fallo")
        if mode == "status400":
            return self._send(400, b"no")
        if mode == "short":
            return self._send(200, b.reply_for(body)[:11])
        reply = b.reply_for(body)
        if mode == "other_id":
            reply = bytes([reply[0] ^ 0xFF, reply[1] ^ 0xFF]) + reply[2:]
        self._send(200, reply)

    def _send(self, status, body):
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/dns-message")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)
        except OSError:
            pass


class _ThreadingTlsServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


class DohResolver:
    def __init__(self, ip, behaviour, context):
        self.server = _ThreadingTlsServer((ip, 443), _DohHandler)
        self.server.behaviour = behaviour
        self.server.socket = context.wrap_socket(self.server.socket, server_side=True)
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


def make_certificates(folder):
    """A throw-away CA and a server certificate for the two DoH addresses."""
    ca_key, ca_crt = folder / "ca.key", folder / "ca.pem"
    key, csr, crt = folder / "server.key", folder / "server.csr", folder / "server.pem"
    ext = folder / "san.ext"
    ext.write_text("subjectAltName=IP:1.1.1.3,IP:1.0.0.3\n")
    run = lambda *args: subprocess.run(args, check=True, capture_output=True)  # noqa: E731
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
        "-subj", "/CN=Prueba CA", "-keyout", str(ca_key), "-out", str(ca_crt))
    run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=1.1.1.3",
        "-keyout", str(key), "-out", str(csr))
    run("openssl", "x509", "-req", "-in", str(csr), "-CA", str(ca_crt), "-CAkey", str(ca_key),
        "-CAcreateserial", "-days", "2", "-extfile", str(ext), "-out", str(crt))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(str(crt), str(key))
    context.set_alpn_protocols(["http/1.1"])
    return ca_crt, context
