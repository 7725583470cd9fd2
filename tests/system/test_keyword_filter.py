"""The keyword filter on a booted machine: proxy_install.sh makes the unit
run mitmdump as its own user under the unit's sandbox, the daemon's
self-check points the system proxy at it, and proxy_uninstall.sh takes it
all away again (the daemon then turns the proxy off)."""

import os

from conftest import BLOCKED


def proxy_status(machine):
    return machine.run(["/var/lib/tranca/trancad", "--dns", "estado"]).stdout.strip()


def test_the_daemon_points_the_system_proxy_at_the_running_filter(machine, deb):
    machine.install_package(deb)
    machine.run(["/usr/lib/amparo/install.sh"], check=True)
    assert proxy_status(machine).endswith("· sin proxy")

    installed = machine.run(["/usr/lib/amparo/proxy_install.sh"])
    assert installed.returncode == 0, installed.stdout + installed.stderr
    pid = machine.run(["systemctl", "show", "-P", "MainPID", "tranca-proxy"]).stdout.strip()
    assert machine.run(["stat", "-c", "%U", f"/proc/{pid}"]).stdout.strip() == "tranca-proxy"
    key = machine.run(["stat", "-c", "%a %U", "/var/lib/tranca-proxy/mitmproxy-ca.pem"],
                      check=True).stdout.split()
    assert key == ["600", "tranca-proxy"]
    machine.wait_for(lambda: proxy_status(machine), lambda seen: seen.endswith("127.0.0.1:8080"),
                     timeout=40)
    # Through the proxy, with the machine's store trusting its authority.
    page = machine.run(["curl", "-sS", "--max-time", "20", "--proxy", "http://127.0.0.1:8080",
                        f"http://{BLOCKED}/"])
    assert page.returncode == 0, page.stderr

    removed = machine.run(["/usr/lib/amparo/proxy_uninstall.sh"])
    assert removed.returncode == 0, removed.stdout + removed.stderr
    machine.wait_for(lambda: proxy_status(machine), lambda seen: seen.endswith("sin proxy"),
                     timeout=40)
    assert not os.path.exists(machine.path("/var/lib/tranca-proxy"))
    assert machine.run(["id", "tranca-proxy"]).returncode != 0
