"""Fixtures of the system tests: this build's .deb, the cached root file system,
and one freshly booted machine per module with the package installed."""

import os
import tempfile

import pytest

from container import BASE_PACKAGES, BLOCKED, Machine, Unavailable, built_package, \
    package_depends, root_filesystem

SOURCE = os.environ.get("AMPARO_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("AMPARO_BUILD_DIR", os.path.join(SOURCE, "build", "asan"))
CACHE = os.environ.get("AMPARO_SYSTEM_CACHE", os.path.join(BUILD, "system"))


@pytest.fixture(scope="session")
def deb():
    return built_package(BUILD, CACHE)


@pytest.fixture(scope="session")
def rootfs(deb):
    try:
        return root_filesystem(CACHE, BASE_PACKAGES + package_depends(deb))
    except Unavailable as reason:
        pytest.skip(f"Sin Debian 12 de prueba: {reason}")


@pytest.fixture(scope="module")
def machine(rootfs, deb):
    made = Machine(rootfs, tempfile.mkdtemp(prefix="amparo-sistema-"))
    try:
        made.start()
        with open(deb, "rb") as source, open(made.path("/root/amparo.deb"), "wb") as target:
            target.write(source.read())
        made.run("DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends"
                 f" /root/amparo.deb && mkdir -p /var/lib/tranca"
                 f" && echo {BLOCKED} > /var/lib/tranca/blocklist.txt", check=True)
        yield made
    finally:
        made.cleanup()
