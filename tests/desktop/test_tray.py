"""Amparo's tray icon as a desktop shell sees it: the StatusNotifierItem it
registers with the panel's watcher, its tooltip, icon and menu, following
the filter's real state on a throw-away machine (see conftest.py); and the
window, whose scene exists only while it is open."""

import contextlib
import os

from conftest import SEPARATOR, wait_until
from xwindows import Display

# Past the 10-s refresh, with room for a slow (sanitizer) build on a busy machine.
REFRESH_BOUND = 40


def menu_for(state, action):
    return [state, SEPARATOR, "Abrir Amparo", action, SEPARATOR,
            "Buscar actualizaciones…", "Donar…", "Salir de Amparo"]


def test_tray_follows_the_filter_without_the_menu_being_opened(desktop, machine):
    amparo = desktop.start_amparo()
    item = desktop.tray_item(amparo)
    assert wait_until(item.tooltip, lambda t: t != "Amparo · Revisando…", 30,
                      "the first state") == "Amparo · Protección sin activar"
    icon_before = item.icon()
    assert icon_before, "no icon pixmaps: the panel would draw nothing"
    for width, height, argb in icon_before:
        assert width > 0 and len(argb) == width * height * 4
        assert any(argb[0::4]), f"the {width}×{height} pixmap is fully transparent"

    installed = machine.script("install.sh")
    assert installed.returncode == 0, installed.stdout + installed.stderr
    wait_until(item.tooltip, lambda t: t == "Amparo · Protección activa", REFRESH_BOUND,
               "the tooltip after installing")
    icon_active = item.icon()
    assert icon_active != icon_before, "the icon kept the uninstalled shield"

    stopped = machine.run(["systemctl", "stop", "tranca.service"])
    assert stopped.returncode == 0, stopped.stderr
    wait_until(item.tooltip, lambda t: t == "Amparo · Protección de respaldo", REFRESH_BOUND,
               "the tooltip after the daemon stopped")
    assert item.icon() != icon_active, "the icon kept the active shield"
    # The menu, rebuilt at opening, says the same as the tooltip.
    assert item.menu() == menu_for("Protección de respaldo", "Reactivar Amparo…")
    assert amparo.poll() is None, desktop.output()


def test_second_start_hands_over_to_the_running_one(desktop):
    first = desktop.start_amparo()
    item = desktop.tray_item(first)
    second = desktop.start_amparo()
    assert second.wait(timeout=60) == 0, desktop.output()
    # A block page's link is handed over too; any other link opens nothing.
    link = desktop.start_amparo("--permitir", "amparo://permitir?sitio=ejemplo.com")
    hostile = desktop.start_amparo("--permitir", "https://permitir?sitio=ejemplo.com")
    assert (link.wait(timeout=60), hostile.wait(timeout=60)) == (0, 1), desktop.output()
    assert first.poll() is None, desktop.output()
    assert item.tooltip().startswith("Amparo · ")
    assert len(desktop.registrations()) == 1, "the second start put a second icon in the panel"



def scene_threads(pid):
    """The threads only a QML engine and a Qt Quick window's renderer run."""
    names = set()
    for task in os.listdir(f"/proc/{pid}/task"):
        with contextlib.suppress(FileNotFoundError):
            names.add(open(f"/proc/{pid}/task/{task}/comm").read().strip())
    return names & {"QQmlThread", "QSGRenderThread"}


def test_the_window_exists_only_while_open(desktop):
    amparo = desktop.start_amparo("--bandeja")
    desktop.tray_item(amparo)
    with Display(desktop.env["DISPLAY"]) as display:
        def window():
            return next((w for w, title in display.windows(amparo.pid).items()
                         if title == "Amparo"), None)

        assert (window(), scene_threads(amparo.pid)) == (None, set()), "a scene at rest"
        for opening in range(2):
            assert desktop.start_amparo().wait(timeout=60) == 0, desktop.output()
            shown = wait_until(window, bool, 60, f"opening {opening}")
            assert "QQmlThread" in scene_threads(amparo.pid)
            display.close_window(shown)
            wait_until(lambda: (window(), scene_threads(amparo.pid)), lambda v: v == (None, set()),
                       30, f"the scene after closing {opening}")
    assert amparo.poll() is None, desktop.output()
