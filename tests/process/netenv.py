"""Sandboxes for the network-settings tests: trancad runs in a private mount
namespace where /etc/resolv.conf and /etc/dconf (or all of /etc) are temporary
copies, and talks to a private D-Bus system bus with a fake NetworkManager.
Nothing here can reach this machine's real settings."""

import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import dbus

TRANCAD = os.environ.get("TRANCAD_BIN", "build/asan/bin/trancad")
TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fake_networkmanager.py")
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
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        for key, value in (extra or {}).items():
            if value is None:
                env.pop(key, None)
            else:
                env[key] = value
        return env

    def tool(self, *args, user=False, env=None):
        return subprocess.run(self.command([TRANCAD, *args], user=user), env=self.env(env),
                              capture_output=True, text=True, timeout=60)

    def daemon(self, env=None):
        return Daemon(self.command([TRANCAD]), self.env(env))

    def cleanup(self):
        shutil.rmtree(self.root, ignore_errors=True)


def messages(stdout):
    """Log lines without their "[time] " prefix."""
    out = []
    for line in stdout.splitlines():
        assert line.startswith("[") and "] " in line, f"not a log line: {line!r}"
        out.append(line.split("] ", 1)[1])
    return out


class Daemon:
    def __init__(self, argv, env):
        self.lines = []
        self.proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line.rstrip("\n"))

    def wait_for(self, fragment, timeout=20.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(fragment in line for line in self.lines):
                return
            if self.proc.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError(f"no {fragment!r}; log: {self.lines}")

    def terminate(self, timeout=30.0):
        self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(timeout=timeout)
        self._reader.join(timeout=5)
        return status

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


class PrivateSystemBus:
    """dbus-daemon with a system-bus configuration on a socket of our own."""

    def __init__(self):
        self.dir = world_readable_tempdir("trancad-bus-")
        config = os.path.join(self.dir, "bus.conf")
        with open(config, "w", encoding="utf-8") as handle:
            handle.write(f"""<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path={self.dir}/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
""")
        self.proc = subprocess.Popen(["dbus-daemon", f"--config-file={config}", "--nofork",
                                      "--print-address"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.proc.stdout.readline().strip()
        assert self.address.startswith("unix:"), self.address
        self.connection = dbus.bus.BusConnection(self.address)
        self.mock = None

    def start_networkmanager(self, global_dns=None, connection_id="Cable de prueba"):
        import json
        parameters = json.dumps({"GlobalDns": global_dns or {}, "ConnectionId": connection_id})
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=self.address)
        self.mock = subprocess.Popen(["/usr/bin/python3", "-m", "dbusmock", "--system",
                                      "--template", TEMPLATE, "-p", parameters],
                                     env=env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while not self.connection.name_has_owner("org.freedesktop.NetworkManager"):
            assert self.mock.poll() is None, "the fake NetworkManager did not start"
            assert time.monotonic() < deadline, "the fake NetworkManager never took its name"
            time.sleep(0.05)

    def _manager(self):
        proxy = self.connection.get_object("org.freedesktop.NetworkManager",
                                           "/org/freedesktop/NetworkManager")
        return dbus.Interface(proxy, "org.freedesktop.DBus.Properties")

    def global_dns(self):
        """GlobalDnsConfiguration as plain dicts and lists."""
        def plain(value):
            if isinstance(value, dict):
                return {str(k): plain(v) for k, v in value.items()}
            if isinstance(value, list):
                return [plain(v) for v in value]
            return str(value)
        return plain(self._manager().Get("org.freedesktop.NetworkManager",
                                         "GlobalDnsConfiguration"))

    def set_global_dns(self, spec):
        import importlib.util
        module_spec = importlib.util.spec_from_file_location("fake_nm", TEMPLATE)
        module = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(module)
        self._manager().Set("org.freedesktop.NetworkManager", "GlobalDnsConfiguration",
                            module.global_dns(spec))

    def close(self):
        for proc in (self.mock, self.proc):
            if proc is not None and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)
