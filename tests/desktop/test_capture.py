"""Capture mode: every state renders a full, drawn window of the asked size,
its status tile in the state's colour. All captures run at once."""

import os
import subprocess
from concurrent.futures import ThreadPoolExecutor

import pytest
from PIL import Image

from conftest import APP, gui_env

COLOURS = {"accent": (143, 193, 245), "gold": (226, 189, 98), "coral": (229, 123, 108)}
# (state, its colour, window height asked through AMPARO_CAPTURA_ALTO)
STATES = [("activa", "accent", None), ("actualizar", "accent", None),
          ("sin-instalar", "accent", None), ("respaldo", "gold", None), ("no-usado", "gold", 640),
          ("sin-internet", "coral", None), ("sin-internet-vieja", "coral", None),
          ("desactivada", "coral", 960), ("pendiente", "accent", None)]
DEFAULT_HEIGHT = 800
# The left of the status card, below the header: the status tile and its
# glyph, above the card's buttons (which are accent in every state).
TILE_AREA = (0, 225, 120, 305)
# What the window's surfaces are made of; the state's colour shows on them
# as a blend of the two.
DARK = (20, 24, 36)


def run_capture(display, folder, name, state, height=None):
    env = {**gui_env(display, os.path.join(folder, "home-" + name)), "PATH": "/usr/bin:/bin",
           **({"AMPARO_CAPTURA_ALTO": str(height)} if height else {})}
    path = os.path.join(folder, name + ".png")
    return subprocess.run([APP, "--captura", path, state], env=env, capture_output=True,
                          text=True, timeout=180), path


@pytest.fixture(scope="module")
def captures(x_display, tmp_path_factory):
    folder = str(tmp_path_factory.mktemp("capturas"))
    jobs = {state: (state, height) for state, _colour, height in STATES}
    # Each capture mostly waits for its render delay: run them together.
    with ThreadPoolExecutor(max_workers=6) as pool:
        futures = {name: pool.submit(run_capture, x_display, folder, name, *job)
                   for name, job in jobs.items()}
        return {name: future.result() for name, future in futures.items()}


def opened(captures, name):
    result, path = captures[name]
    assert result.returncode == 0, f"{name}: exit {result.returncode}\n{result.stderr[-4000:]}"
    assert os.path.isfile(path), f"{name}: exit 0 but no picture"
    return Image.open(path).convert("RGB")


def carries(pixel, colour, tolerance=12):
    """True when pixel is colour drawn over the dark surface at half opacity or more."""
    drawn = [p - d for p, d in zip(pixel, DARK)]
    full = [c - d for c, d in zip(colour, DARK)]
    amount = sum(a * b for a, b in zip(drawn, full)) / sum(b * b for b in full)
    off = sum((a - amount * b) ** 2 for a, b in zip(drawn, full)) ** 0.5
    return 0.5 <= amount <= 1.1 and off <= tolerance


@pytest.mark.parametrize("state,colour,height", STATES)
def test_capture_is_a_drawn_window_with_the_state_colour(captures, state, colour, height):
    image = opened(captures, state)
    assert image.size == (480, height or DEFAULT_HEIGHT)
    # An empty or unloaded scene is one or two flat colours plus a gradient.
    assert len(set(image.getdata())) > 1000
    pixels = list(image.crop(TILE_AREA).getdata())
    found = {name: sum(carries(p, rgb) for p in pixels) for name, rgb in COLOURS.items()}
    assert found[colour] >= 40 and max(n for c, n in found.items() if c != colour) < 30, found

