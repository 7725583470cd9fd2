"""Fixtures of the system tests: the .deb of this build, the cached Debian 12
root file system with its dependencies, and one freshly booted container per
test module with the user's DNS server answering on the cable."""

import glob
import json
import os
import subprocess
import sys
import tempfile
import time

import pytest

from container import BASE_PACKAGES, USER_DNS, Container, Unavailable, package_depends, \
    root_filesystem

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("AMPARO_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..")))
BUILD = os.environ.get("AMPARO_BUILD_DIR", os.path.join(SOURCE, "build", "asan"))
CACHE = os.environ.get("AMPARO_SYSTEM_CACHE", os.path.join(BUILD, "system"))
# What the user's own DNS server answers for every name: seeing it means a
# query went around the filter.
LEAKED = "10.77.0.99"
STATUS_NAME = "estado.amparo.internal"
BLOCKED = "sitio-bloqueado.net"
BACKUP = ["1.1.1.3", "1.0.0.3", "2606:4700:4700::1113", "2606:4700:4700::1003"]


@pytest.fixture(scope="session")
def deb(tmp_path_factory):
    out = tmp_path_factory.mktemp("paquete")
    made = subprocess.run(["cpack", "-G", "DEB", "--config",
                           os.path.join(BUILD, "CPackConfig.cmake"), "-B", str(out)],
                          capture_output=True, text=True, timeout=600)
    assert made.returncode == 0, made.stdout + made.stderr
    (found,) = glob.glob(str(out / "amparo_*.deb"))
    return found


@pytest.fixture(scope="session")
def rootfs(deb):
    try:
        return root_filesystem(CACHE, BASE_PACKAGES + package_depends(deb))
    except Unavailable as reason:
        pytest.skip(f"Sin Debian 12 de prueba: {reason}")


def unwrap(value):
    """busctl's JSON without its {"type", "data"} wrappers of variants."""
    if isinstance(value, dict):
        if set(value) == {"type", "data"}:
            return unwrap(value["data"])
        return {key: unwrap(item) for key, item in value.items()}
    if isinstance(value, list):
        return [unwrap(item) for item in value]
    return value


class Machine(Container):
    """A container with the helpers the scenarios share."""

    def start(self, wait=True):
        self.boot()
        # The user's DNS server, on the cable's far end; it may start before
        # the cable exists (IP_FREEBIND).
        self.user_dns = self.spawn_in_network(
            [sys.executable, os.path.join(HERE, "user_dns.py"), USER_DNS, LEAKED])
        if wait:
            self.wait_booted()
            # NetworkManager's own start-up: the cable up, resolv.conf written.
            self.run(["nm-online", "-s", "-q", "-t", "30"], check=True)

    def stop(self):
        self._end_user_dns()
        super().stop()

    def reboot(self):
        """Reboots from inside; returns as soon as the new boot has begun."""
        self.run(["systemctl", "reboot"])
        self.nspawn.wait(timeout=60)
        self._end_user_dns()
        self.start(wait=False)

    def _end_user_dns(self):
        if getattr(self, "user_dns", None):
            self.user_dns.kill()
            self.user_dns.wait()
            self.user_dns = None

    def lookup(self, name):
        """What the C library's resolver answers (NSS, as every program asks)."""
        found = self.run(["getent", "ahostsv4", name], timeout=30).stdout.split()
        return found[0] if found else None

    def global_dns(self):
        """NetworkManager's global DNS configuration, as plain Python values."""
        reply = self.run(["busctl", "--json=short", "get-property",
                          "org.freedesktop.NetworkManager", "/org/freedesktop/NetworkManager",
                          "org.freedesktop.NetworkManager", "GlobalDnsConfiguration"], check=True)
        return unwrap(json.loads(reply.stdout))

    def global_servers(self):
        return self.global_dns().get("domains", {}).get("*", {}).get("servers", [])

    def set_global_dns(self, *value):
        self.run(["busctl", "set-property", "org.freedesktop.NetworkManager",
                  "/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager",
                  "GlobalDnsConfiguration", "a{sv}", *value], check=True)

    def log(self):
        return self.run(["cat", "/var/log/tranca.log"]).stdout

    def wait_for(self, what, predicate, timeout=40):
        deadline = time.monotonic() + timeout
        while True:
            seen = what()
            if predicate(seen):
                return seen
            assert time.monotonic() < deadline, f"still {seen!r} after {timeout} s"
            time.sleep(0.5)

    def install_package(self, deb):
        with open(deb, "rb") as source, open(self.path("/root/amparo.deb"), "wb") as target:
            target.write(source.read())
        self.run("DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends"
                 " /root/amparo.deb", check=True)
        self.run(f"mkdir -p /var/lib/tranca && echo {BLOCKED} > /var/lib/tranca/blocklist.txt",
                 check=True)


@pytest.fixture(scope="module")
def machine(rootfs):
    made = Machine(rootfs, tempfile.mkdtemp(prefix="amparo-sistema-"))
    try:
        made.start()
        yield made
    finally:
        made.cleanup()
