"""Runs inside a private network namespace (see dns-flood.sh): fake plain-DNS
resolvers at the family resolvers' addresses, silent for *.flood.example,
nothing on HTTPS; one trancad; then a local program flooding it with random
names nobody answers, beside another asking ordinary names at a steady pace:
how many of the ordinary lookups got their answer within a second, and how
fast."""

import os
import random
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "process"))
import fake_resolvers as fr  # noqa: E402
from fake_resolvers import query  # noqa: E402

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


RESOLVERS = ["1.1.1.3", "1.0.0.3", "208.67.222.123", "208.67.220.123"]

trancad, seconds, rate = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
for ip in RESOLVERS:
    subprocess.run(["ip", "addr", "add", f"{ip}/32", "dev", "lo"], check=True)
for i, ip in enumerate(RESOLVERS):
    behaviour = fr.Behaviour(f"10.0.1.{i + 1}")
    behaviour.silent_under = ".flood.example"
    fr.UdpResolver(ip, behaviour)

folder = tempfile.mkdtemp(prefix="tranca-flood-")
for name in ("blocklist.txt", "custom.txt", "allow.txt"):
    open(os.path.join(folder, name), "w").close()
env = dict(PATH=os.environ["PATH"], TRANCAD_DIR=folder, TRANCAD_PORT="5353",
           TRANCAD_HTTP="8053", TRANCAD_DNS="0")
daemon = subprocess.Popen([trancad], env=env, stdout=subprocess.DEVNULL)
try:
    time.sleep(1.5)
    # HTTPS is refused here: after this one, plain DNS goes first.
    subprocess.run(["dig", "@127.0.0.1", "-p", "5353", "warm.example", "+tries=2"],
                   capture_output=True, check=True)
    asked, answered, latencies = run(5353, seconds, rate, 50, b"\x0a\x00\x01")
finally:
    daemon.terminate()
    daemon.wait()


def percentile(p):
    if not latencies:
        return float("nan")
    return latencies[min(len(latencies) - 1, int(p * len(latencies)))] * 1e3


print(f"{os.path.basename(trancad):16s} inundación {rate} c/s durante {seconds:.0f} s: "
      f"{answered}/{asked} consultas normales respondidas en < 1 s "
      f"({100.0 * answered / max(asked, 1):.1f} %), p50 {percentile(0.5):.1f} ms, "
      f"p99 {percentile(0.99):.1f} ms")
