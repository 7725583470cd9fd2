"""A throw-away machine for the installer scripts.

`Machine` holds a private mount and network namespace (a holder process
started with `unshare -m -n`) in which temporary directories are bind-mounted
over /var/lib, /var/log, /run, /etc/systemd/system, /etc/dconf,
/etc/logrotate.d and /etc/resolv.conf, the rest of /etc, /usr/lib and /usr/local take
their writes in a memory overlay (browser policy folders that this machine
lacks), and only the loopback interface exists. The scripts run
there through `nsenter`, as the application runs them: as root, with no
arguments and an almost empty environment, with the systemctl stand-in of
tests/installer/bin first on PATH. The real trancad then runs on the real
ports 53 and 80 of that namespace's 127.0.0.1. Nothing reaches this
machine's own /etc, /var, /run, services or network."""

import glob
import os
import shutil
import signal
import stat
import subprocess
import tempfile
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("AMPARO_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..")))
SCRIPTS = os.path.join(SOURCE, "scripts", "installer")
TRANCAD = os.environ.get("TRANCAD_BIN", os.path.join(SOURCE, "build", "asan", "bin", "trancad"))
STANDIN_BIN = os.path.join(HERE, "bin")
ROOT_WRAPPER = os.path.join(SOURCE, "app", "resources", "amparo-admin")
SHIPPED = ["install.sh", "disable.sh", "uninstall.sh", "update_blocklist.sh", "common.sh",
           "tranca.service", "tranca.logrotate", "proxy_install.sh", "proxy_uninstall.sh",
           "proxy_common.sh", "tranca-proxy.service"]
PROXY_ADDON = os.path.join(SOURCE, "scripts", "proxy")
ORIGINAL_RESOLV = "# de la red de prueba\nsearch casa.example\nnameserver 192.0.2.53\n" \
                  "options timeout:1\n"
NO_BUS = "unix:path=/nonexistent/amparo-installer-test-bus"

MOUNTS = ["/var/lib", "/var/log", "/run", "/etc/systemd/system", "/etc/dconf",
          "/etc/logrotate.d", "/etc/resolv.conf"]
# Writable through an overlay whose upper layer is a tmpfs of the namespace
# (an overlay cannot sit on an overlay root, as in a container).
OVERLAYS = ["/etc", "/usr/lib", "/usr/local"]


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
    os.chmod(path, mode)


def hosts_list(count, prefix="adulto"):
    lines = ["# Lista de prueba", "127.0.0.1 localhost", "0.0.0.0 0.0.0.0"]
    lines += [f"0.0.0.0 {prefix}{i}.example" for i in range(count)]
    return "\n".join(lines) + "\n"


class Machine:
    def __init__(self, resolv=ORIGINAL_RESOLV, resources_from=None):
        self.root = tempfile.mkdtemp(prefix="amparo-maquina-")
        os.chmod(self.root, 0o755)
        for mount in MOUNTS:
            if mount != "/etc/resolv.conf":
                os.makedirs(self.path(mount), exist_ok=True)
        write(self.path("/etc/resolv.conf"), resolv)
        # A machine already has other enabled services; they must survive.
        wants = self.path("/etc/systemd/system/multi-user.target.wants")
        os.makedirs(wants)
        os.symlink("/lib/systemd/system/cron.service", os.path.join(wants, "cron.service"))
        write(self.path("/var/log/syslog"), "otro registro\n")
        # The application's resources: the scripts with trancad beside them.
        self.resources = os.path.join(self.root, "recursos")
        os.makedirs(self.resources)
        if resources_from:
            for name in SHIPPED + ["trancad"]:
                shutil.copy2(os.path.join(resources_from, name), self.resources)
            shutil.copytree(os.path.join(resources_from, "proxy"),
                            os.path.join(self.resources, "proxy"))
        else:
            for name in SHIPPED:
                shutil.copy2(os.path.join(SCRIPTS, name), self.resources)
            shutil.copytree(PROXY_ADDON, os.path.join(self.resources, "proxy"),
                            ignore=shutil.ignore_patterns("__pycache__"))
            shutil.copy2(TRANCAD, os.path.join(self.resources, "trancad"))
            shutil.copy2(ROOT_WRAPPER, self.resources)
        self.lists = os.path.join(self.root, "listas")
        os.makedirs(self.lists)
        self.holder = self._start_holder()
        self.helpers = []

    def path(self, inside):
        """The host path of a path inside the machine: the temporary directory
        for the bind-mounted ones, else the namespace's view of the path."""
        if any(inside == mount or inside.startswith(mount + "/") for mount in MOUNTS):
            return os.path.join(self.root, "fs", inside.lstrip("/"))
        return f"/proc/{self.holder.pid}/root{inside}"

    def _start_holder(self):
        layers = os.path.join(self.root, "capas")
        os.makedirs(layers)
        script = f'set -e\nmount -t tmpfs -o mode=0700 capas "{layers}"\n'
        for index, target in enumerate(OVERLAYS):
            upper, work = f"{layers}/{index}/arriba", f"{layers}/{index}/trabajo"
            # The upper layer's top gives the merged directory its owner and mode.
            script += (f'mkdir -p "{upper}" "{work}"\n'
                       f'chown --reference="{target}" "{upper}"\n'
                       f'chmod --reference="{target}" "{upper}"\n'
                       f'mount -t overlay overlay -o '
                       f'"lowerdir={target},upperdir={upper},workdir={work}" "{target}"\n')
        for mount in MOUNTS:
            script += f'mount --bind "{self.path(mount)}" "{mount}"\n'
        script += "ip link set lo up\necho listo\nexec sleep infinity\n"
        holder = subprocess.Popen(["unshare", "-m", "-n", "--", "/bin/bash", "-c", script],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = holder.stdout.readline().strip()
        if line != "listo":
            holder.kill()
            raise RuntimeError("namespace holder failed: " + holder.stderr.read())
        return holder

    def env(self, extra=None):
        env = {
            "PATH": f"{STANDIN_BIN}:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "DBUS_SYSTEM_BUS_ADDRESS": NO_BUS,
            "LANG": "C.UTF-8",
        }
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        env.update(extra or {})
        return env

    def command(self, argv):
        return ["nsenter", f"--target={self.holder.pid}", "--mount", "--net", "--", *argv]

    def run(self, argv, env=None, timeout=120, user=False, umask=-1):
        prefix = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] if user else []
        return subprocess.run(self.command(prefix + argv), env=self.env(env),
                              capture_output=True, text=True, timeout=timeout, umask=umask)

    def script(self, name, env=None, timeout=120, user=False, umask=-1):
        """Runs a shipped script as the application does: /bin/bash <script>."""
        return self.run(["/bin/bash", os.path.join(self.resources, name)], env=env,
                        timeout=timeout, user=user, umask=umask)

    def spawn(self, argv):
        """A helper process inside the namespaces, ended at cleanup."""
        proc = subprocess.Popen(self.command(argv), env=self.env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.helpers.append(proc)
        return proc

    def list_url(self, text, name="lista.txt"):
        target = os.path.join(self.lists, name)
        write(target, text)
        return "file://" + target

    def dig(self, name, qtype="A"):
        result = self.run(["dig", "+short", "+time=2", "+tries=1", "@127.0.0.1", "-p", "53",
                           name, qtype], timeout=30)
        # dig reports a timeout on standard output too, as ";; " lines.
        return [line.strip() for line in result.stdout.splitlines()
                if line.strip() and not line.startswith(";;")]

    def read(self, inside):
        with open(self.path(inside), encoding="utf-8") as handle:
            return handle.read()

    def exists(self, inside):
        return os.path.lexists(self.path(inside))

    def mode(self, inside):
        info = os.lstat(self.path(inside))
        return stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid

    def nameservers(self):
        return [line.split()[1] for line in self.read("/etc/resolv.conf").splitlines()
                if line.startswith("nameserver ")]

    def calls(self):
        path = self.path("/run/systemctl-standin/calls")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as handle:
            return handle.read().splitlines()

    def daemon_pid(self):
        """The pid of the trancad the stand-in started, None when it is not running."""
        path = self.path("/run/systemctl-standin/tranca.service.pid")
        if not os.path.exists(path):
            return None
        with open(path, encoding="utf-8") as handle:
            pid = int(handle.read().strip())
        try:
            with open(f"/proc/{pid}/stat", encoding="utf-8") as handle:
                if handle.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return None
        except FileNotFoundError:
            return None
        return pid

    def wait_for_log(self, fragment, timeout=30.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.exists("/var/log/tranca.log") and fragment in self.read("/var/log/tranca.log"):
                return
            time.sleep(0.1)
        log = self.read("/var/log/tranca.log") if self.exists("/var/log/tranca.log") else ""
        raise AssertionError(f"no {fragment!r} in the log:\n{log}")

    def cleanup(self):
        # Every service the stand-in started: the daemon, the keyword proxy.
        for record in glob.glob(self.path("/run/systemctl-standin") + "/*.pid"):
            with open(record, encoding="utf-8") as handle:
                pid = int(handle.read().strip() or 0)
            try:
                if pid > 0:
                    os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for proc in self.helpers:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        self.holder.kill()
        self.holder.wait()
        shutil.rmtree(self.root, ignore_errors=True)


@pytest.fixture
def machine():
    made = Machine()
    yield made
    made.cleanup()


@pytest.fixture
def machine_factory():
    made = []

    def make(**kwargs):
        box = Machine(**kwargs)
        made.append(box)
        return box

    yield make
    for box in made:
        box.cleanup()
