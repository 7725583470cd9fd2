"""amparo-admin's copy beside stand-ins, as root where /var/lib is the test's."""

import os
import shutil
import socketserver
import subprocess
import threading

from conftest import SOURCE, TRANCAD, read, write

MARKER = b"AMPARO-AUTORIZADO\n"
PARTS = {"activar": "install.sh", "desactivar": "disable.sh", "desinstalar": "uninstall.sh",
         "activar-filtro-palabras": "proxy_install.sh", "recuperar-internet": "trancad",
         "desactivar-filtro-palabras": "proxy_uninstall.sh",
         "actualizar-lista": "../var-lib/tranca/update_blocklist.sh"}
# Each refused whole, the files left as they were.
BAD_SITES = [b"[permitidos]\n" + b"a.example\n" * 104858, b"a.example\n", b"# a\0b\n[permitidos]\n",
             b"# caf\xe9\n[permitidos]\n", b"# a\xe2\x80\xa8b.example\n[permitidos]\n",
             b"a.example\r\n[permitidos]\n", b"$(reboot).example\n[permitidos]\n",
             b"a" * 254 + b"\n[permitidos]\n"]
BAD_PAGES = [b"javascript:alert(1)\n", b"https://a b\n", b"local\nhttps://b.example\n", b"",
             b"https://a.example/" + b"x" * 2031 + b"\n"]


def test_fixed_verbs_run_their_parts_and_lists_are_checked_then_renamed(tmp_path):
    lib, data, log = tmp_path / "lib", tmp_path / "var-lib" / "tranca", tmp_path / "corrido"
    for part in PARTS.values():  # each notes its arguments and standard input
        write(str(lib / part), f'#!/bin/sh\n[ "$1" != --espera ] || exit 3  # no wait chosen\n'
              f'printf "{part}|$*|%s\\n" "$(cat)" >>{log}\n', 0o755)
    shutil.copy2(os.path.join(SOURCE, "app", "resources", "amparo-admin"), lib)

    def admin(*argv, given=b"no es para nadie\n"):
        return subprocess.run(["unshare", "-m", "sh", "-c", 'mount --bind "$0" /var/lib && exec '
                               '"$@"', data.parent, lib / "amparo-admin", *argv],
                              input=given, capture_output=True, timeout=30)

    for argv in [(f"touch {tmp_path}/pwned",), (), ("activar", "x"), ("ACTIVAR",), ("--help",)]:
        assert ((refused := admin(*argv)).returncode, refused.stdout,
                refused.stderr[:36]) == (64, b"", b"Uso: amparo-admin activar|desactivar"), argv
    assert not log.exists() and not (tmp_path / "pwned").exists()
    for verb, part in PARTS.items():
        assert admin(verb).stdout == MARKER, verb
        respaldo = "--dns respaldo" if part == "trancad" else ""
        assert read(log).splitlines()[-1] == f"{part}|{respaldo}|", verb

    write(str(tmp_path / "secreto"), "SECRETO\n", 0o600)
    os.symlink(tmp_path / "secreto", data / "custom.txt")
    sites = ("# mis sitios\n#\tcon tab\nuno.example\n0.0.0.0 dos.example\n*.ñandú.example\n"
             "[permitidos]\nla_escuela-2.example\n").encode()
    assert admin("guardar-sitios", given=sites).stdout == MARKER
    assert admin("guardar-pagina", given=b"https://ayuda.example/x?a=1").stdout == MARKER
    saved = {n: (data / n).read_bytes() for n in ("custom.txt", "allow.txt", "redirect.txt")}
    assert saved == {"custom.txt": sites.split(b"[permitidos]")[0],
                     "allow.txt": b"la_escuela-2.example\n", "redirect.txt": "# Adónde lleva "
                     "Amparo al bloquear un sitio (lo cambia la app).\nhttps://ayuda.example/x?a=1"
                     "\n".encode()}
    assert read(tmp_path / "secreto") == "SECRETO\n", "a planted link followed"
    assert {os.lstat(data / name).st_mode for name in saved} == {0o100644}
    for verb, table in [("guardar-sitios", BAD_SITES), ("guardar-pagina", BAD_PAGES)]:
        for given in table:
            assert admin(verb, given=given).returncode == 1, given[:40]
            assert {name: (data / name).read_bytes() for name in os.listdir(data)
                    if name != "update_blocklist.sh"} == saved, given[:40]
    # A wait that cannot be checked holds the change back; a day's wait is taken.
    write(str(lib / "trancad"), f'#!/bin/sh\necho "trancad|$*|$(cat)" >>{log}\nexit 1\n', 0o755)
    for verb, given, asked in [("desactivar", b"", "desactivar|"),
                               ("cambiar-espera", b"86400\n", "fijar|86400")]:
        assert admin(verb, given=given).returncode == 1
        assert read(log).splitlines()[-1] == f"trancad|--espera {asked}", verb


# With a wait chosen: what tightens is made at once, what loosens is recorded.
RULE = [("activar", b"", "install.sh"), ("actualizar-lista", b"", "update_blocklist.sh"),
        ("activar-filtro-palabras", b"", "proxy_install.sh"),
        ("guardar-pagina", b"local\n", "redirect.txt"),
        ("guardar-sitios", b"a.example\nnuevo.example\n[permitidos]\n", "custom.txt"),
        ("cambiar-espera", b"3600\n", "Espera para aflojar: 1 h."),
        ("desactivar", b"", "la protección se desactivará en 1 h"),
        ("desactivar-filtro-palabras", b"", "el filtro por palabras se apagará en 1 h"),
        ("desinstalar", b"", "Amparo se desinstalará en 1 h"),
        ("guardar-sitios", b"nuevo.example\n[permitidos]\nescuela.example\n",
         "los cambios de sitios se aplicarán en 1 h"),
        ("cambiar-espera", b"300\n", "la espera bajará a 5 min en 1 h")]


def test_with_a_wait_loosening_verbs_are_recorded_and_the_rest_made_now(tmp_path):
    lib, data, log = tmp_path / "lib", tmp_path / "var-lib" / "tranca", tmp_path / "corrido"
    for part in PARTS.values():
        write(str(lib / part), f'#!/bin/sh\necho {os.path.basename(part)} >>{log}\n', 0o755)
    shutil.copy2(os.path.join(SOURCE, "app", "resources", "amparo-admin"), lib)
    shutil.copy2(TRANCAD, lib / "trancad")
    write(str(data / "custom.txt"), "a.example\n")

    class Daemon(socketserver.StreamRequestHandler):  # there to count the wait
        def handle(self):
            self.rfile.readline()
            self.wfile.write(b"espera 0\nfin\n")
    daemon = socketserver.ThreadingUnixStreamServer(str(tmp_path / "espera.sock"), Daemon)
    threading.Thread(target=daemon.serve_forever, daemon=True).start()

    def admin(verb, given):
        return subprocess.run(["unshare", "-m", "sh", "-c", 'mount --bind "$0" /var/lib && exec '
                               '"$@"', data.parent, lib / "amparo-admin", verb],
                              env={"TRANCAD_ESPERA_SOCKET": str(tmp_path / "espera.sock")},
                              input=given, capture_output=True, timeout=30).stdout.decode()

    assert admin("cambiar-espera", b"900\n") == "AMPARO-AUTORIZADO\nEspera para aflojar: 15 min.\n"
    for verb, given, seen in RULE:
        out = admin(verb, given)
        made = log.exists() and seen in read(log) or (data / seen).exists()
        assert made or seen in out, (verb, out)
        assert ("Pendiente: " in out) == (seen.endswith(" 1 h")), (verb, out)
        log.unlink(missing_ok=True)
    state = read(data / "espera.txt")
    assert state.count("cambio ") == 5 and "espera 3600\n" in state
    # The mixed save blocked at once, and keeps blocking what it took out.
    assert read(data / "custom.txt") == "nuevo.example\na.example\n"
    assert read(data / "allow.txt") == ""
    daemon.shutdown()
