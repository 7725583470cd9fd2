"""The unit file as systemd reads it, and shellcheck over every shell script."""

import configparser
import glob
import os
import re
import shutil
import subprocess

from conftest import SCRIPTS, SOURCE, STANDIN_BIN, TRANCAD

UNIT = os.path.join(SCRIPTS, "tranca.service")


def unit_keys():
    parser = configparser.ConfigParser(strict=False, interpolation=None,
                                       comment_prefixes=("#",), delimiters=("=",))
    parser.optionxform = str
    parser.read(UNIT, encoding="utf-8")
    return parser


def test_systemd_reads_the_unit_without_a_complaint(machine):
    # verify wants the program in place: the throw-away /var/lib gets it.
    os.makedirs(machine.path("/var/lib/tranca"))
    shutil.copy2(TRANCAD, machine.path("/var/lib/tranca/trancad"))
    result = machine.run(["systemd-analyze", "verify", "--man=no", UNIT], timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stderr.strip() == "", result.stderr


def test_the_sandbox_stays_tight():
    result = subprocess.run(["systemd-analyze", "security", "--offline=yes", "--no-pager", UNIT],
                            capture_output=True, text=True, timeout=60)
    match = re.search(r"Overall exposure level for tranca\.service: ([0-9.]+)", result.stdout)
    assert match, result.stdout + result.stderr
    assert float(match.group(1)) <= 2.5, result.stdout


def test_the_unit_runs_the_installed_daemon_as_a_self_healing_boot_service():
    unit = unit_keys()
    service = unit["Service"]
    assert service["ExecStart"] == "/var/lib/tranca/trancad"
    assert service["StandardOutput"] == "append:/var/log/tranca.log"
    assert service["StandardError"] == "append:/var/log/tranca.log"
    assert service["Restart"] == "always"
    assert 1 <= int(service["RestartSec"]) <= 10
    assert "User" not in service  # root: ports 53 and 80, the machine's DNS
    assert "CAP_NET_BIND_SERVICE" in service["CapabilityBoundingSet"]
    writable = service["ReadWritePaths"].split()
    assert {"/var/lib/tranca", "/etc", "/run"} <= set(writable)
    assert unit["Unit"]["StartLimitIntervalSec"] == "0"
    assert "network-online.target" in unit["Unit"]["Before"]
    assert unit["Install"]["WantedBy"] == "multi-user.target"


def test_every_shell_script_passes_shellcheck():
    scripts = sorted(glob.glob(os.path.join(SOURCE, "scripts", "**", "*.sh"), recursive=True))
    scripts += [os.path.join(STANDIN_BIN, "systemctl")]
    scripts += [os.path.join(SOURCE, "packaging", "deb", name) for name in ("postinst", "prerm")]
    assert len(scripts) >= 10
    result = subprocess.run(["shellcheck", "--external-sources", *scripts], cwd=SOURCE,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr


def test_the_scripts_are_strict_bash():
    for name in ("install.sh", "disable.sh", "uninstall.sh", "update_blocklist.sh",
                 "proxy_install.sh", "proxy_uninstall.sh"):
        with open(os.path.join(SCRIPTS, name), encoding="utf-8") as handle:
            text = handle.read()
        assert text.startswith("#!/usr/bin/env bash\n"), name
        assert "\nset -euo pipefail\n" in text, name
