"""Scriptable fake family resolvers for the namespace tests: plain DNS on UDP
53 and DNS-over-HTTPS on 443 at the resolvers' real addresses (added to lo
inside a private network namespace)."""

import http.server
import socket
import ssl
import struct
import subprocess
import threading
import time


def question(message):
    """(name, offset after the first question), or (None, None) when it cannot be read."""
    labels, at = [], 12
    while len(message) >= 17 and at < len(message) and message[at] <= 63:
        if message[at] == 0:
            return (".".join(labels), at + 5) if at + 5 <= len(message) else (None, None)
        labels.append(message[at + 1:at + 1 + message[at]].decode("latin-1"))
        at += 1 + message[at]
    return None, None


def encode_name(name):
    return b"".join(bytes([len(l)]) + l.encode() for l in name.split(".")) + b"\x00"


def query(qid, name):
    return struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0) + encode_name(name) + b"\x00\x01\x00\x01"


def record(owner, rtype, data, ttl=300):
    return owner + struct.pack(">HHIH", rtype, 1, ttl, len(data)) + data


def reply(query, records):
    """A NOERROR reply to the first question with the given answer records."""
    end = question(query)[1]
    header = query[:2] + b"\x81\x80\x00\x01" + struct.pack(">H", len(records)) + b"\x00" * 4
    return header + query[12:end] + b"".join(records)


class Behaviour:
    """What one fake resolver does; tests change it between queries."""

    def __init__(self, address):
        self.address = address  # the A record it gives, telling who answered
        self.delay = 4.0
        self.lock = threading.Lock()
        self.reset()

    def reset(self, mode="answer"):
        with self.lock:
            self.mode = mode  # answer, silent, late, forged, other_id, short, status400, status500
            self.silent_under = None  # names under this suffix are never answered
            self.many = {}  # name -> how many A records its answer carries
            self.chains = {}  # name -> CNAME targets, the last one with A 6.6.6.6
            self.overrides = {}  # name -> address, e.g. "0.0.0.0"
            self.received, self.headers, self.connections = [], [], 0

    def count(self):
        with self.lock:
            return len(self.received)

    def take(self, query, headers=None):
        """Records the query; returns the mode it meets."""
        with self.lock:
            self.received.append(query)
            if headers is not None:
                self.headers.append(headers)
            return self.mode

    def ignores(self, query):
        name = (question(query)[0] or "").lower()
        return bool(self.silent_under) and name.endswith(self.silent_under)

    def reply_for(self, query):
        """The answer; junk is echoed back with QR set."""
        name = question(query)[0]
        if name is None:
            return query if len(query) < 3 else query[:2] + bytes([query[2] | 0x80]) + query[3:]
        name = name.lower()
        if name in self.chains:
            owners = [b"\xc0\x0c"] + [encode_name(t) for t in self.chains[name]]
            return reply(query, [record(o, 5, t) for o, t in zip(owners, owners[1:])]
                         + [record(owners[-1], 1, bytes([6, 6, 6, 6]))])
        if name in self.many:
            return reply(query, [record(b"\xc0\x0c", 1, bytes([10, 1, i >> 8, i & 0xFF]))
                                 for i in range(self.many[name])])
        address = socket.inet_aton(self.overrides.get(name, self.address))
        return reply(query, [record(b"\xc0\x0c", 1, address)])


class UdpResolver:
    def __init__(self, ip, behaviour):
        self.behaviour = behaviour
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((ip, 53))
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        b = self.behaviour
        while True:
            data, peer = self.sock.recvfrom(65535)
            mode = b.take(data)
            if mode == "silent" or b.ignores(data):
                continue
            answer = b.reply_for(data)
            if mode == "forged":  # another ID, junk and a stub before the answer
                for stray in (bytes([answer[0] ^ 1]) + answer[1:-4] + bytes([6, 6, 6, 6]),
                              b"Z" * 40, answer[:5]):
                    self._send(stray, peer)
            if mode == "late":
                threading.Timer(b.delay, self._send, (answer, peer)).start()
            else:
                self._send(answer, peer)

    def _send(self, data, peer):
        try:
            self.sock.sendto(data, peer)
        except OSError:
            pass  # the asker is gone; the next query is what counts


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
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        mode = b.take(body, dict(self.headers))
        answer = b.reply_for(body)
        if self.path != "/dns-query":
            status, answer = 404, b""
        elif mode in ("status400", "status500"):
            status, answer = int(mode[6:]), b"fallo"
        else:
            status = 200
            if mode == "silent":
                time.sleep(b.delay)
            elif mode == "short":
                answer = answer[:11]
            elif mode == "other_id":
                answer = bytes([answer[0] ^ 0xFF, answer[1] ^ 0xFF]) + answer[2:]
        try:
            self.send_response(status)
            self.send_header("Content-Type", "application/dns-message")
            self.send_header("Content-Length", str(len(answer)))
            self.end_headers()
            self.wfile.write(answer)
        except OSError:
            pass


def serve_doh(ip, behaviour, context):
    server = http.server.ThreadingHTTPServer((ip, 443), _DohHandler)
    server.behaviour = behaviour
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()


def make_certificates(folder):
    """A self-signed certificate for the two DoH addresses, trusted as the only authority."""
    key, crt = folder / "server.key", folder / "server.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=1.1.1.3", "-addext", "subjectAltName=IP:1.1.1.3,IP:1.0.0.3",
                    "-keyout", str(key), "-out", str(crt)], check=True, capture_output=True)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(str(crt), str(key))
    context.set_alpn_protocols(["http/1.1"])
    return crt, context
