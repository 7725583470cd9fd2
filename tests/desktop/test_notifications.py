"""Amparo's desktop notifications as the session's notification service gets
them (python3-dbusmock's notification_daemon): the real filter on the
throw-away machine getting worse is told once, getting better never, and the
notification's button repairs it through Amparo's own action."""

import os
import time

import dbus

from conftest import wait_until
from test_tray import REFRESH_BOUND

NOTIFICATIONS = "org.freedesktop.Notifications"


def test_a_worsening_is_told_once_and_its_button_repairs_it(desktop, machine, tmp_path):
    service = desktop.start_mock(NOTIFICATIONS, "/org/freedesktop/Notifications",
                                 template="notification_daemon")
    # Root's password is the one thing a test cannot give: this pkexec runs
    # the wrapper straight away, as an authorised one would.
    pkexec = tmp_path / "pkexec"
    pkexec.write_text('#!/bin/sh\nexec "$@"\n')
    pkexec.chmod(0o755)
    amparo = desktop.start_amparo(env={"PATH": f"{tmp_path}:{machine.env()['PATH']}",
                                       "TRANCA_BLOCKLIST_URL": machine.list})
    item = desktop.tray_item(amparo)
    wait_until(item.tooltip, lambda t: t == "Amparo · Protección sin activar", 60, "first state")

    def told():
        return [[str(a) if isinstance(a, dbus.String) else a for a in args]
                for _time, args in service.GetMethodCalls("Notify")]

    installed = machine.script("install.sh")
    assert installed.returncode == 0, installed.stdout + installed.stderr
    wait_until(item.tooltip, lambda t: t == "Amparo · Protección activa", REFRESH_BOUND, "active")
    stopped = machine.run(["systemctl", "stop", "tranca.service"])
    assert stopped.returncode == 0, stopped.stderr
    wait_until(item.tooltip, lambda t: t == "Amparo · Protección de respaldo", REFRESH_BOUND,
               "the backup state")
    calls = wait_until(told, bool, REFRESH_BOUND, "a notification")
    app, replaces, _icon, title, body, actions, _hints, _timeout = calls[0]
    assert (app, replaces, title) == ("Amparo", 0, "Protección de respaldo"), calls
    assert "Cloudflare" in body and list(actions)[2:] == ["activar", "Reactivar Amparo"], calls

    # The service's first id is 1; a press on the button runs "Reactivar".
    service.EmitSignal(NOTIFICATIONS, "ActionInvoked", "us", [dbus.UInt32(1), "activar"])
    wait_until(item.tooltip, lambda t: t == "Amparo · Protección activa", 300,
               "the repair the button asked for")
    time.sleep(15)  # past another refresh: a repair or a state that stays is not told
    assert len(told()) == 1, told()
    assert amparo.poll() is None, desktop.output()
