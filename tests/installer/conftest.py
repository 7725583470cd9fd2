"""A throw-away machine for the installer scripts: a private mount and network
namespace (held by `unshare -m -n`) with temporary directories over MOUNTS, the
rest of OVERLAYS writable in memory and only a loopback interface. The scripts
run there as the application runs them (root, no arguments, an almost empty
environment, bin/'s systemctl stand-in first on PATH), so the real trancad
answers on that 127.0.0.1:53 and :80; nothing reaches this machine's own."""

import contextlib
import fcntl
import glob
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from helpers import read, wait_until, write  # noqa: E402,F401 (the tests take them from here)

SOURCE = os.environ.get("AMPARO_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..")))
SCRIPTS = os.path.join(SOURCE, "scripts", "installer")
TRANCAD = os.environ.get("TRANCAD_BIN", os.path.join(SOURCE, "build", "asan", "bin", "trancad"))
ORIGINAL_RESOLV = "# de la red de prueba\nsearch casa.example\nnameserver 192.0.2.53\n" \
                  "options timeout:1\n"
MOUNTS = ["/var/lib", "/var/log", "/run", "/etc/systemd/system", "/etc/dconf",
          "/etc/logrotate.d", "/etc/resolv.conf"]
# An overlay cannot sit on an overlay root (a container): the upper layers go
# in a tmpfs of the namespace.
OVERLAYS = ["/etc", "/usr/lib", "/usr/local"]
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def hosts_list(count, prefix="adulto"):
    lines = ["# Lista de prueba", "127.0.0.1 localhost", "0.0.0.0 0.0.0.0"]
    return "\n".join(lines + [f"0.0.0.0 {prefix}{i}.example" for i in range(count)]) + "\n"


def ok(result):
    assert result.returncode == 0, f"exit {result.returncode}\n{result.stdout}\n{result.stderr}"
    return result


class Machine:
    def __init__(self, resolv=ORIGINAL_RESOLV, mounts=MOUNTS):
        """Without /etc/resolv.conf among mounts, it is a plain file of the /etc
        overlay (absent for resolv None), so renames over it work."""
        self.root, self.mounts = tempfile.mkdtemp(prefix="amparo-maquina-"), mounts
        os.chmod(self.root, 0o755)
        for mount in mounts:
            if mount == "/etc/resolv.conf":
                write(self.path(mount), "")  # a bind mount needs its source in place
            else:
                os.makedirs(self.path(mount))
        # The application's resources: the scripts with trancad beside them.
        self.resources = os.path.join(self.root, "recursos")
        shutil.copytree(SCRIPTS, self.resources)
        shutil.copytree(os.path.join(SOURCE, "scripts", "proxy"),
                        os.path.join(self.resources, "proxy"),
                        ignore=shutil.ignore_patterns("__pycache__"))
        shutil.copy2(TRANCAD, os.path.join(self.resources, "trancad"))
        self.holder = self._start_holder()
        if "/etc/resolv.conf" not in mounts:
            with contextlib.suppress(FileNotFoundError):
                os.remove(self.path("/etc/resolv.conf"))
        if resolv is not None:
            write(self.path("/etc/resolv.conf"), resolv)
        self.helpers = []
        self.list = self.list_url(hosts_list(1200))
        self.ids = self._own_system_ids()

    def _own_system_ids(self):
        """Machines share the process table, and userdel refuses a user whose uid
        any process runs as: each running machine takes ten system ids no other
        one uses (a slot held by a lock while it lives)."""
        for slot in range(50):
            held = open(f"/tmp/amparo-maquina-ids.{slot}", "w", encoding="utf-8")
            try:
                fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                held.close()
                continue
            first = 300 + 10 * slot
            with open(self.path("/etc/login.defs"), "a", encoding="utf-8") as defs:
                defs.write("".join(f"\nSYS_{kind}_MIN {first}\nSYS_{kind}_MAX {first + 9}\n"
                                   for kind in ("UID", "GID")))
            return held
        raise RuntimeError("no free range of system ids for another machine")

    def path(self, inside):
        """The host's path to a path inside the machine."""
        if any(inside == mount or inside.startswith(mount + "/") for mount in self.mounts):
            return os.path.join(self.root, "fs", inside.lstrip("/"))
        return f"/proc/{self.holder.pid}/root{inside}"

    def _start_holder(self):
        layers = os.path.join(self.root, "capas")
        os.makedirs(layers)
        script = f'set -e\nmount -t tmpfs -o mode=0700 capas "{layers}"\n'
        for index, target in enumerate(OVERLAYS):
            upper, work = f"{layers}/{index}/arriba", f"{layers}/{index}/trabajo"
            # The upper layer's top gives the merged directory its owner and mode.
            script += (f'mkdir -p "{upper}" "{work}"\nchown --reference="{target}" "{upper}"\n'
                       f'chmod --reference="{target}" "{upper}"\nmount -t overlay overlay -o '
                       f'"lowerdir={target},upperdir={upper},workdir={work}" "{target}"\n')
        script += "".join(f'mount --bind "{self.path(m)}" "{m}"\n' for m in self.mounts)
        script += "ip link set lo up\necho listo\nexec sleep infinity\n"
        holder = subprocess.Popen(["unshare", "-m", "-n", "--", "/bin/bash", "-c", script],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        if holder.stdout.readline().strip() != "listo":
            holder.kill()
            raise RuntimeError("namespace holder failed: " + holder.stderr.read())
        return holder

    def env(self, extra=None):
        env = {"PATH": f"{HERE}/bin:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
               "DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/amparo-test-bus",
               "LANG": "C.UTF-8"}
        env.update({k: os.environ[k] for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS") if k in os.environ})
        env.update(extra or {})
        return env

    def command(self, argv):
        return ["nsenter", f"--target={self.holder.pid}", "--mount", "--net", "--", *argv]

    def run(self, argv, env=None, timeout=300, user=False, umask=-1):
        return subprocess.run(self.command((NOBODY if user else []) + argv), env=self.env(env),
                              capture_output=True, text=True, timeout=timeout, umask=umask)

    def script(self, name, env=None, **kwargs):
        """A shipped script run as the application does, with a good list to download."""
        env = {"TRANCA_BLOCKLIST_URL": self.list, **(env or {})}
        return self.run(["/bin/bash", os.path.join(self.resources, name)], env=env, **kwargs)

    def spawn(self, argv, listens=None):
        """A helper process inside, ended at cleanup, once listening on `listens` (as ss shows it)."""
        proc = subprocess.Popen(self.command(argv), env=self.env(), stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)
        self.helpers.append(proc)
        if listens:  # one that died fails here, once the wait is over
            wait_until(lambda: listens in self.run(["ss", "-Hln"]).stdout, bool, 10, argv, step=0.1)
        return proc

    def list_url(self, text, name="lista.txt"):
        write(os.path.join(self.root, "listas", name), text)
        return "file://" + os.path.join(self.root, "listas", name)

    def dig(self, name):
        result = self.run(["dig", "+short", "+time=2", "+tries=1", "@127.0.0.1", name], timeout=30)
        # A timeout is reported on standard output too, as ";; " lines.
        return [line for line in result.stdout.splitlines() if line and not line.startswith(";")]

    def read(self, inside):
        return read(self.path(inside))

    def exists(self, inside):
        return os.path.lexists(self.path(inside))

    def mode(self, inside):
        info = os.lstat(self.path(inside))
        return stat.S_IMODE(info.st_mode), info.st_uid, info.st_gid

    def nameservers(self):
        return [line.split()[1] for line in self.read("/etc/resolv.conf").splitlines()
                if line.startswith("nameserver ")]

    def service_pid(self, unit="tranca.service"):
        """The pid of the unit the stand-in started, None when not running."""
        with contextlib.suppress(FileNotFoundError):
            pid = int(self.read(f"/run/systemctl-standin/{unit}.pid"))
            with open(f"/proc/{pid}/stat", encoding="utf-8") as handle:
                return None if handle.read().rsplit(")", 1)[1].split()[0] == "Z" else pid

    def wait_for_log(self, fragment, timeout=30.0):
        log = "/var/log/tranca.log"
        wait_until(lambda: self.exists(log) and fragment in self.read(log), bool, timeout,
                   f"{fragment!r} in the log", step=0.1)

    def chromium(self, url, *flags):
        """Headless Chromium inside with a fresh profile and HOME (no NSS database of
        root's): the DOM on standard output, a failed load's net:: error on the other."""
        home = tempfile.mkdtemp(dir=self.root)
        return self.run([shutil.which("chromium"), "--headless=new", "--no-sandbox",
                         "--disable-gpu", "--no-first-run", f"--user-data-dir={home}/perfil",
                         *flags, "--dump-dom", url], env={"HOME": home}, timeout=180)

    def snapshot(self, *tops):
        """Every file and folder under tops: mode, owner, bytes (None for a folder)."""
        found = {}
        for top in tops:
            root = self.path(top)
            paths = [root] if not os.path.isdir(root) else [
                os.path.join(folder, name) for folder, dirs, files in os.walk(root)
                for name in ["", *dirs, *files]]
            for path in filter(os.path.lexists, paths):
                info = os.lstat(path)
                data = open(path, "rb").read() if stat.S_ISREG(info.st_mode) else None
                found[path] = (info.st_mode, info.st_uid, data)
        return found

    def cleanup(self):
        # Every service the stand-in started: the daemon, the keyword proxy.
        for record in glob.glob(self.path("/run/systemctl-standin") + "/*.pid"):
            with contextlib.suppress(ProcessLookupError, ValueError):
                pid = int(open(record, encoding="utf-8").read().strip())
                if pid > 0:  # 0 or less would signal a whole process group: pytest's own
                    os.kill(pid, signal.SIGKILL)
        for proc in self.helpers + [self.holder]:
            proc.kill()
            proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)
        self.ids.close()


@pytest.fixture
def machine(request):
    """A fresh machine; indirect parameters give its resolv.conf."""
    made = Machine(*([request.param] if hasattr(request, "param") else []))
    yield made
    made.cleanup()
