"""A local program flooding trancad with random names nobody answers, beside
another asking ordinary names at a steady pace: how many of the ordinary
lookups got their answer within a second, and how fast. Shared by the
namespace test and bench/dns-flood.sh."""

import os
import random
import socket
import struct
import threading
import time

from fake_resolvers import encode_name


def query(qid, name):
    return struct.pack(">HHHHHH", qid, 0x0100, 1, 0, 0, 0) + encode_name(name) + b"\x00\x01\x00\x01"


def _flood(port, rate, stop):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setblocking(False)
        start, sent = time.monotonic(), 0
        while not stop.is_set():
            for _ in range(int((time.monotonic() - start) * rate) - sent):
                name = f"{random.getrandbits(48):012x}.flood.example"
                try:
                    s.sendto(query(sent & 0xFFFF, name), ("127.0.0.1", port))
                except BlockingIOError:
                    pass
                sent += 1
            try:
                while s.recv(4096):  # drained, so its buffer never blocks the daemon
                    pass
            except BlockingIOError:
                pass
            time.sleep(0.005)


def run(port, seconds, flood_rate, normal_rate, expect_prefix=b""):
    """Floods for seconds while asking normal names at normal_rate; returns
    (asked, answered within 1 s, sorted latencies in seconds)."""
    stop = threading.Event()
    flooder = threading.Thread(target=_flood, args=(port, flood_rate, stop), daemon=True)
    flooder.start()
    time.sleep(0.5)  # let the flood fill what it can first
    sent, latencies = {}, []
    total = int(seconds * normal_rate)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(0.002)
        start = time.monotonic()
        for i in range(total):
            sent[i & 0xFFFF] = time.monotonic()
            s.sendto(query(i & 0xFFFF, f"n{i}-{os.getpid()}.example"), ("127.0.0.1", port))
            # Until the next one is due; after the last, up to 1.5 s more.
            until = start + (i + 1) / normal_rate + (1.5 if i + 1 == total else 0)
            while time.monotonic() < until:
                try:
                    reply = s.recv(4096)
                except socket.timeout:
                    continue
                qid = struct.unpack(">H", reply[:2])[0]
                if (reply[3] & 0x0F) == 0 and reply[7] >= 1 and expect_prefix in reply \
                        and qid in sent:
                    latencies.append(time.monotonic() - sent.pop(qid))
    stop.set()
    flooder.join()
    latencies.sort()
    return total, sum(1 for x in latencies if x < 1.0), latencies
