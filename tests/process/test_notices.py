"""The trusted person's notices with the real trancad and a mail server on
loopback (aiosmtpd), in private network, mount and host-name namespaces (the
module re-runs itself there): what arrives for each event, over STARTTLS and
TLS, once after a refusal, in order after an outage, and never with a header
smuggled in through the machine's name."""

import email
import email.policy
import os
import shutil
import socket
import ssl
import subprocess
import tempfile
import time

import pytest

INSIDE = os.environ.get("TRANCA_NOTICES_NETNS") == "1"
EVIL_HOST = "casa\r\nBcc: otro@example.org"

if not INSIDE:

    from conftest import rerun_inside

    def test_notices_in_private_namespaces():
        rerun_inside(__file__, "TRANCA_NOTICES_NETNS", ("-n", "-m", "-u"), timeout=600)

else:
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult, LoginPassword

    from conftest import TRANCAD, environment, free_port, wait_until, write

    class Inbox:
        """Accepts mail once `refuse` DATA commands were answered 451."""

        def __init__(self):
            self.mail, self.refuse = [], 0

        async def handle_DATA(self, server, session, envelope):
            if self.refuse:
                self.refuse -= 1
                return "451 Ahora no"
            self.mail.append((envelope.rcpt_tos, email.message_from_bytes(
                envelope.content, policy=email.policy.default)))
            return "250 OK"

        def subjects(self):
            return [message["Subject"] for _, message in self.mail]

    def login(server, session, envelope, mechanism, data):
        return AuthResult(success=isinstance(data, LoginPassword) and
                          (data.login, data.password) == (b"yo@example.org", b"secreto"),
                          handled=False)

    @pytest.fixture(scope="module")
    def tls(tmp_path_factory):
        folder = tmp_path_factory.mktemp("tls")
        key, crt = folder / "k.pem", folder / "c.pem"
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", crt], check=True, capture_output=True)
        subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
        # trancad trusts the system's bundle: this authority alone, here only.
        subprocess.run(["mount", "--bind", crt, "/etc/ssl/certs/ca-certificates.crt"], check=True)
        socket.sethostname(EVIL_HOST)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(crt, key)
        return context

    def serve(inbox, context, port, implicit=False):
        # Over TLS from the first byte aiosmtpd does not see the session as
        # encrypted: it would not offer a login at all.
        options = ({"ssl_context": context, "auth_require_tls": False} if implicit else
                   {"tls_context": context, "require_starttls": True})
        server = Controller(inbox, hostname="127.0.0.1", port=port, authenticator=login,
                            auth_required=True, **options)
        server.start()
        return server

    def settings(port, tls_mode="starttls", password="secreto"):
        return (f"correo=ana@example.org\nservidor=127.0.0.1\npuerto={port}\ntls={tls_mode}\n"
                f"usuario=yo@example.org\nclave={password}\n")

    @pytest.fixture
    def box(tmp_path, tls, trancad_factory):
        data, lib = tmp_path / "data", tmp_path / "lib"
        run_dir = tempfile.mkdtemp(prefix="amparo-avisos-")
        data.mkdir()
        lib.mkdir()
        os.chmod(run_dir, 0o755)
        # The wait records a deactivation only beside its script.
        shutil.copy(TRANCAD, lib / "trancad")
        write(str(lib / "disable.sh"), "#!/bin/bash\n", 0o755)

        class Box:
            port, inbox = free_port(), Inbox()
            env = environment({"TRANCAD_DIR": str(data), "TRANCAD_ESPERA_ESCALA": "30",
                               "TRANCAD_ESPERA_SOCKET": f"{run_dir}/espera.sock"})

            def tool(self, *args, given=None):
                return subprocess.run([lib / "trancad", *args], input=given, env=self.env,
                                      capture_output=True, text=True, timeout=60)

            def daemon(self):
                return trancad_factory(data_dir=data, env=self.env, binary=str(lib / "trancad"))

            def server(self, implicit=False):
                return serve(self.inbox, tls, self.port, implicit)

            def unsent(self):
                with socket.socket(socket.AF_UNIX) as client:
                    client.connect(f"{run_dir}/espera.sock")
                    client.sendall(b"avisos\n")
                    return client.makefile().read()

        made = Box()
        write(str(data / "confianza.conf"), settings(made.port), 0o600)
        yield made
        shutil.rmtree(run_dir)

    def test_each_event_arrives_once_without_history_or_smuggled_headers(box):
        server = box.server()
        data = box.env["TRANCAD_DIR"]
        write(os.path.join(data, "en-marcha"), "1\n")
        write(os.path.join(data, "espera.txt"), "espera 300\nsiguiente 1\n", 0o600)
        os.makedirs(os.path.join(data, "avisos"), mode=0o700)
        eight_days_ago = int(time.time()) - 8 * 86400
        boot = open("/proc/sys/kernel/random/boot_id").read().strip()
        up = int(float(open("/proc/uptime").read().split()[0]))
        write(os.path.join(data, "avisos", "semana.txt"),
              f"inicio {eight_days_ago}\nencendido 36000\nprotegido 32400\ncambios 2\n"
              f"avisos 5\narranque {boot} {up}\n")
        daemon = box.daemon()
        daemon.wait_for("Espera para aflojar: 5 min")
        queued = box.tool("--espera", "desactivar")
        assert queued.returncode == 0, queued.stderr
        assert box.tool("--espera", "cancelar").returncode == 0
        wait_until(box.inbox.subjects, lambda got: len(got) >= 4, 30, "notices")
        daemon.stop()
        wait_until(box.inbox.subjects, lambda got: len(got) >= 5, 30, "notices")
        assert box.inbox.subjects() == [
            "Amparo: el filtro se cerró de golpe (casa??Bcc: otro@example.org)",
            "Amparo: resumen de la semana (casa??Bcc: otro@example.org)",
            "Amparo: se pidió aflojar la protección (casa??Bcc: otro@example.org)",
            "Amparo: se cancelaron cambios pendientes (casa??Bcc: otro@example.org)",
            "Amparo: la protección se detuvo (casa??Bcc: otro@example.org)"]
        ids = set()
        for recipients, message in box.inbox.mail:
            assert recipients == ["ana@example.org"] and message["Bcc"] is None
            assert message["To"] == "ana@example.org"
            ids.add(message["Message-ID"])
            body = message.get_content().replace("\r\n", "\n")
            assert body.startswith("Equipo: casa??Bcc: otro@example.org\n"), body
            assert "nunca envía el historial" in body
        assert len(ids) == 5
        summary = box.inbox.mail[1][1].get_content()
        assert "activa: 9 h de 10 h" in summary and "aflojaron la protección: 2." in summary
        assert "se desactivará el " in box.inbox.mail[2][1].get_content()
        server.stop()

    def test_a_refusal_is_retried_once_and_an_outage_keeps_the_order(box):
        daemon = box.daemon()
        daemon.wait_for("Espera para aflojar")
        for kind in ("desactivada", "filtro-palabras-desactivado", "reinicio"):
            assert box.tool("--aviso", kind).returncode == 0
        wait_until(box.unsent, lambda got: "fallo-aviso No se pudo conectar" in got, 20, "unsent")
        assert "avisos 2\n" in box.unsent() and "clave" not in box.unsent()
        box.inbox.refuse = 1
        server = box.server()
        wait_until(box.inbox.subjects, lambda got: len(got) == 2, 30, "notices")
        assert box.inbox.subjects() == [
            "Amparo: la protección se desactivó (casa??Bcc: otro@example.org)",
            "Amparo: el filtro por palabras se desactivó (casa??Bcc: otro@example.org)"]
        assert "avisos 0\n" in box.unsent()
        time.sleep(3)
        assert len(box.inbox.mail) == 2, "a notice the server accepted is never sent again"
        # The stop was asked for: no notice of a silent one.
        daemon.stop()
        time.sleep(3)
        assert len(box.inbox.mail) == 2
        server.stop()

    def test_the_test_mail_says_what_is_wrong(box):
        hung = socket.socket()
        hung.bind(("127.0.0.1", 0))
        hung.listen()
        cases = [(settings(box.port), 1, "No se pudo conectar con el servidor de correo"),
                 (settings(hung.getsockname()[1]), 1, "no respondió a tiempo"),
                 ("correo=ana@example.org\r\nBcc: x\n", 2, "no son válidos")]
        for given, status, said in cases:
            done = box.tool("--probar-aviso", given=given)
            assert (done.returncode, said in done.stdout) == (status, True), done.stdout
        server = box.server()
        wrong = box.tool("--probar-aviso", given=settings(box.port, "starttls", "otra"))
        assert "rechazó el usuario o la contraseña" in wrong.stdout, wrong.stdout
        server.stop()
        server = box.server(implicit=True)
        good = box.tool("--probar-aviso", given=settings(box.port, "tls"))
        assert (good.returncode, good.stdout) == (0, "Correo de prueba enviado a "
                                                     "ana@example.org.\n")
        assert box.inbox.subjects() == ["Amparo: correo de prueba (casa??Bcc: otro@example.org)"]
        server.stop()
        hung.close()

    def test_a_new_person_is_immediate_a_change_waits_and_the_old_one_hears(box):
        data = box.env["TRANCAD_DIR"]
        os.remove(os.path.join(data, "confianza.conf"))
        write(os.path.join(data, "espera.txt"), "espera 300\nsiguiente 1\n", 0o600)
        server = box.server()
        daemon = box.daemon()
        daemon.wait_for("Espera para aflojar: 5 min")
        added = box.tool("--confianza", "guardar", given=settings(box.port))
        assert added.stdout == "Persona de confianza guardada: ana@example.org.\n"
        assert os.stat(os.path.join(data, "confianza.conf")).st_mode & 0o077 == 0
        changed = box.tool("--confianza", "guardar",
                           given=settings(box.port).replace("ana@", "beto@"))
        assert changed.stdout.startswith("Pendiente: la persona de confianza cambiará en 5 min")
        assert "beto" not in open(os.path.join(data, "confianza.conf")).read()
        wait_until(lambda: [(to, m["Subject"].split(" (")[0]) for to, m in box.inbox.mail],
                   lambda got: len(got) == 2, 60, "notices")
        assert [(to, m["Subject"].split(" (")[0]) for to, m in box.inbox.mail] == [
            (["ana@example.org"], "Amparo: se pidió aflojar la protección"),
            (["ana@example.org"], "Amparo: la persona de confianza ahora es otra")]
        assert "beto@" in open(os.path.join(data, "confianza.conf")).read()
        server.stop()
