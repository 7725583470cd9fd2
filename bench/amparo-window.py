#!/usr/bin/env python3
"""Start-up, frame rate and memory of Amparo's window, measured under Xvfb.

Runs Amparo (release build) from a copy of its folder with three paintings,
so the header cross-fades every 12 s and the quotation fades every 20 s, on
a private X server, a private HOME and TMPDIR (no other Amparo is reopened).
Qt's render-loop log gives each frame; we report:
  - time from start to the first frame on screen;
  - frames per second while the header and the quotation animate, and the
    longest frame's own work (sync + render, the swap waits for the display);
  - resident memory after start and after 25 s.
    bench/amparo-window.py [seconds, default 26]
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(__file__), ".."))
APP_DIR = os.path.join(ROOT, "build", "release", "lib", "amparo")
LOGO = os.path.join(ROOT, "app", "resources", "logo.svg")
FRAME = re.compile(r"frame rendered in (\d+)ms, sync=(-?\d+), render=(-?\d+), swap=(-?\d+)")


def rss_kib(pid):
    with open(f"/proc/{pid}/status", encoding="utf-8") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 26.0
    work = tempfile.mkdtemp(prefix="amparo-ventana-")
    try:
        app = os.path.join(work, "amparo")
        shutil.copytree(APP_DIR, app)
        os.makedirs(os.path.join(app, "pinturas"))
        for i, colour in enumerate(["#1d3b6e", "#6e4a1d", "#2e6e1d"], start=1):
            subprocess.run(["rsvg-convert", "-w", "1200", "-h", "800", "-b", colour, "-o",
                            os.path.join(app, "pinturas", f"pintura-{i}.jpg"), LOGO], check=True)
        for name in ("home", "tmp"):
            os.makedirs(os.path.join(work, name), mode=0o700)
        display = ":%d" % (90 + os.getpid() % 100)
        xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten",
                                 "tcp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1.0)
        env = dict(os.environ, DISPLAY=display, HOME=os.path.join(work, "home"),
                   TMPDIR=os.path.join(work, "tmp"), XDG_RUNTIME_DIR=os.path.join(work, "tmp"),
                   QT_QPA_PLATFORM="xcb", QT_LOGGING_RULES="qt.scenegraph.time.renderloop=true")
        frames = []  # (time since start, total, sync, render)
        start = time.monotonic()
        amparo = subprocess.Popen([os.path.join(app, "Amparo")], env=env, stderr=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, text=True)

        def read():
            for line in amparo.stderr:
                found = FRAME.search(line)
                if found:
                    total, sync, render, _ = map(int, found.groups())
                    frames.append((time.monotonic() - start, total, sync, render))

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        time.sleep(3.0)
        rss_start = rss_kib(amparo.pid)
        time.sleep(max(0.0, seconds - 3.0))
        rss_end = rss_kib(amparo.pid)
        amparo.terminate()
        amparo.wait(timeout=10)
        xvfb.terminate()
        reader.join(timeout=5)

        drawn = [f for f in frames if f[1] > 0]
        if not drawn:
            print("no se vio ningún cuadro")
            return 1
        print(f"primer cuadro en pantalla: {drawn[0][0] * 1000:.0f} ms desde el arranque")
        # The header's cross-fade starts 12 s after the window shows and
        # lasts 1.2 s; the quotation fades at 20 s.
        for label, lo, hi in (("cambio de pintura", 12.0, 14.5), ("cambio de frase", 20.0, 21.5)):
            window = [f for f in drawn if lo <= f[0] <= hi]
            if len(window) < 2:
                print(f"{label}: sin cuadros")
                continue
            span = window[-1][0] - window[0][0]
            fps = (len(window) - 1) / span if span > 0 else 0
            work_ms = [max(0, f[2]) + max(0, f[3]) for f in window]
            print(f"{label}: {fps:.0f} cuadros/s, trabajo por cuadro mediana "
                  f"{statistics.median(work_ms):.0f} ms, máximo {max(work_ms)} ms")
        print(f"memoria residente: {rss_start / 1024:.0f} MiB a los 3 s, "
              f"{rss_end / 1024:.0f} MiB a los {seconds:.0f} s")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
