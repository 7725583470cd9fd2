"""The .deb made by CPack: its contents, and dpkg installing and removing it in
a throw-away root without starting anything."""

import glob
import os
import stat
import subprocess

import pytest

from conftest import ORIGINAL_RESOLV, SCRIPTS, SOURCE, hosts_list

BUILD = os.environ.get("AMPARO_BUILD_DIR", os.path.join(SOURCE, "build", "asan"))
LIB = "usr/lib/amparo"
PROGRAMS = ["trancad", "install.sh", "disable.sh", "uninstall.sh", "update_blocklist.sh"]
DATA = ["common.sh", "tranca.service"]


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


def test_the_package_holds_the_daemon_scripts_and_unit(package):
    info = subprocess.run(["dpkg-deb", "--field", package, "Package", "Depends"],
                          capture_output=True, text=True, check=True).stdout
    assert "Package: amparo" in info
    for needed in ("curl", "dnsutils", "iproute2", "util-linux"):
        assert needed in info
    listing = subprocess.run(["dpkg-deb", "--contents", package], capture_output=True,
                             text=True, check=True).stdout
    for name in PROGRAMS:
        assert any(line.startswith("-rwxr-xr-x root/root") and line.endswith(f"./{LIB}/{name}")
                   for line in listing.splitlines()), name
    for name in DATA:
        assert any(line.startswith("-rw-r--r-- root/root") and line.endswith(f"./{LIB}/{name}")
                   for line in listing.splitlines()), name
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
    with open(root / LIB / "tranca.service", encoding="utf-8") as handle:
        assert handle.read() == open(os.path.join(SCRIPTS, "tranca.service"),
                                     encoding="utf-8").read()
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
