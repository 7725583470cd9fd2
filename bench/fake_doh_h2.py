"""A fake DNS-over-HTTPS resolver speaking HTTP/2 (hypercorn), answering every
A question with 10.0.0.1 and counting TCP connections (= TLS handshakes) and
requests. Writes the counts to the file given on SIGUSR1 and at exit.
    python3 fake_doh_h2.py IP CERT KEY COUNTS_FILE"""

import asyncio
import signal
import sys

from hypercorn.asyncio import serve
from hypercorn.config import Config

ip, cert, key, counts_file = sys.argv[1:5]
connections = set()
requests = 0


def answer(query):
    at = 12
    while at < len(query) and query[at]:
        at += 1 + query[at]
    end = at + 5
    return (query[:2] + b"\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00" + query[12:end]
            + b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x3c\x00\x04\x0a\x00\x00\x01")


async def app(scope, receive, send):
    global requests
    if scope["type"] == "lifespan":
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await send({"type": "lifespan.shutdown.complete"})
                return
    body = b""
    while True:
        message = await receive()
        body += message.get("body", b"")
        if not message.get("more_body"):
            break
    connections.add(tuple(scope["client"]))
    requests += 1
    reply = answer(body)
    await send({"type": "http.response.start", "status": 200,
                "headers": [(b"content-type", b"application/dns-message"),
                            (b"content-length", str(len(reply)).encode())]})
    await send({"type": "http.response.body", "body": reply})


def dump(*_):
    with open(counts_file, "w") as f:
        f.write(f"{len(connections)} {requests}\n")


config = Config()
config.bind = [f"{ip}:443"]
config.certfile = cert
config.keyfile = key
config.loglevel = "ERROR"
config.accesslog = None
config.h2_max_concurrent_streams = 100
signal.signal(signal.SIGUSR1, dump)
try:
    asyncio.run(serve(app, config))
finally:
    dump()
