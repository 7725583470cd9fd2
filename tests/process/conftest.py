"""Shared fixtures for the process-level tests: the real trancad binary, run
with a temporary data directory, unprivileged ports and TRANCAD_DNS=0."""

import os
import queue
import random
import signal
import socket
import subprocess
import threading
import time

import pytest

TRANCAD = os.environ.get("TRANCAD_BIN", "build/asan/bin/trancad")


def free_port():
    """A loopback port that is free right now, for UDP and TCP alike (the DNS
    port is both). Taken below the kernel's ephemeral range (32768 and up): a
    port from that range can become some other test's outgoing connection
    before trancad binds it."""
    for _ in range(500):
        port = random.randint(20000, 32000)
        try:
            for kind_ in (socket.SOCK_DGRAM, socket.SOCK_STREAM):
                with socket.socket(socket.AF_INET, kind_) as probe:
                    probe.bind(("127.0.0.1", port))
        except OSError:
            continue
        return port
    raise RuntimeError("no free port below the ephemeral range")


class Process:
    """A running program with its standard output collected line by line."""

    def __init__(self, argv, env):
        self.env = env
        self.lines = []
        self._queue = queue.Queue()
        self.proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
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
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no line with {fragment!r} in {timeout}s; log: {self.lines}")
            try:
                line = self._queue.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise AssertionError(f"trancad ended before {fragment!r}; log: {self.lines}")
            if fragment in line:
                return line

    def stop(self, sig=signal.SIGTERM, timeout=30.0):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait(timeout)

    def wait(self, timeout):
        status = self.proc.wait(timeout=timeout)
        self._reader.join(timeout=5)
        return status

    def stderr(self):
        return self.proc.stderr.read().decode("utf-8", "replace")

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def sanitizer_options():
    return {key: os.environ[key] for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")
            if key in os.environ}


class Trancad(Process):
    """trancad on free loopback ports, leaving the machine's DNS alone."""

    def __init__(self, data_dir, env=None, args=(), binary=TRANCAD):
        self.data_dir = str(data_dir)
        full = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "TRANCAD_DIR": self.data_dir,
            "TRANCAD_PORT": str(free_port()),
            "TRANCAD_HTTP": str(free_port()),
            "TRANCAD_DNS": "0",
            **sanitizer_options(),
        }
        for key, value in (env or {}).items():
            if value is None:
                full.pop(key, None)
            else:
                full[key] = value
        super().__init__([binary, *args], full)

    @property
    def dns_port(self):
        return int(self.env["TRANCAD_PORT"])

    @property
    def http_port(self):
        return int(self.env["TRANCAD_HTTP"])


@pytest.fixture
def trancad_factory(tmp_path):
    started = []

    def start(env=None, args=(), data_dir=None):
        daemon = Trancad(data_dir or tmp_path, env=env, args=args)
        started.append(daemon)
        return daemon

    yield start
    for daemon in started:
        daemon.kill()
