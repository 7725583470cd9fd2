"""The .deb made by CPack: what it depends on and holds, and what the desktop
finds in it. Installing, running and purging it: tests/system."""

import configparser
import glob
import os
import re
import subprocess
import sys
import xml.etree.ElementTree as ElementTree

import pytest

from conftest import HERE, SOURCE

sys.path.insert(0, os.path.join(HERE, "..", "system"))
from container import built_package  # noqa: E402 (the system tests' cache)

BUILD = os.environ.get("AMPARO_BUILD_DIR", os.path.join(SOURCE, "build", "asan"))
LIB = "usr/lib/amparo"
# Side by side: Amparo looks for the others beside its own executable.
PROGRAMS = ["Amparo", "amparo-estado", "amparo-admin", "trancad", "install.sh", "disable.sh",
            "uninstall.sh", "update_blocklist.sh", "proxy_install.sh", "proxy_uninstall.sh"]


@pytest.fixture(scope="module")
def package():
    return built_package(BUILD, os.environ.get("AMPARO_SYSTEM_CACHE", f"{BUILD}/system"))


def depends(package, name):
    """Every package a control field names, alternatives included."""
    field = subprocess.run(["dpkg-deb", "--field", package, name], capture_output=True,
                           text=True, check=True).stdout
    return {choice.split("(")[0].strip() for choice in re.split(r"[,|]", field) if choice.strip()}


def qml_packages():
    """The Debian packages of the QML modules Amparo's windows import and of
    those these import in turn; modules without a qmldir on disk (Amparo's
    own, those built into the Qt libraries) need none. QtQml, built in,
    imports WorkerScript whenever QtQuick loads."""
    qml_root = glob.glob("/usr/lib/*/qt6/qml")[0]
    pattern = re.compile(r"^\s*(?:default\s+)?(?:import|depends)\s+([A-Za-z][\w.]*)", re.M)

    def imports(paths):
        return {found for path in paths
                for found in pattern.findall(open(path, encoding="utf-8").read())}

    pending = {"QtQml.WorkerScript"} | imports(glob.glob(f"{SOURCE}/app/ui/qml/*.qml"))
    seen, qmldirs = set(), []
    while pending:
        module = pending.pop()
        seen.add(module)
        folder = os.path.join(qml_root, *module.split("."))
        if os.path.exists(f"{folder}/qmldir"):
            qmldirs.append(f"{folder}/qmldir")
            pending |= imports([qmldirs[-1]] + glob.glob(f"{folder}/*.qml")) - seen
    owners = subprocess.run(["dpkg", "-S", *qmldirs], capture_output=True, text=True,
                            check=True).stdout
    return {line.split(":")[0] for line in owners.splitlines()}


def test_what_it_depends_on_and_holds(package):
    needed = depends(package, "Depends")
    # Loaded at run time, so the shared-library scan cannot see them.
    assert qml_packages() | {"curl", "dnsutils", "iproute2", "util-linux", "pkexec",
                            "xdg-utils"} <= needed
    assert "libqt6quick6" in needed  # the shared-library scan ran
    assert {"policykit-1-gnome", "polkit-kde-agent-1"} <= depends(package, "Recommends")
    listing = subprocess.run(["dpkg-deb", "--contents", package], capture_output=True,
                             text=True, check=True).stdout.splitlines()
    modes = {line.rsplit(" ./", 1)[1].rstrip("/"): line.split()[:2] for line in listing}
    staged = os.path.join(BUILD, "lib", "amparo")
    for folder, dirs, files in os.walk(staged):
        for name in dirs + files:
            path = os.path.relpath(os.path.join(folder, name), staged)
            executable = name in PROGRAMS or name in dirs
            assert modes.get(f"{LIB}/{path}", [""])[0][1:] == (
                "rwxr-xr-x" if executable else "rw-r--r--"), path
    assert {owner for _, owner in modes.values()} == {"root/root"}
    assert modes["etc/logrotate.d/amparo"][0] == "-rw-r--r--"
    assert not [path for path in modes if "systemd/system" in path], "installing enables nothing"


def test_the_desktop_finds_amparo_and_amparo_its_password_helper(package, tmp_path):
    subprocess.run(["dpkg-deb", "-x", package, str(tmp_path)], check=True)
    program = tmp_path / LIB / "Amparo"
    assert os.path.realpath(tmp_path / "usr/bin/amparo") == str(program)
    # pkexec runs exactly the path an action names, as root, under the action
    # whose first argument is the verb: one for each verb the wrapper takes.
    policy = ElementTree.parse(tmp_path / "usr/share/polkit-1/actions/org.amparo.admin.policy")
    actions = {action.find("annotate[@key='org.freedesktop.policykit.exec.argv1']").text:
               action.find("annotate[@key='org.freedesktop.policykit.exec.path']").text
               for action in policy.findall("action")}
    assert set(actions.values()) == {f"/{LIB}/amparo-admin"}
    usage = subprocess.run([str(tmp_path / LIB / "amparo-admin"), "echo hecho"],
                           capture_output=True, text=True, timeout=30)
    assert usage.returncode == 64 and usage.stdout == ""
    assert sorted(actions) == sorted(usage.stderr.split()[-1].split("|")) == sorted(
        action.get("id").removeprefix("org.amparo.admin.") for action in policy.findall("action"))

    main = open(os.path.join(SOURCE, "app", "main.cpp"), encoding="utf-8").read()
    name = re.search(r'setDesktopFileName\(QStringLiteral\("([^"]+)"\)', main).group(1)
    for entry in (tmp_path / "usr/share/applications", tmp_path / "etc/xdg/autostart"):
        entry /= f"{name}.desktop"
        check = subprocess.run(["desktop-file-validate", str(entry)], capture_output=True,
                               text=True)
        assert check.returncode == 0 and not re.search(r": (error|warning):", check.stdout), \
            check.stdout
        keys = configparser.ConfigParser(interpolation=None)
        keys.read(entry, encoding="utf-8")
        keys = keys["Desktop Entry"]
        assert tmp_path / keys["exec"].split()[0].lstrip("/") == program, entry
        assert keys["icon"] == "amparo" and keys["terminal"] == "false"
    assert keys["x-gnome-autostart-enabled"] == "true"

    icons = tmp_path / "usr/share/icons/hicolor"
    assert (icons / "scalable/apps/amparo.svg").is_file()
    # Each PNG in the folder of its own size (width and height from its header).
    sizes = {png.parent.parent.name: png.read_bytes()[16:24] for png in icons.glob("*/apps/*.png")}
    assert all(f"{int.from_bytes(size[:4], 'big')}x{int.from_bytes(size[4:], 'big')}" == folder
               for folder, size in sizes.items())
    assert {"16x16", "32x32", "48x48", "256x256"} <= set(sizes)
