#!/usr/bin/python3
"""Resident memory of Amparo at rest in the panel, with its window open, and
after closing it, measured under Xvfb.

Runs Amparo (release build unless given) on a private X server, with a
private session bus whose panel tray host is a python3-dbusmock
StatusNotifierWatcher (so the tray item is registered as on a desktop), a
private HOME and runtime folder, and no filter installed. Phases:
  - started in the panel ("--bandeja"), the window never opened;
  - the window opened by a second start (the instance channel);
  - the window closed as a window manager closes it;
  - after more openings and closings (memory that grows with each is a leak).
Each figure is read from /proc/<pid>/status after a pause.
    bench/amparo-memory.py [path to Amparo] [pause in seconds, default 6]
AMPARO_BENCH_MAPS=1 also lists what holds the most at each phase.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

import dbus

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))
from helpers import wait_until  # noqa: E402
from xwindows import Display  # noqa: E402

APP = os.path.join(ROOT, "build", "release", "lib", "amparo", "Amparo")
WATCHER = "org.kde.StatusNotifierWatcher"
CYCLES = 5


def status(pid):
    fields = {}
    with open(f"/proc/{pid}/status", encoding="utf-8") as lines:
        for line in lines:
            name, _, value = line.partition(":")
            if name in ("VmRSS", "RssAnon", "RssFile", "RssShmem", "Threads"):
                fields[name] = int(value.split()[0])
    return fields


def largest_mappings(pid, count=8):
    """The files (or "[anon]" and the like) holding the most resident memory, in MiB."""
    held = {}
    name = ""
    with open(f"/proc/{pid}/smaps", encoding="utf-8") as lines:
        for line in lines:
            parts = line.split()
            if "-" in parts[0] and not parts[0].endswith(":"):
                name = parts[5] if len(parts) > 5 else "[anon]"
            elif parts[0] == "Rss:":
                held[name] = held.get(name, 0) + int(parts[1])
    largest = sorted(held.items(), key=lambda item: -item[1])[:count]
    return "  ".join(f"{os.path.basename(n)} {kib / 1024:.1f}" for n, kib in largest)


def report(label, pid, display):
    fields = status(pid)
    shown = [title for title in display.windows(pid).values() if title]
    mib = {name: fields[name] / 1024 for name in ("VmRSS", "RssAnon", "RssFile", "RssShmem")}
    print(f"{label:<34} VmRSS {mib['VmRSS']:6.1f} MiB  (anon {mib['RssAnon']:5.1f}, "
          f"file {mib['RssFile']:5.1f}, shmem {mib['RssShmem']:4.1f})  threads {fields['Threads']:2}"
          f"  windows {shown or '-'}", flush=True)
    if os.environ.get("AMPARO_BENCH_MAPS"):
        print("    " + largest_mappings(pid), flush=True)


def main():
    app = sys.argv[1] if len(sys.argv) > 1 else APP
    pause = float(sys.argv[2]) if len(sys.argv) > 2 else 6.0
    work = tempfile.mkdtemp(prefix="amparo-memoria-")
    processes = []
    try:
        read_end, write_end = os.pipe()
        processes.append(subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24", "-nolisten",
             "tcp"], pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        os.close(write_end)
        with os.fdopen(read_end, "rb") as reader:
            x_display = ":" + reader.readline().strip().decode()
        address = "unix:path=" + os.path.join(work, "bus")
        bus_daemon = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address",
             "--address=" + address], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        processes.append(bus_daemon)
        bus_daemon.stdout.readline()
        bus = dbus.bus.BusConnection(address)
        processes.append(subprocess.Popen(
            [sys.executable, "-m", "dbusmock", WATCHER, "/StatusNotifierWatcher", WATCHER],
            env={**os.environ, "DBUS_SESSION_BUS_ADDRESS": address},
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        wait_until(lambda: bus.name_has_owner(WATCHER), bool, 30, "the tray host")
        watcher = dbus.Interface(bus.get_object(WATCHER, "/StatusNotifierWatcher"),
                                 "org.freedesktop.DBus.Mock")
        watcher.AddProperties(WATCHER, {
            "IsStatusNotifierHostRegistered": True, "ProtocolVersion": dbus.Int32(0),
            "RegisteredStatusNotifierItems": dbus.Array([], signature="s")})
        watcher.AddMethod(WATCHER, "RegisterStatusNotifierItem", "s", "", "")

        home = os.path.join(work, "home")
        for folder in ("run", "tmp", ".config"):
            os.makedirs(os.path.join(home, folder), mode=0o700)
        env = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8", "DISPLAY": x_display, "HOME": home,
               "QT_QPA_PLATFORM": "xcb", "DBUS_SESSION_BUS_ADDRESS": address,
               "XDG_CONFIG_HOME": os.path.join(home, ".config"),
               "XDG_RUNTIME_DIR": os.path.join(home, "run"), "TMPDIR": os.path.join(home, "tmp"),
               # Qt's choice of renderer, to compare them.
               **{k: v for k, v in os.environ.items() if k.startswith(("QT_", "QSG_"))}}
        amparo = subprocess.Popen([app, "--bandeja"], env=env, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        processes.append(amparo)
        wait_until(lambda: watcher.GetMethodCalls("RegisterStatusNotifierItem"), bool, 60,
                   "the tray item")
        print(f"Amparo {app}, pause {pause:g} s")
        with Display(x_display) as display:

            def window():
                return next((w for w, title in display.windows(amparo.pid).items()
                             if title == "Amparo"), None)

            def open_window():
                subprocess.run([app], env=env, timeout=60, check=True)
                wait_until(window, bool, 60, "the window")
                time.sleep(pause)

            def close_window():
                display.close_window(window())
                time.sleep(pause)

            time.sleep(pause)
            report("at rest, window never opened", amparo.pid, display)
            open_window()
            report("window open", amparo.pid, display)
            close_window()
            report("window closed", amparo.pid, display)
            for _ in range(CYCLES):
                open_window()
                close_window()
            report(f"closed after {CYCLES} more openings", amparo.pid, display)
        assert amparo.poll() is None, "Amparo ended"
    finally:
        for proc in reversed(processes):
            proc.terminate()
            proc.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
