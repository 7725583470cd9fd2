"""A booted Debian 12 for the system tests: real systemd as PID 1, a real
system bus and a real NetworkManager, offline.

The root file system is made once by debootstrap from the archive the
machine's apt sources name and kept under the build directory, named after
its package list, so it is made again only when that list changes. Each
container boots it through an overlay of its own (the cached tree stays
pristine; the upper layer survives a reboot of that container) with
systemd-nspawn on a private network, and commands run inside with nsenter.
NetworkManager manages a veth cable made at boot, veth0 10.77.0.2/24, whose
connection "Cableada" names 10.77.0.1 (the cable's other end) as its DNS:
the user's DNS before Amparo."""

import fcntl
import glob
import hashlib
import os
import shutil
import signal
import subprocess
import tempfile
import time

USER_DNS = "10.77.0.1"
PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

# What a Debian desktop that Amparo runs on has, besides the package's own
# dependencies. systemd-resolved is installed only for the debs it leaves in
# the archive cache; it is purged again, and a test installs it as a user would.
BASE_PACKAGES = ["systemd", "systemd-sysv", "dbus", "network-manager", "iproute2",
                 # Without it network-manager stays unconfigured: debootstrap
                 # cannot choose polkitd's "default-logind | logind".
                 "libpam-systemd", "systemd-resolved", "bind9-dnsutils", "openssl",
                 "ca-certificates"]
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
    """The Debian archive the machine's apt sources name."""
    for path in ["/etc/apt/sources.list.d/debian.sources", "/etc/apt/sources.list",
                 *sorted(glob.glob("/etc/apt/sources.list.d/*"))]:
        try:
            with open(path, encoding="utf-8") as handle:
                text = handle.read()
        except OSError:
            continue
        for line in text.splitlines():
            words = line.split("#")[0].split()
            # "URIs: <uri>" (deb822) or "deb [options] <uri> <suite> ..."
            if words[:1] in (["URIs:"], ["deb"]):
                for word in words[1:]:
                    if word.startswith("http") and "security" not in word:
                        return word
    return "http://deb.debian.org/debian"


def root_filesystem(cache, packages):
    """The path of a ready root file system with these packages, made when
    missing. Raises Unavailable when debootstrap cannot make it."""
    packages = sorted(set(packages))
    key = hashlib.sha256(("\n".join(packages + EXTRA_PACKAGES) + LAYOUT_VERSION)
                         .encode()).hexdigest()[:12]
    os.makedirs(cache, exist_ok=True)
    target = os.path.join(cache, f"debian12-{key}")
    with open(os.path.join(cache, ".lock"), "w", encoding="utf-8") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(target, ".listo")):
            return target
        if shutil.which("debootstrap") is None:
            raise Unavailable("falta debootstrap (scripts/install-deps.sh lo instala)")
        staging = tempfile.mkdtemp(prefix="armando-", dir=cache)
        started = time.monotonic()
        try:
            build(staging, packages, os.path.join(cache, "debs"))
        except BaseException:
            shutil.rmtree(staging, ignore_errors=True)
            raise
        for old in glob.glob(os.path.join(cache, "debian12-*")):
            shutil.rmtree(old, ignore_errors=True)
        os.rename(staging, target)
        with open(os.path.join(target, ".listo"), "w", encoding="utf-8") as done:
            done.write(f"{time.monotonic() - started:.0f} s\n")
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
        path = root + inside
        with open(path, "w", encoding="utf-8") as handle:
            handle.write(text)
        os.chmod(path, mode)

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


class Container:
    """One booted container over its own overlay of a root file system."""

    def __init__(self, rootfs, workdir):
        self.workdir = workdir
        self.root = os.path.join(workdir, "raiz")
        for part in ("arriba", "trabajo", "raiz"):
            os.makedirs(os.path.join(workdir, part), exist_ok=True)
        subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                        f"lowerdir={rootfs},upperdir={workdir}/arriba,"
                        f"workdir={workdir}/trabajo", self.root], check=True)
        self.nspawn = None
        self.pid = None
        self.boots = 0

    def boot(self, timeout=60):
        """Boots and returns once systemd has reached its default target."""
        self.boots += 1
        console = open(os.path.join(self.workdir, f"arranque-{self.boots}.log"), "w",
                       encoding="utf-8")
        self.nspawn = subprocess.Popen(
            ["systemd-nspawn", "-D", self.root, "-b", "--register=no", "--keep-unit",
             "--private-network", "--console=pipe"],
            stdin=subprocess.DEVNULL, stdout=console, stderr=subprocess.STDOUT)
        console.close()
        self.pid = None
        deadline = time.monotonic() + timeout
        while self.pid is None:
            assert self.nspawn.poll() is None, "systemd-nspawn ended: " + self.console()
            assert time.monotonic() < deadline, "no systemd in the container: " + self.console()
            children = subprocess.run(["pgrep", "-P", str(self.nspawn.pid), "-x", "systemd"],
                                      capture_output=True, text=True).stdout.split()
            if children:
                self.pid = int(children[0])
            else:
                time.sleep(0.05)

    def wait_booted(self, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            # Fails at once while the bus is not up yet, then waits for the boot.
            state = self.run(["systemctl", "is-system-running", "--wait"], timeout=timeout)
            if state.stdout.strip() in ("running", "degraded"):
                return
            assert time.monotonic() < deadline, state.stdout + state.stderr + self.console()
            time.sleep(0.1)

    def console(self):
        with open(os.path.join(self.workdir, f"arranque-{self.boots}.log"),
                  encoding="utf-8", errors="replace") as handle:
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
        if check:
            assert result.returncode == 0, f"{argv}: {result.stdout}{result.stderr}"
        return result

    def spawn_in_network(self, argv):
        """A host program inside the container's network only, ended at stop."""
        return subprocess.Popen(self.command(argv, namespaces=("-n",)),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def path(self, inside):
        return self.root + inside

    def read(self, inside):
        """A file as the container sees it (through links, in its /run)."""
        return self.run(["cat", inside], check=True).stdout

    def stop(self):
        """Ends the container the way a shutdown does (SIGTERM to nspawn)."""
        if self.nspawn and self.nspawn.poll() is None:
            self.nspawn.send_signal(signal.SIGTERM)
            try:
                self.nspawn.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.nspawn.kill()
                self.nspawn.wait()
        self.pid = None

    def cleanup(self):
        self.stop()
        subprocess.run(["umount", self.root], check=False)
        shutil.rmtree(self.workdir, ignore_errors=True)
