"""Sandboxes for the network-settings tests: trancad runs in a private mount
namespace where /etc/resolv.conf and /etc/dconf (or all of /etc) are temporary
copies, with no system bus. Nothing here can reach this machine's real
settings."""

import os
import shutil
import subprocess
import tempfile

from conftest import TRANCAD, Process, sanitizer_options

NO_BUS = "unix:path=/nonexistent/trancad-test-bus"
NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]


def world_readable_tempdir(prefix):
    path = tempfile.mkdtemp(prefix=prefix)
    os.chmod(path, 0o755)
    return path


class Sandbox:
    """A temporary /etc for one test. mode "file" bind-mounts resolv.conf and
    dconf alone (resolv.conf is then a mount point, as in containers); mode
    "dir" replaces /etc as a whole so the atomic rename path is used."""

    def __init__(self, resolv_text="", mode="file", bus=NO_BUS):
        self.mode = mode
        self.bus = bus
        self.root = world_readable_tempdir("trancad-red-")
        self.etc = os.path.join(self.root, "etc")
        self.dconf = os.path.join(self.etc, "dconf")
        self.data = os.path.join(self.root, "data")
        for path in (self.etc, self.dconf, self.data):
            os.makedirs(path, exist_ok=True)
            os.chmod(path, 0o755)
        self.resolv = os.path.join(self.etc, "resolv.conf")
        if resolv_text is not None:
            self.write_resolv(resolv_text)
        if mode == "dir" and os.path.exists("/etc/ld.so.cache"):
            shutil.copy("/etc/ld.so.cache", self.etc)

    def write_resolv(self, text):
        with open(self.resolv, "w", encoding="utf-8") as handle:
            handle.write(text)
        os.chmod(self.resolv, 0o644)

    def read_resolv(self):
        with open(self.resolv, encoding="utf-8") as handle:
            return handle.read()

    def nameservers(self):
        return [line.split()[1] for line in self.read_resolv().splitlines()
                if line.startswith("nameserver ")]

    @property
    def original_plist(self):
        return os.path.join(self.data, "dns-original.plist")

    def keyfile(self, name):
        return os.path.join(self.dconf, "db", "local.d", name)

    def write_keyfile(self, name, text):
        os.makedirs(os.path.dirname(self.keyfile(name)), exist_ok=True)
        with open(self.keyfile(name), "w", encoding="utf-8") as handle:
            handle.write(text)

    def command(self, argv, user=False):
        if self.mode == "file":
            script = 'mount --bind "$1" /etc/resolv.conf && mount --bind "$2" /etc/dconf ' \
                     '&& shift 2 && exec "$@"'
            mounts = [self.resolv, self.dconf]
        else:
            script = 'mount --bind "$1" /etc && shift && exec "$@"'
            mounts = [self.etc]
        return ["unshare", "-m", "--", "/bin/sh", "-c", script, "sh", *mounts,
                *(NOBODY if user else []), *argv]

    def env(self, extra=None):
        env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "TRANCAD_DIR": self.data,
            "DBUS_SYSTEM_BUS_ADDRESS": self.bus,
        }
        env.update(sanitizer_options())
        for key, value in (extra or {}).items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        return env

    def tool(self, *args, user=False, env=None):
        return subprocess.run(self.command([TRANCAD, *args], user=user), env=self.env(env),
                              capture_output=True, text=True, timeout=60)

    def daemon(self, env=None, user=False):
        return Process(self.command([TRANCAD], user=user), self.env(env))

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


def messages(stdout):
    """Log lines without their "[time] " prefix."""
    out = []
    for line in stdout.splitlines():
        assert line.startswith("[") and "] " in line, f"not a log line: {line!r}"
        out.append(line.split("] ", 1)[1])
    return out
