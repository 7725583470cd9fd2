"""The trusted person on a booted Debian: a stopped unit, a killed daemon, a
hand-made DNS change, turning off and the uninstaller each send their one
notice to a mail server on the cable's far end, and a notice queued while that
server is down arrives after a reboot."""

import os
import subprocess
import time

from test_reboot import as_busctl

MAIL = "10.77.0.25"
FAST = "/etc/systemd/system/tranca.service.d/avisos-rapidos.conf"
SERVER = """
import email, email.policy, sys, time
from aiosmtpd.controller import Controller
class Inbox:
    async def handle_DATA(self, server, session, envelope):
        message = email.message_from_bytes(envelope.content, policy=email.policy.default)
        with open(sys.argv[2], "a", encoding="utf-8") as out:
            out.write(message["Subject"].split(" (")[0] + "\\n")
        return "250 OK"
Controller(Inbox(), hostname=sys.argv[1], port=2525).start()
time.sleep(3600)
"""


def test_each_drop_is_told_once_and_a_queued_notice_outlasts_a_reboot(machine, tmp_path):
    inbox = tmp_path / "recibidos"
    inbox.write_text("")
    servers = []

    def serve():
        machine.run(f"ip addr add {MAIL}/32 dev veth1")
        servers.append(subprocess.Popen(machine.command(
            ["/usr/bin/python3", "-c", SERVER, MAIL, str(inbox)], namespaces=("-n",))))

    def kill_daemon():
        machine.wait_for(lambda: machine.run(["systemctl", "is-active", "tranca"]).stdout,
                         lambda state: state.strip() == "active", timeout=90)
        machine.run(["systemctl", "kill", "--kill-whom=main", "-s", "KILL", "tranca"], check=True)

    def received(count):
        return machine.wait_for(lambda: inbox.read_text().splitlines(),
                                lambda got: len(got) >= count, timeout=90)

    os.makedirs(os.path.dirname(machine.path(FAST)), exist_ok=True)
    with open(machine.path(FAST), "w", encoding="utf-8") as dropin:
        dropin.write("[Service]\nEnvironment=TRANCAD_ESPERA_ESCALA=10\n")
    machine.run(["/usr/lib/amparo/install.sh"], check=True, timeout=180)
    machine.run("umask 077 && printf 'correo=ana@example.org\\nservidor=%s\\npuerto=2525\\n"
                "tls=ninguno\\nusuario=\\nclave=\\n' " + MAIL +
                " > /var/lib/tranca/confianza.conf", check=True)
    serve()
    try:
        machine.run(["systemctl", "stop", "tranca"], check=True)
        received(1)
        machine.run(["systemctl", "start", "tranca"], check=True)
        time.sleep(3)
        kill_daemon()
        received(2)
        time.sleep(20)  # the restarted filter has set the DNS up once
        machine.set_global_dns(*as_busctl({"domains": {"*": {"servers": ["9.9.9.9"]}}}))
        received(3)

        servers.pop().kill()
        kill_daemon()
        machine.wait_for(lambda: machine.run("ls /var/lib/tranca/avisos").stdout,
                         lambda listing: ".aviso" in listing, timeout=60)
        machine.reboot()
        machine.wait_for(lambda: machine.run(["systemctl", "is-active", "tranca"]).stdout,
                         lambda state: state.strip() == "active", timeout=90)
        serve()
        received(4)
        for script in ("disable.sh", "uninstall.sh"):
            machine.run([f"/usr/lib/amparo/{script}"], check=True, timeout=180)
        assert received(6) == [
            "Amparo: la protección se detuvo", "Amparo: el filtro se cerró de golpe",
            "Amparo: alguien cambió el DNS", "Amparo: el filtro se cerró de golpe",
            "Amparo: la protección se desactivó", "Amparo: Amparo se desinstaló del equipo"]
        time.sleep(5)
        assert len(inbox.read_text().splitlines()) == 6, "each notice once"
    finally:
        for server in servers:
            server.kill()
