"""The .deb made by CPack: its contents, and dpkg installing and removing it in
a throw-away root without starting anything."""

import configparser
import glob
import os
import re
import stat
import subprocess
import xml.etree.ElementTree as ElementTree

import pytest

from conftest import ORIGINAL_RESOLV, SCRIPTS, SOURCE, hosts_list

BUILD = os.environ.get("AMPARO_BUILD_DIR", os.path.join(SOURCE, "build", "asan"))
LIB = "usr/lib/amparo"
# Side by side: Amparo looks for the others beside its own executable.
PROGRAMS = ["Amparo", "amparo-estado", "amparo-admin", "trancad", "install.sh", "disable.sh",
            "uninstall.sh", "update_blocklist.sh", "proxy_install.sh", "proxy_uninstall.sh"]
DATA = ["common.sh", "tranca.service", "tranca.logrotate", "proxy_common.sh",
        "tranca-proxy.service", "proxy/amparo_filter.py", "proxy/palabras.txt",
        "proxy/sin_interceptar.txt"]
ROTATION = "etc/logrotate.d/amparo"


@pytest.fixture(scope="module")
def package(tmp_path_factory):
    out = tmp_path_factory.mktemp("paquete")
    result = subprocess.run(["cpack", "-G", "DEB", "--config",
                             os.path.join(BUILD, "CPackConfig.cmake"), "-B", str(out)],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    found = glob.glob(str(out / "amparo_*.deb"))
    assert len(found) == 1, os.listdir(out)
    return found[0]


def dpkg_root(root, *args):
    return subprocess.run(["dpkg", f"--root={root}", "--force-script-chrootless",
                           "--force-depends", "--log=/dev/null", *args],
                          capture_output=True, text=True, timeout=120,
                          env={"PATH": os.environ.get("PATH", "/usr/bin:/bin")})


def empty_root(path):
    admin = path / "var" / "lib" / "dpkg"
    for sub in ("info", "updates", "triggers"):
        (admin / sub).mkdir(parents=True)
    (admin / "status").write_text("")
    return path


def field(package, name):
    return subprocess.run(["dpkg-deb", "--field", package, name], capture_output=True,
                          text=True, check=True).stdout.strip()


def field_packages(package, name):
    """Every package a control field names, alternatives included."""
    return {choice.split("(")[0].strip() for item in field(package, name).split(",")
            for choice in item.split("|") if choice.strip()}


def imported_modules(paths):
    """The modules named by import lines of QML files and import or depends
    lines of qmldir files."""
    found = set()
    for path in paths:
        with open(path, encoding="utf-8") as handle:
            found |= set(re.findall(r"^\s*(?:default\s+)?(?:import|depends)\s+([A-Za-z][\w.]*)",
                                    handle.read(), re.M))
    return found


def qml_packages():
    """The Debian packages holding the QML modules Amparo's windows import and
    the modules those import in turn. Modules without a qmldir on disk
    (Amparo's own, those built into the Qt libraries) need no package."""
    qml_root = glob.glob("/usr/lib/*/qt6/qml")[0]
    # QtQml, built into its library, imports this one whenever QtQuick loads.
    pending = {"QtQml.WorkerScript"}
    pending |= imported_modules(glob.glob(os.path.join(SOURCE, "app", "ui", "qml", "*.qml")))
    seen, qmldirs = set(), []
    while pending:
        module = pending.pop()
        seen.add(module)
        folder = os.path.join(qml_root, *module.split("."))
        if os.path.exists(os.path.join(folder, "qmldir")):
            qmldirs.append(os.path.join(folder, "qmldir"))
            pending |= imported_modules([qmldirs[-1]] + glob.glob(os.path.join(folder, "*.qml")))
            pending -= seen
    owners = subprocess.run(["dpkg", "-S", *qmldirs], capture_output=True, text=True,
                            check=True).stdout
    return {line.split(":")[0] for line in owners.splitlines()}


def test_the_package_holds_the_daemon_the_app_and_what_they_need(package):
    assert field(package, "Package") == "amparo"
    depends = field_packages(package, "Depends")
    for needed in ("curl", "dnsutils", "iproute2", "util-linux", "pkexec", "xdg-utils"):
        assert needed in depends
    # Loaded at run time, so the shared-library scan cannot see them.
    modules = qml_packages()
    assert {"qml6-module-qtquick", "qml6-module-qtquick-templates",
            "qml6-module-qt5compat-graphicaleffects"} <= modules
    assert modules <= depends, modules - depends
    assert "libqt6quick6" in depends  # the shared-library scan ran
    recommends = field_packages(package, "Recommends")
    assert {"policykit-1-gnome", "polkit-kde-agent-1"} <= recommends
    listing = subprocess.run(["dpkg-deb", "--contents", package], capture_output=True,
                             text=True, check=True).stdout
    for name in PROGRAMS:
        assert any(line.startswith("-rwxr-xr-x root/root") and line.endswith(f"./{LIB}/{name}")
                   for line in listing.splitlines()), name
    for path in [f"{LIB}/{name}" for name in DATA] + [ROTATION]:
        assert any(line.startswith("-rw-r--r-- root/root") and line.endswith(f"./{path}")
                   for line in listing.splitlines()), path
    # Whatever the build stages beside the program, the package ships there.
    shipped = {line.rsplit(f"./{LIB}/", 1)[1].split("/")[0] for line in listing.splitlines()
               if f"./{LIB}/" in line}
    assert set(os.listdir(os.path.join(BUILD, "lib", "amparo"))) <= shipped
    # Nothing in systemd's directories: installing must not enable anything.
    assert "systemd/system" not in listing


def test_dpkg_installs_and_removes_it_in_a_test_root_starting_nothing(package, tmp_path):
    root = empty_root(tmp_path / "raiz")
    result = dpkg_root(root, "-i", package)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "para activar el filtro, ejecutá: sudo /usr/lib/amparo/install.sh" in result.stdout

    for name in PROGRAMS + DATA:
        path = root / LIB / name
        mode = stat.S_IMODE(os.stat(path).st_mode)
        assert mode == (0o755 if name in PROGRAMS else 0o644), name
    for installed, source in ((f"{LIB}/tranca.service", "tranca.service"),
                              (ROTATION, "tranca.logrotate")):
        with open(root / installed, encoding="utf-8") as handle:
            assert handle.read() == open(os.path.join(SCRIPTS, source), encoding="utf-8").read()
    # The packaged daemon runs: its tool mode answers without touching anything.
    usage = subprocess.run([str(root / LIB / "trancad"), "--ayuda", "x"], capture_output=True,
                           text=True, timeout=30)
    assert usage.returncode == 64 and usage.stderr.startswith("Uso: trancad")
    assert not (root / "etc").exists() or not any((root / "etc").rglob("tranca*"))
    assert not (root / "var" / "lib" / "tranca").exists()

    status = subprocess.run(["dpkg-query", f"--admindir={root}/var/lib/dpkg", "-W",
                             "-f=${Status}", "amparo"], capture_output=True, text=True)
    assert status.stdout == "install ok installed"

    result = dpkg_root(root, "--purge", "amparo")
    assert result.returncode == 0, result.stdout + result.stderr
    assert not (root / LIB).exists()
    assert not (root / "etc" / "xdg" / "autostart" / "amparo.desktop").exists()
    assert not (root / ROTATION).exists()


def test_the_desktop_finds_amparo_and_amparo_its_password_helper(package, tmp_path):
    root = empty_root(tmp_path / "raiz")
    result = dpkg_root(root, "-i", package)
    assert result.returncode == 0, result.stdout + result.stderr
    program = root / LIB / "Amparo"
    assert os.path.realpath(root / "usr" / "bin" / "amparo") == str(program)

    # pkexec runs exactly the path the action names, as root.
    policy = ElementTree.parse(root / "usr/share/polkit-1/actions/org.amparo.admin.policy")
    exec_path = policy.find(".//annotate[@key='org.freedesktop.policykit.exec.path']").text
    assert exec_path == f"/{LIB}/amparo-admin"
    wrapper = subprocess.run([str(root / exec_path.lstrip("/")), "echo hecho"],
                             capture_output=True, text=True, timeout=30)
    assert wrapper.stdout == "AMPARO-AUTORIZADO\nhecho\n"

    with open(os.path.join(SOURCE, "app", "main.cpp"), encoding="utf-8") as handle:
        desktop_name = re.search(r'setDesktopFileName\(QStringLiteral\("([^"]+)"\)',
                                 handle.read()).group(1)
    menu = root / "usr/share/applications" / f"{desktop_name}.desktop"
    autostart = root / "etc/xdg/autostart" / f"{desktop_name}.desktop"
    for entry in (menu, autostart):
        check = subprocess.run(["desktop-file-validate", str(entry)], capture_output=True,
                               text=True)
        assert check.returncode == 0 and not re.search(r": (error|warning):", check.stdout), \
            check.stdout
        parsed = configparser.ConfigParser(interpolation=None)
        parsed.optionxform = str
        parsed.read(entry, encoding="utf-8")
        keys = parsed["Desktop Entry"]
        assert root / keys["Exec"].split()[0].lstrip("/") == program, entry
        assert keys["Icon"] == "amparo" and keys["Terminal"] == "false"
    assert parsed["Desktop Entry"]["X-GNOME-Autostart-enabled"] == "true"

    icons = root / "usr/share/icons/hicolor"
    assert (icons / "scalable/apps/amparo.svg").is_file()
    sizes = set()
    for png in icons.glob("*/apps/amparo.png"):
        header = png.read_bytes()[:24]
        width, height = int.from_bytes(header[16:20], "big"), int.from_bytes(header[20:24], "big")
        assert png.parent.parent.name == f"{width}x{height}", png
        sizes.add(width)
    assert {16, 32, 48, 256} <= sizes


def test_the_packaged_scripts_and_daemon_install_and_uninstall_end_to_end(package, tmp_path,
                                                                         machine_factory):
    subprocess.run(["dpkg-deb", "-x", package, str(tmp_path / "x")], check=True)
    machine = machine_factory(resources_from=str(tmp_path / "x" / LIB))
    result = machine.script("install.sh", env={
        "TRANCA_BLOCKLIST_URL": machine.list_url(hosts_list(1000) + "empaquetado.example\n")})
    assert result.returncode == 0, result.stdout + result.stderr
    assert machine.dig("estado.amparo.internal") == ["127.0.0.2"]
    assert machine.dig("empaquetado.example") == ["127.0.0.1"]
    result = machine.script("uninstall.sh")
    assert result.returncode == 0, result.stdout + result.stderr
    assert machine.read("/etc/resolv.conf") == ORIGINAL_RESOLV
    assert not machine.exists("/var/lib/tranca")
