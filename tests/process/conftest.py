"""Shared fixtures for the process-level tests: the real trancad binary, run
with a temporary data directory, unprivileged ports and TRANCAD_DNS=0, or as
root inside the installer tests' throw-away machine."""

import os
import queue
import random
import re
import runpy
import signal
import socket
import subprocess
import threading
import time

import pytest

TRANCAD = os.environ.get("TRANCAD_BIN", "build/asan/bin/trancad")
BACKUP = ["1.1.1.3", "1.0.0.3", "2606:4700:4700::1113", "2606:4700:4700::1003"]
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def rerun_inside(module, variable, namespaces, timeout):
    """Runs a module's tests again in new namespaces, with variable set to 1."""
    result = subprocess.run(
        ["unshare", *namespaces, "--", "/usr/bin/python3", "-m", "pytest", "-q", "-p",
         "no:cacheprovider", "-x", module], env=dict(os.environ, **{variable: "1"}),
        capture_output=True, text=True, timeout=timeout)
    print(result.stdout[-20000:])
    assert result.returncode == 0, result.stdout[-8000:] + result.stderr[-3000:]


def free_port():
    """Free for UDP and TCP, below the ephemeral range (where another test's
    outgoing connection could take it before trancad binds it)."""
    for _ in range(500):
        port = random.randint(20000, 32000)
        try:
            for kind in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
                with socket.socket(socket.AF_INET, kind) as probe:
                    probe.bind(("127.0.0.1", port))
        except OSError:
            continue
        return port
    raise RuntimeError("no free port below the ephemeral range")


def environment(base, extra=None):
    """base plus PATH and the sanitizers' options; a None in extra unsets."""
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), **base}
    env.update({k: os.environ[k] for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")
                if k in os.environ})
    for key, value in (extra or {}).items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def dig(port, name, qtype="A", timeout=5, tool="dig", extra=("+noedns",)):
    """(status, [(ttl, address)] of the A records, dig's output)."""
    options = ([f"+timeout={timeout}", "+retry=0"] if tool == "kdig" else
               ["+tries=1", f"+time={timeout}", "+nocookie"])
    out = subprocess.run([tool, "@127.0.0.1", "-p", str(port), name, qtype, *options, *extra],
                         capture_output=True, text=True, timeout=timeout + 10).stdout
    status = re.search(r"status: (\w+)", out)
    answers = re.findall(r"^\S+\s+(\d+)\s+IN\s+A\s+(\S+)$", out, re.M)
    return (status.group(1) if status else None), answers, out


def messages(stdout):
    """Log lines without their "[time] " prefix."""
    lines = stdout.splitlines()
    assert all(line.startswith("[") and "] " in line for line in lines), lines
    return [line.split("] ", 1)[1] for line in lines]


class Process:
    """A running program with its standard output collected line by line."""

    def __init__(self, argv, env):
        self.env = env
        self.lines = []
        self._queue = queue.Queue()
        # Standard error goes where pytest captures it: a pipe nobody reads
        # would stall a daemon with much to say there.
        self.proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            self.lines.append(line)
            self._queue.put(line)
        self._queue.put(None)

    def wait_for(self, fragment, timeout=10.0):
        """The first not yet consumed log line that contains fragment."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self._queue.get(timeout=max(0, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError(f"no line with {fragment!r} in {timeout}s; log: {self.lines}")
            assert line is not None, f"trancad ended before {fragment!r}; log: {self.lines}"
            if fragment in line:
                return line

    def messages(self):
        return messages("\n".join(self.lines))

    def stop(self, sig=signal.SIGTERM, timeout=30.0):
        self.proc.send_signal(sig)  # none once it has ended
        return self.wait(timeout)

    def wait(self, timeout):
        status = self.proc.wait(timeout=timeout)
        self._reader.join(timeout=5)  # every line read before anyone looks
        return status

    def kill(self):
        self.proc.kill()  # a no-op once it has ended
        self.proc.wait()


@pytest.fixture
def trancad_factory(tmp_path):
    """trancad on free loopback ports, leaving the machine's DNS alone."""
    started = []

    def start(env=None, args=(), data_dir=None, binary=TRANCAD):
        base = {"TRANCAD_DIR": str(data_dir or tmp_path), "TRANCAD_PORT": str(free_port()),
                "TRANCAD_HTTP": str(free_port()), "TRANCAD_DNS": "0"}
        started.append(Process([binary, *args], environment(base, env)))
        daemon = started[-1]
        # Read back from the environment: a test's env may name other ports.
        daemon.dns_port, daemon.http_port = int(daemon.env["TRANCAD_PORT"]), int(daemon.env["TRANCAD_HTTP"])
        return daemon

    yield start
    for daemon in started:
        daemon.kill()


# The installer tests' throw-away machine: private mount and network namespaces.
_installer = runpy.run_path(os.path.join(os.path.dirname(__file__), "..", "installer", "conftest.py"))
# The shared helpers (tests/support/helpers.py), as that conftest found them.
read, wait_until, write = _installer["read"], _installer["wait_until"], _installer["write"]


class Sandbox(_installer["Machine"]):
    """A throw-away machine for trancad as root, its data in /var/lib/tranca. mode
    "file" keeps resolv.conf a mount point, as in containers; mode "dir" leaves it
    a plain file of /etc, so the atomic rename path is used."""

    def __init__(self, resolv_text="", mode="file"):
        mounts = _installer["MOUNTS"]
        super().__init__(resolv_text, mounts if mode == "file" else
                         [m for m in mounts if m != "/etc/resolv.conf"])
        self.daemons, self.data = [], "/var/lib/tranca"
        os.makedirs(self.path(self.data), mode=0o755)
        self.resolv, self.dconf = self.path("/etc/resolv.conf"), self.path("/etc/dconf")
        self.original_plist = self.path(self.data + "/dns-original.plist")

    def write_resolv(self, text):
        write(self.resolv, text)

    def read_resolv(self):
        return read(self.resolv)

    def keyfile(self, name):
        return os.path.join(self.dconf, "db", "local.d", name)

    def write_keyfile(self, name, text):
        write(self.keyfile(name), text)

    def trancad(self, user):
        return self.command((NOBODY if user else []) + [TRANCAD])

    def tool(self, *args, user=False, env=None):
        return subprocess.run(self.trancad(user) + list(args), env=self.env(env),
                              capture_output=True, text=True, timeout=60)

    def daemon(self, env=None, user=False):
        self.daemons.append(Process(self.trancad(user), self.env(env)))
        return self.daemons[-1]

    def env(self, extra=None):
        return super().env({"TRANCAD_DIR": self.data, **(extra or {})})

    def cleanup(self):
        for daemon in self.daemons:
            daemon.kill()
        super().cleanup()


@pytest.fixture
def sandbox():
    """Makes sandboxes; each one, and any daemon started in it, goes at the end."""
    made = []

    def make(*args, **kwargs):
        made.append(Sandbox(*args, **kwargs))
        return made[-1]

    yield make
    for box in made:
        box.cleanup()
