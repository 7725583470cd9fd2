"""The unit file as systemd reads it, and shellcheck over every shell script."""

import glob
import os
import re
import shutil
import subprocess

from conftest import HERE, SCRIPTS, SOURCE, TRANCAD, ok

UNIT = os.path.join(SCRIPTS, "tranca.service")


def test_systemd_reads_the_unit_without_a_complaint_and_a_tight_sandbox(machine):
    # verify wants the program in place: the throw-away /var/lib gets it.
    os.makedirs(machine.path("/var/lib/tranca"))
    shutil.copy2(TRANCAD, machine.path("/var/lib/tranca/trancad"))
    assert ok(machine.run(["systemd-analyze", "verify", "--man=no", UNIT])).stderr == ""
    security = machine.run(["systemd-analyze", "security", "--offline=yes", "--no-pager", UNIT])
    exposure = re.search(r"Overall exposure level for tranca\.service: ([0-9.]+)", security.stdout)
    assert exposure and float(exposure.group(1)) <= 2.5, security.stdout + security.stderr


def test_the_scripts_say_what_the_daemon_and_the_app_say():
    with open(os.path.join(SOURCE, "contract", "filter.h"), encoding="utf-8") as header:
        contract = header.read()
    name, address = (re.search(name + r' = "([^"]+)"', contract)[1]
                     for name in ("kStatusName", "kStatusAddress"))
    servers = re.findall(r'"([^"]+)"', re.search(r"kBackupServers\{([^}]*)\}", contract)[1])
    expected = {f"readonly STATUS_NAME={name}", f"readonly STATUS_ADDRESS={address}",
                'readonly BACKUP_SERVERS="' + " ".join(servers) + '"'}
    with open(os.path.join(SCRIPTS, "common.sh"), encoding="utf-8") as common:
        assert expected <= set(common.read().splitlines()), expected


def test_every_shell_script_passes_shellcheck():
    scripts = glob.glob(os.path.join(SOURCE, "scripts", "**", "*.sh"), recursive=True)
    scripts += [f"{HERE}/bin/systemctl", *glob.glob(f"{SOURCE}/packaging/deb/p*")]
    assert len(scripts) >= 10
    ok(subprocess.run(["shellcheck", "--external-sources", *scripts], cwd=SOURCE,
                      capture_output=True, text=True, timeout=120))
