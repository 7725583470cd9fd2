"""Headless Chromium driven inside a throw-away machine (see conftest.py)."""

import fcntl
import json
import os
import select
import subprocess
import time


class DevTools:
    """Chromium's DevTools protocol over --remote-debugging-pipe: JSON messages
    ending in a NUL byte, read from the browser's fd 4, written to its fd 3."""

    def __init__(self, argv, env, log, deadline):
        to_browser, self.commands = os.pipe()
        self.replies, from_browser = os.pipe()
        self.deadline = deadline
        self.pending = b""
        self.next_id = 0

        def browser_ends():
            # Out of the way first: either end may itself be fd 3 or 4.
            ends = [fcntl.fcntl(end, fcntl.F_DUPFD, 10) for end in (to_browser, from_browser)]
            os.dup2(ends[0], 3)
            os.dup2(ends[1], 4)

        self.log = log
        with open(log, "wb") as errors:
            self.proc = subprocess.Popen(argv, env=env, preexec_fn=browser_ends,
                                         pass_fds=(3, 4), stdout=subprocess.DEVNULL,
                                         stderr=errors)
        os.close(to_browser)
        os.close(from_browser)

    def call(self, method, session=None, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.commands, json.dumps(message).encode() + b"\0")
        while True:
            while b"\0" in self.pending:
                raw, self.pending = self.pending.split(b"\0", 1)
                reply = json.loads(raw)
                if reply.get("id") == self.next_id:
                    assert "error" not in reply, reply
                    return reply["result"]
            left = self.deadline - time.monotonic()
            if left <= 0 or not select.select([self.replies], [], [], left)[0]:
                raise AssertionError(f"Chromium did not answer {method}")
            chunk = os.read(self.replies, 1 << 16)
            if not chunk:
                with open(self.log, encoding="utf-8", errors="replace") as errors:
                    raise AssertionError("Chromium ended: " + errors.read()[-2000:])
            self.pending += chunk

    def close(self):
        if self.proc.poll() is None:
            try:
                self.call("Browser.close")
            except (AssertionError, OSError):
                self.proc.kill()
            self.proc.wait()
        os.close(self.commands)
        os.close(self.replies)

    def open(self, url, timeout=60):
        """Opens url in a new tab: the navigation's network error ("" when the
        page committed) and, once the page has loaded, its text."""
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        session = self.call("Target.attachToTarget", targetId=target,
                            flatten=True)["sessionId"]
        error = self.call("Page.navigate", session, url=url).get("errorText", "")
        deadline = time.monotonic() + timeout
        while True:
            state = self.call("Runtime.evaluate", session, returnByValue=True,
                              expression="[document.readyState, document.body ? "
                                         "document.body.innerText : '']")["result"]["value"]
            if state[0] == "complete":
                return error, state[1]
            assert time.monotonic() < deadline, f"{url} never finished loading"
            time.sleep(0.1)
