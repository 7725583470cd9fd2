"""Amparo as a desktop sees it: a private Xvfb for the session; per tray test a
session bus whose panel tray host is a python3-dbusmock StatusNotifierWatcher,
a private home, and a throw-away machine (tests/installer/conftest.py) holding
the filter's state, inside whose namespaces Amparo runs."""

import os
import runpy
import shutil
import subprocess
import sys
import tempfile
import time

import dbus
import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.environ.get("AMPARO_SOURCE_DIR", os.path.normpath(os.path.join(HERE, "..", "..")))
APP = os.environ.get("AMPARO_APP", os.path.join(SOURCE, "build", "asan", "lib", "amparo", "Amparo"))
NO_BUS = "unix:path=/nonexistent/amparo-desktop-test-bus"
WATCHER = "org.kde.StatusNotifierWatcher"
SEPARATOR = "---"

# The machine installs the trancad beside Amparo, so Amparo finds it current.
os.environ["TRANCAD_BIN"] = os.path.join(os.path.dirname(APP), "trancad")
# Run from its path rather than imported: "conftest" is this file's name.
_installer = runpy.run_path(os.path.join(HERE, "..", "installer", "conftest.py"))
machine, wait_until = _installer["machine"], _installer["wait_until"]


def gui_env(display, home):
    """What a desktop gives a program, minus anything of this host's own session."""
    for folder in ("run", "tmp", ".config"):
        os.makedirs(os.path.join(home, folder), mode=0o700, exist_ok=True)
    # Mesa and Qt keep memory until exit; the headless tests check our leaks.
    asan = ":".join(part for part in (os.environ.get("ASAN_OPTIONS"), "detect_leaks=0") if part)
    return {"LANG": "C.UTF-8", "DISPLAY": display, "QT_QPA_PLATFORM": "xcb", "HOME": home,
            "QT_LOGGING_RULES": "qt.qpa.tray*=true",
            "XDG_CONFIG_HOME": os.path.join(home, ".config"),
            "XDG_RUNTIME_DIR": os.path.join(home, "run"),
            # Qt's local sockets live here: the single-instance name stays private.
            "TMPDIR": os.path.join(home, "tmp"),
            # With no system bus, the network settings come from /etc/resolv.conf.
            "DBUS_SESSION_BUS_ADDRESS": NO_BUS, "DBUS_SYSTEM_BUS_ADDRESS": NO_BUS,
            "ASAN_OPTIONS": asan}


@pytest.fixture(scope="session")
def x_display():
    """A private Xvfb; its socket in /tmp/.X11-unix reaches every network namespace."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                               "1280x1024x24", "-nolisten", "tcp"], pass_fds=[write_end],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as reader:
        number = reader.readline().strip()
    if not number:  # killed first: wait() must not hang on a server still running
        server.kill()
        raise RuntimeError(f"Xvfb did not start (exit {server.wait()})")
    yield ":" + number.decode()
    server.terminate()
    server.wait()


class TrayItem:
    """Amparo's StatusNotifierItem and its menu, read as a panel reads them."""

    def __init__(self, bus, service):
        self.bus, self.service = bus, service
        self.properties = dbus.Interface(bus.get_object(service, "/StatusNotifierItem"),
                                         "org.freedesktop.DBus.Properties")

    def get(self, name):
        return self.properties.Get("org.kde.StatusNotifierItem", name, byte_arrays=True)

    def tooltip(self):
        return str(self.get("ToolTip")[2])  # (icon name, pixmaps, title, text)

    def icon(self):
        return [(int(w), int(h), bytes(data)) for w, h, data in self.get("IconPixmap")]

    def menu(self):
        """The rows after the shell announces the opening, separators as '---'."""
        menu = dbus.Interface(self.bus.get_object(self.service, str(self.get("Menu"))),
                              "com.canonical.dbusmenu")
        menu.AboutToShow(0)
        _revision, (_id, _props, children) = menu.GetLayout(0, -1, ["label"])
        return [SEPARATOR if props.get("type") == "separator" or not props.get("label")
                else str(props["label"]) for _child, props, _grandchildren in children]


@pytest.fixture
def desktop(x_display, machine):
    """A session bus with a tray host, a home, and the Amparo processes started in it."""
    made = Desktop(x_display, machine)
    yield made
    made.close()


class Desktop:
    def __init__(self, display, machine):
        self.machine, self.processes, self.mocks = machine, [], []
        self.root = tempfile.mkdtemp(prefix="amparo-escritorio-")
        address = "unix:path=" + os.path.join(self.root, "bus")
        self.bus_daemon = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address",
             "--address=" + address], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        assert self.bus_daemon.stdout.readline().startswith("unix:"), "dbus-daemon did not start"
        self.bus = dbus.bus.BusConnection(address)
        self.env = {**gui_env(display, os.path.join(self.root, "home")),
                    "DBUS_SESSION_BUS_ADDRESS": address}
        # Qt registers its item only when this name exists and its
        # IsStatusNotifierHostRegistered property, read by introspection, is true.
        self.watcher = self.start_mock(WATCHER, "/StatusNotifierWatcher")
        self.watcher.AddProperties(WATCHER, {
            "IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0),
            "RegisteredStatusNotifierItems": dbus.Array([], signature="s")})
        self.watcher.AddMethod(WATCHER, "RegisterStatusNotifierItem", "s", "", "")

    def start_mock(self, name, path, template=None):
        """A python3-dbusmock service owning name on the session bus (an empty
        object at path, or a template's), and its mock interface."""
        arguments = ["--template", template] if template else [name, path, name]
        self.mocks.append(subprocess.Popen(
            [sys.executable, "-m", "dbusmock", *arguments],
            env={**os.environ, "DBUS_SESSION_BUS_ADDRESS": self.env["DBUS_SESSION_BUS_ADDRESS"]},
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_until(lambda: self.bus.name_has_owner(name), bool, 30, "the stand-in " + name)
        return dbus.Interface(self.bus.get_object(name, path), "org.freedesktop.DBus.Mock")

    def registrations(self):
        """The names that called RegisterStatusNotifierItem, in order."""
        return [str(args[0]) for _time, args in
                self.watcher.GetMethodCalls("RegisterStatusNotifierItem")]

    def start_amparo(self, *arguments, env=None):
        """Amparo, started inside the machine, its output in a log."""
        with open(os.path.join(self.root, f"amparo-{len(self.processes)}.log"), "wb") as log:
            self.processes.append(subprocess.Popen(
                self.machine.command([APP, *arguments]), env=self.machine.env({**self.env, **(
                    env or {})}), stdout=log, stderr=subprocess.STDOUT))
        return self.processes[-1]

    def output(self):
        return "".join(f"--- Amparo {index}\n" + open(os.path.join(
            self.root, f"amparo-{index}.log"), errors="replace").read()[-6000:]
            for index in range(len(self.processes)))

    def tray_item(self, proc, timeout=90):
        """The item proc registers, once the tray host has been told about it."""
        deadline = time.monotonic() + timeout
        while not self.registrations():
            assert proc.poll() is None, f"Amparo ended ({proc.returncode})\n{self.output()}"
            assert time.monotonic() < deadline, f"no tray item registered\n{self.output()}"
            time.sleep(0.2)
        return TrayItem(self.bus, self.registrations()[0])

    def close(self):
        for proc in self.processes:
            proc.terminate()
            try:
                proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.bus.close()
        for proc in (*self.mocks, self.bus_daemon):
            proc.terminate()
            proc.wait()
        shutil.rmtree(self.root, ignore_errors=True)
