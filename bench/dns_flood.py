"""Runs inside a private network namespace (see dns-flood.sh): fake plain-DNS
resolvers at the family resolvers' addresses, silent for *.flood.example,
nothing on HTTPS; one trancad; then the flood beside ordinary lookups."""

import os
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "process"))
import fake_resolvers as fr  # noqa: E402
import flood  # noqa: E402

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
    asked, answered, latencies = flood.run(5353, seconds, rate, 50, b"\x0a\x00\x01")
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
