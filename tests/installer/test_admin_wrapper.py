"""amparo-admin, the one program pkexec runs for Amparo: a copy of the real
file beside stand-in scripts, run as root in a private mount where /var/lib
is the test's own (the wrapper takes no path from its caller)."""

import os
import shutil
import subprocess

import pytest

from conftest import SOURCE, read, write

MARKER = "AMPARO-AUTORIZADO\n"
SCRIPTS = {"activar": "install.sh", "desactivar": "disable.sh", "desinstalar": "uninstall.sh",
           "activar-filtro-palabras": "proxy_install.sh",
           "desactivar-filtro-palabras": "proxy_uninstall.sh"}


def stand_in(path, log):
    """A part that notes its name, arguments and standard input."""
    write(str(path), f'#!/bin/sh\nprintf "%s|%s|%s\\n" {path.name} "$*" "$(cat)" >>{log}\n', 0o755)


@pytest.fixture
def admin(tmp_path):
    lib, data = tmp_path / "lib", tmp_path / "var-lib" / "tranca"
    for name in [*SCRIPTS.values(), "trancad"]:
        stand_in(lib / name, tmp_path / "corrido")
    os.makedirs(data.parent)
    shutil.copy2(os.path.join(SOURCE, "app", "resources", "amparo-admin"), lib)

    def run(*argv, given=b""):
        return subprocess.run(["unshare", "-m", "sh", "-c", 'mount --bind "$0" /var/lib && '
                               'exec "$@"', tmp_path / "var-lib", lib / "amparo-admin", *argv],
                              input=given, capture_output=True, timeout=30)
    run.ran = lambda: read(tmp_path / "corrido") if (tmp_path / "corrido").exists() else ""
    run.data = data
    return run


def test_only_the_fixed_verbs_run_and_each_runs_its_own_part(admin, tmp_path):
    for argv in [("touch " + str(tmp_path / "pwned"),), (), ("activar", "extra"), ("ACTIVAR",),
                 ("--help",), ("../activar",)]:
        refused = admin(*argv)
        assert refused.returncode == 64 and refused.stdout == b"", argv
        assert refused.stderr.decode().startswith("Uso: amparo-admin activar|desactivar|"), argv
    assert admin.ran() == "" and not (tmp_path / "pwned").exists()

    stand_in(admin.data / "update_blocklist.sh", tmp_path / "corrido")
    for verb, script in [*SCRIPTS.items(), ("actualizar-lista", "update_blocklist.sh"),
                         ("recuperar-internet", "trancad")]:
        ran = admin(verb, given=b"no es para nadie\n")
        assert ran.returncode == 0 and ran.stdout.decode() == MARKER, verb
        arguments = "--dns respaldo" if script == "trancad" else ""
        assert admin.ran().splitlines()[-1] == f"{script}|{arguments}|", verb


SITES = b"# mis sitios\n#\tcon tab\nuno.example\n[permitidos]\nla_escuela-2.example\n"
# Each is refused whole, and the files stay as they were.
BAD_SITES = {
    "over the size bound": b"[permitidos]\n" + b"a.example\n" * 104858,
    "no separator": b"a.example\n",
    "two separators": b"[permitidos]\n[permitidos]\n",
    "a NUL byte": b"# a\0b\n[permitidos]\n",
    "not UTF-8": b"# caf\xe9\n[permitidos]\n",
    "a line break the daemon splits at (U+2028)": b"# a\xe2\x80\xa8b.example\n[permitidos]\n",
    "a line break the daemon splits at (U+0085)": b"# a\xc2\x85b.example\n[permitidos]\n",
    "a carriage return": b"a.example\r\n[permitidos]\n",
    "a blank in an entry": b"0.0.0.0 a.example\n[permitidos]\n",
    "shell in an entry": b"$(reboot).example\n[permitidos]\n",
    "an entry longer than a name": b"a" * 254 + b"\n[permitidos]\n",
}
BAD_PAGES = {"not a web address": b"javascript:alert(1)\n", "a blank": b"https://a b\n",
             "two lines": b"local\nhttps://b.example\n", "nothing": b"",
             "over the size bound": b"https://a.example/" + b"x" * 2031 + b"\n"}


def test_lists_and_page_are_checked_then_written_whole_by_root(admin, tmp_path):
    write(str(tmp_path / "secreto"), "SECRETO\n", 0o600)
    os.makedirs(admin.data, exist_ok=True)
    os.symlink(tmp_path / "secreto", admin.data / "custom.txt")
    assert admin("guardar-sitios", given=SITES).stdout.decode() == MARKER
    assert admin("guardar-pagina", given=b"https://ayuda.example/x?a=1").returncode == 0
    written = {name: (admin.data / name).read_bytes() for name in os.listdir(admin.data)}
    page = "# Adónde lleva Amparo al bloquear un sitio (lo cambia la app).\n" \
           "https://ayuda.example/x?a=1\n"
    assert written == {"custom.txt": b"# mis sitios\n#\tcon tab\nuno.example\n",
                       "allow.txt": b"la_escuela-2.example\n", "redirect.txt": page.encode()}
    assert read(tmp_path / "secreto") == "SECRETO\n", "a planted link followed"
    assert {oct(os.lstat(admin.data / name).st_mode) for name in written} == {"0o100644"}

    for verb, table in [("guardar-sitios", BAD_SITES), ("guardar-pagina", BAD_PAGES)]:
        for fault, given in table.items():
            refused = admin(verb, given=given)
            assert refused.returncode == 1 and refused.stdout.startswith(MARKER.encode()), fault
            assert {name: (admin.data / name).read_bytes()
                    for name in os.listdir(admin.data)} == written, fault
