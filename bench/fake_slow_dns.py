"""A fake family resolver over plain DNS at the resolvers' addresses: every A
question answered after a fixed delay (a home connection's round trip), with a
TTL from 30 s to 1 h picked by the name, so a trace meets real expiries.
Counts the queries; writes the count to the file given on SIGUSR1.
    python3 fake_slow_dns.py COUNTS_FILE [DELAY_MS]"""

import asyncio
import signal
import struct
import sys
import zlib

ADDRESSES = ["1.1.1.3", "1.0.0.3", "208.67.222.123", "208.67.220.123"]
TTLS = [30, 60, 300, 900, 3600]
counts_file, delay = sys.argv[1], int(sys.argv[2] if len(sys.argv) > 2 else 30) / 1000
queries = 0


def answer(query):
    at = 12
    while at < len(query) and query[at]:
        at += 1 + query[at]
    end = at + 5
    ttl = TTLS[zlib.crc32(query[12:at].lower()) % len(TTLS)]
    return (query[:2] + b"\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00" + query[12:end]
            + b"\xc0\x0c\x00\x01\x00\x01" + struct.pack(">I", ttl) + b"\x00\x04\x0a\x00\x00\x01")


class Resolver(asyncio.DatagramProtocol):
    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, peer):
        global queries
        queries += 1
        if len(data) > 17:
            asyncio.get_running_loop().call_later(delay, self.transport.sendto, answer(data), peer)


def dump(*_):
    with open(counts_file, "w") as f:
        f.write(f"{queries}\n")


async def main():
    loop = asyncio.get_running_loop()
    for ip in ADDRESSES:
        await loop.create_datagram_endpoint(Resolver, local_addr=(ip, 53))
    loop.add_signal_handler(signal.SIGUSR1, dump)
    await asyncio.Event().wait()


asyncio.run(main())
