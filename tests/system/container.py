"""A booted Debian 12 (real systemd, system bus and NetworkManager, offline): the
root file system, made once by debootstrap and cached under the name of its
package list, boots through an overlay of its own with systemd-nspawn; a veth
cable made at boot names its far end, 10.77.0.1, as the user's DNS."""

import contextlib
import fcntl
import glob
import hashlib
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import helpers  # noqa: E402

USER_DNS = "10.77.0.1"
# What the user's own DNS server answers for every name: seeing it means a
# query went around the filter.
LEAKED = "10.77.0.99"
STATUS_NAME = "estado.amparo.internal"
BLOCKED = "sitio-bloqueado.net"
BACKUP = ["1.1.1.3", "1.0.0.3", "2606:4700:4700::1113", "2606:4700:4700::1003"]
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# What a Debian desktop that Amparo runs on has, besides the package's own
# dependencies. systemd-resolved is installed only for the debs it leaves in
# the archive cache; it is purged again, and a test installs it as a user would.
BASE_PACKAGES = ["systemd", "systemd-sysv", "dbus", "network-manager", "iproute2",
                 # Without it network-manager stays unconfigured: debootstrap
                 # cannot choose polkitd's "default-logind | logind".
                 "libpam-systemd", "systemd-resolved", "bind9-dnsutils", "openssl",
                 "ca-certificates", "nftables"]
# Installed with apt once the base is there: debootstrap cannot order the
# configuration of so many Python packages.
EXTRA_PACKAGES = ["mitmproxy", "dconf-cli"]
# What debootstrap or apt print when the archive cannot be reached; any other
# failure is a fault to report, not a reason to skip.
UNREACHABLE = ("Failed getting release file", "Couldn't download", "Could not resolve",
               "Temporary failure resolving", "Failed to fetch", "Unable to fetch")
# Changes to the customisation below must change the cache's name too.
LAYOUT_VERSION = "1"

NM_CONF = """[main]
no-auto-default=*

[keyfile]
unmanaged-devices=interface-name:veth1

[device-cable]
match-device=interface-name:veth0
managed=1
"""
CABLE_UNIT = """[Unit]
Description=Cable de prueba para NetworkManager
Before=NetworkManager.service

[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/usr/sbin/ip link add veth0 type veth peer name veth1
ExecStart=/usr/sbin/ip addr add 10.77.0.1/24 dev veth1
ExecStart=/usr/sbin/ip link set veth1 up

[Install]
WantedBy=multi-user.target
"""
CONNECTION = """[connection]
id=Cableada
type=ethernet
interface-name=veth0

[ipv4]
method=manual
address1=10.77.0.2/24,10.77.0.1
dns=10.77.0.1;

[ipv6]
method=disabled
"""
# Timers and terminals that only add noise to a test boot.
MASKED = ["apt-daily.timer", "apt-daily-upgrade.timer", "dpkg-db-backup.timer",
          "e2scrub_all.timer", "fstrim.timer", "e2scrub_reap.service", "getty@tty1.service",
          "console-getty.service", "NetworkManager-wait-online.service"]


class Unavailable(Exception):
    """The root file system cannot be made here (no archive, no debootstrap)."""


def package_depends(deb):
    """The package's dependencies as debootstrap names them: the first of each
    set of alternatives, without versions."""
    depends = subprocess.run(["dpkg-deb", "--field", deb, "Depends"], capture_output=True,
                             text=True, check=True).stdout
    return [item.split("|")[0].split("(")[0].strip() for item in depends.split(",")
            if item.strip()]


def archive_mirror():
    """The Debian archive the machine's apt sources name: "URIs: <uri>"
    (deb822) or "deb [options] <uri> <suite> ..."."""
    for path in ["/etc/apt/sources.list.d/debian.sources", "/etc/apt/sources.list",
                 *sorted(glob.glob("/etc/apt/sources.list.d/*"))]:
        text = open(path, encoding="utf-8").read() if os.path.isfile(path) else ""
        for words in (line.split("#")[0].split() for line in text.splitlines()):
            found = [w for w in words[1:] if w.startswith("http") and "security" not in w]
            if words[:1] in (["URIs:"], ["deb"]) and found:
                return found[0]
    return "http://deb.debian.org/debian"


@contextlib.contextmanager
def cache_lock(cache):
    """One test run at a time makes what the cache holds."""
    os.makedirs(cache, exist_ok=True)
    with open(os.path.join(cache, ".lock"), "w", encoding="utf-8") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def built_package(build, cache):
    """The .deb of this build. CPack runs once for what the build installs (the
    same files, modes and package settings give the same digest); the package
    waits in the cache for the next test module."""
    config = os.path.join(build, "CPackConfig.cmake")
    with tempfile.TemporaryDirectory() as stage:
        subprocess.run(["cmake", "--install", build], env=dict(os.environ, DESTDIR=stage),
                       check=True, capture_output=True)
        digest = hashlib.sha256(subprocess.run(
            ["tar", "-c", "--sort=name", "--mtime=@0", "-C", stage, "."], capture_output=True,
            check=True).stdout)
    for path in [config, *re.findall(r'/[^";\s]+', open(config, encoding="utf-8").read())]:
        if os.path.isfile(path):  # the package's settings and control files
            digest.update(open(path, "rb").read())
    target = os.path.join(cache, f"amparo-{digest.hexdigest()[:12]}.deb")
    with cache_lock(cache):
        if not os.path.exists(target):
            out = tempfile.mkdtemp(prefix="paquete-", dir=cache)
            made = subprocess.run(["cpack", "-G", "DEB", "--config", config, "-B", out],
                                  capture_output=True, text=True, timeout=600)
            assert made.returncode == 0, made.stdout + made.stderr
            for old in glob.glob(os.path.join(cache, "amparo-*.deb")):
                os.remove(old)
            os.rename(*glob.glob(os.path.join(out, "amparo_*.deb")), target)
            shutil.rmtree(out)
    return target


def root_filesystem(cache, packages):
    """The path of a ready root file system with these packages, made when
    missing. Raises Unavailable when debootstrap cannot make it."""
    packages = sorted(set(packages))
    key = hashlib.sha256(("\n".join(packages + EXTRA_PACKAGES) + LAYOUT_VERSION)
                         .encode()).hexdigest()[:12]
    target = os.path.join(cache, f"debian12-{key}")
    with cache_lock(cache):
        if os.path.exists(os.path.join(target, ".listo")):
            return target
        if shutil.which("debootstrap") is None:
            raise Unavailable("falta debootstrap (scripts/install-deps.sh lo instala)")
        staging = tempfile.mkdtemp(prefix="armando-", dir=cache)
        try:
            build(staging, packages, os.path.join(cache, "debs"))
        except BaseException:
            shutil.rmtree(staging, ignore_errors=True)
            raise
        for old in glob.glob(os.path.join(cache, "debian12-*")):
            shutil.rmtree(old, ignore_errors=True)
        os.rename(staging, target)
        open(os.path.join(target, ".listo"), "w", encoding="utf-8").close()
        return target


def build(staging, packages, debs):
    os.makedirs(debs, exist_ok=True)
    mirror = archive_mirror()
    made = subprocess.run(["debootstrap", "--variant=minbase", f"--cache-dir={debs}",
                           "--include=" + ",".join(packages), "bookworm", staging, mirror],
                          capture_output=True, text=True, timeout=1800)
    if made.returncode == 0:
        # apt inside needs names resolved; customise() writes the test one.
        os.remove(os.path.join(staging, "etc", "resolv.conf"))
        shutil.copy("/etc/resolv.conf", os.path.join(staging, "etc", "resolv.conf"))
        made = chroot(staging, "apt-get", "update", "-q")
    if made.returncode == 0:
        made = chroot(staging, "apt-get", "install", "-y", "-q", "--no-install-recommends",
                      *EXTRA_PACKAGES)
    if made.returncode != 0:
        output = made.stdout + made.stderr
        summary = " / ".join(output.strip().splitlines()[-5:])
        if any(sign in output for sign in UNREACHABLE):
            raise Unavailable(f"no se llega al archivo de Debian {mirror}: {summary}")
        raise RuntimeError(f"no se pudo armar Debian 12 desde {mirror}: {summary}")
    customise(staging)


def chroot(root, *argv):
    return subprocess.run(["chroot", root, *argv], capture_output=True, text=True,
                          timeout=1800, env={"PATH": PATH, "DEBIAN_FRONTEND": "noninteractive"})


def customise(root):
    def run(*argv):
        done = chroot(root, *argv)
        assert done.returncode == 0, f"{argv}: {done.stdout}{done.stderr}"

    def write(inside, text, mode=0o644):
        helpers.write(root + inside, text, mode)

    # The user's machine before Amparo: NetworkManager writes resolv.conf.
    run("dpkg", "--purge", "systemd-resolved")
    if os.path.lexists(root + "/etc/resolv.conf"):
        os.remove(root + "/etc/resolv.conf")
    write("/etc/resolv.conf", f"nameserver {USER_DNS}\n")
    write("/etc/NetworkManager/conf.d/90-prueba.conf", NM_CONF)
    write("/etc/systemd/system/cable-prueba.service", CABLE_UNIT)
    write("/etc/NetworkManager/system-connections/Cableada.nmconnection", CONNECTION, 0o600)
    run("systemctl", "enable", "cable-prueba.service")
    run("systemctl", "mask", *MASKED)


def unwrap(value):
    """busctl's JSON without its {"type", "data"} wrappers of variants."""
    if isinstance(value, dict):
        if set(value) == {"type", "data"}:
            return unwrap(value["data"])
        return {key: unwrap(item) for key, item in value.items()}
    return [unwrap(item) for item in value] if isinstance(value, list) else value


class Machine:
    """One booted container over its own overlay of a root file system, the
    user's DNS server answering on the cable."""

    def __init__(self, rootfs, workdir):
        self.workdir, self.root = workdir, os.path.join(workdir, "raiz")
        for part in ("arriba", "trabajo", "raiz"):
            os.makedirs(os.path.join(workdir, part), exist_ok=True)
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                        f"lowerdir={rootfs},upperdir={workdir}/arriba,"
                        f"workdir={workdir}/trabajo", self.root], check=True)
        self.nspawn = self.pid = self.user_dns = None
        self.boots = 0

    def start(self, wait=True):
        """Boots; with wait, returns once the boot is done and the cable up."""
        self.boots += 1
        with open(f"{self.workdir}/arranque-{self.boots}.log", "w", encoding="utf-8") as console:
            self.nspawn = subprocess.Popen(
                ["systemd-nspawn", "-D", self.root, "-b", "--register=no", "--keep-unit",
                 "--private-network", "--console=pipe"],
                stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 60
        while self.pid is None:
            assert self.nspawn.poll() is None, "systemd-nspawn ended: " + self.console()
            assert time.monotonic() < deadline, "no systemd in the container: " + self.console()
            children = subprocess.run(["pgrep", "-P", str(self.nspawn.pid), "-x", "systemd"],
                                      capture_output=True, text=True).stdout.split()
            if children:
                self.pid = int(children[0])
            time.sleep(0.05)
        # The user's DNS server on the cable's far end, which the boot makes.
        self.user_dns = subprocess.Popen(self.command(
            ["dnsmasq", "-k", "-C", "/dev/null", "--no-resolv", "--no-hosts", "--bind-dynamic",
             f"--listen-address={USER_DNS}", f"--address=/#/{LEAKED}", "--local=/#/",
             "--pid-file=", "--user=root"], namespaces=("-n",)))
        if wait:
            # Fails at once while the bus is not up yet, then waits for the boot.
            while (state := self.run(["systemctl", "is-system-running", "--wait"], timeout=60)
                   ).stdout.strip() not in ("running", "degraded"):
                assert time.monotonic() < deadline + 60, state.stdout + self.console()
                time.sleep(0.1)
            # NetworkManager's own start-up: the cable up, resolv.conf written.
            self.run(["nm-online", "-s", "-q", "-t", "30"], check=True)
            self.bring_cable_up()

    def bring_cable_up(self, timeout=120):
        """Start-up can end with the cable still unconfigured, or with its
        device not yet known to NetworkManager (both seen under load): asks
        for the connection until the user's DNS server answers across it."""
        deadline = time.monotonic() + timeout
        tries = []
        while self.run(["dig", "+short", "+time=1", "+tries=1", f"@{USER_DNS}",
                        BLOCKED]).stdout.strip() != LEAKED:
            if time.monotonic() > deadline:
                state = self.run("nmcli device status; ip -br addr; journalctl -q -n 30 "
                                 "-u NetworkManager -u cable-prueba").stdout
                raise AssertionError(f"the cable never came up: {tries[-3:]}\n{state}")
            # The far end too: seen down, and once without its address, under
            # load although the boot set both.
            self.run(["ip", "link", "set", "veth1", "up"])
            self.run(["ip", "addr", "replace", f"{USER_DNS}/24", "dev", "veth1"])
            up = self.run(["nmcli", "-w", "20", "connection", "up", "Cableada"], timeout=40)
            tries.append((up.stdout + up.stderr).strip())
            time.sleep(1)

    def console(self):
        with open(f"{self.workdir}/arranque-{self.boots}.log", encoding="utf-8",
                  errors="replace") as handle:
            return handle.read()[-3000:]

    def command(self, argv, namespaces=("-a", "-r", "-w")):
        return ["nsenter", "-t", str(self.pid), *namespaces, "--", *argv]

    def run(self, argv, timeout=120, check=False, user=None):
        """Runs a command inside as root (or as `user`), with a clean environment."""
        if isinstance(argv, str):
            argv = ["/bin/sh", "-c", argv]
        prefix = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] if user else []
        result = subprocess.run(
            self.command(["/usr/bin/env", "-i", f"PATH={PATH}", "LANG=C.UTF-8", *prefix, *argv]),
            capture_output=True, text=True, timeout=timeout)
        assert not check or result.returncode == 0, f"{argv}: {result.stdout}{result.stderr}"
        return result

    def path(self, inside):
        return self.root + inside

    def read(self, inside):
        """A file as the container sees it (through links, in its /run)."""
        return self.run(["cat", inside], check=True).stdout

    def lookup(self, name):
        """What the C library's resolver answers (NSS, as every program asks)."""
        found = self.run(["getent", "ahostsv4", name], timeout=30).stdout.split()
        return found[0] if found else None

    def global_dns(self):
        """NetworkManager's global DNS configuration, as plain Python values."""
        return unwrap(json.loads(self.run(
            ["busctl", "--json=short", "get-property", "org.freedesktop.NetworkManager",
             "/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager",
             "GlobalDnsConfiguration"], check=True).stdout))

    def global_servers(self):
        return self.global_dns().get("domains", {}).get("*", {}).get("servers", [])

    def set_global_dns(self, *value):
        self.run(["busctl", "set-property", "org.freedesktop.NetworkManager",
                  "/org/freedesktop/NetworkManager", "org.freedesktop.NetworkManager",
                  "GlobalDnsConfiguration", "a{sv}", *value], check=True)

    def wait_for(self, what, predicate, timeout=40):
        return helpers.wait_until(what, predicate, timeout, "in the machine", step=0.5)

    def reboot(self):
        """Reboots from inside; returns as soon as the new boot has begun."""
        self.run(["systemctl", "reboot"])
        self.nspawn.wait(timeout=60)
        self.stop()
        self.start(wait=False)

    def stop(self):
        """Ends the container the way a shutdown does (SIGTERM to nspawn)."""
        for proc, end in ((self.user_dns, signal.SIGKILL), (self.nspawn, signal.SIGTERM)):
            if proc and proc.poll() is None:
                proc.send_signal(end)
                try:
                    proc.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        self.pid = None

    def cleanup(self):
        self.stop()
        subprocess.run(["umount", self.root], check=False)
        shutil.rmtree(self.workdir, ignore_errors=True)
