"""What the Python tests share: files written whole, and waiting on a condition."""

import os
import time


def write(path, text, mode=0o644):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
    os.chmod(path, mode)


def read(path):
    with open(path, encoding="utf-8") as handle:
        return handle.read()


def wait_until(read_value, accept, timeout, what, step=0.2):
    """Polls read_value() until accept(value); the value, or a failure naming the last one seen."""
    deadline = time.monotonic() + timeout
    while not accept(value := read_value()):
        if time.monotonic() > deadline:
            raise AssertionError(f"{what}: still {value!r} after {timeout} s")
        time.sleep(step)
    return value
