"""A real Chromium through the keyword filter on a throw-away machine (see
conftest.py): after proxy_install.sh it trusts the proxy's authority from
the managed policy alone, sees the block page in place of a page over the
threshold and a clean page as the origin serves it."""

import html.parser
import os
import shutil
import tempfile
import time

import pytest

from chromium_driver import DevTools
from keyword_origin import origin  # noqa: F401 (a fixture)

CA_POLICY = "/etc/chromium/policies/managed/zz-amparo-certificado.json"

pytestmark = [
    pytest.mark.skipif(shutil.which("mitmdump") is None, reason="falta mitmproxy"),
    pytest.mark.skipif(shutil.which("chromium") is None, reason="falta chromium"),
]


class BodyText(html.parser.HTMLParser):
    """The text of a page's body, leaving out what a browser never shows."""

    UNSEEN = {"script", "style", "noscript", "template"}

    def __init__(self):
        super().__init__()
        self.inside, self.unseen, self.parts = False, 0, []

    def handle_starttag(self, tag, attrs):
        self.inside |= tag == "body"
        self.unseen += tag in self.UNSEEN

    def handle_endtag(self, tag):
        self.unseen -= tag in self.UNSEEN

    def handle_data(self, data):
        if self.inside and not self.unseen:
            self.parts.append(data)


def squeezed(text):
    # Layout decides where the browser breaks lines; the words are what count.
    return "".join(text.split())


def text_of(page):
    """The words of a page's body as the origin serves it."""
    parser = BodyText()
    parser.feed(page)
    return squeezed("".join(parser.parts))


def chromium(machine):
    """Chromium as root inside the machine, every request through the proxy.
    HOME is a fresh folder too, so no NSS database of root's own is read or
    made: the policy is the only trust it gets beyond the built-in roots."""
    home = tempfile.mkdtemp(dir=machine.root)
    argv = [shutil.which("chromium"), "--headless=new", "--no-sandbox", "--disable-gpu",
            "--disable-quic", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync",
            f"--user-data-dir={os.path.join(home, 'perfil')}",
            "--proxy-server=http://127.0.0.1:8080", "--remote-debugging-pipe", "about:blank"]
    return DevTools(machine.command(argv), machine.env({"HOME": home}),
                    os.path.join(home, "chromium.log"), deadline=time.monotonic() + 120)


def test_chromium_sees_the_block_page_and_the_clean_page(machine, origin):
    installed = machine.script("proxy_install.sh")
    assert installed.returncode == 0, installed.stdout + installed.stderr
    # Both load with no certificate error: the proxy's authority is trusted.
    browser = chromium(machine)
    try:
        blocked = browser.open("https://explicito.example/")
        clean = browser.open("https://limpio.example/")
    finally:
        browser.close()
    assert blocked[0] == "" and "Sitio bloqueado" in blocked[1], blocked
    assert clean[0] == "" and squeezed(clean[1]) == text_of(origin["limpio.example"]), clean

    # Without the policy a fresh browser refuses the proxy's certificates:
    # the trust above came from it.
    os.remove(machine.path(CA_POLICY))
    browser = chromium(machine)
    try:
        untrusted = browser.open("https://limpio.example/")
    finally:
        browser.close()
    assert untrusted[0] == "net::ERR_CERT_AUTHORITY_INVALID", untrusted
