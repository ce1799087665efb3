"""scripts/demo end to end: it starts, serves the demo site with /secure/
protected, signs on the demo user it prints, and Ctrl-C stops both of its
servers.

    python3 test_demo.py MODULE_SO [unittest arguments]

The module is handed to the demo (TURNPIKE_DEMO_MODULE), so the test neither
installs packages nor builds.
"""

import http.client
import os
import re
import signal
import subprocess
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from apache_harness import SOURCE_ROOT  # noqa: E402

MODULE = None
START_TIMEOUT = 30
STOP_TIMEOUT = 20


def get(url, headers=None, method="GET", body=None):
    parts = urllib.parse.urlsplit(url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    try:
        path = parts.path + ("?" + parts.query if parts.query else "")
        connection.request(method, path, body=body, headers=headers or {})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read().decode()
    finally:
        connection.close()


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


class Demo(unittest.TestCase):
    ARGUMENTS = []  # scripts/demo's own: ["--nginx"] for nginx

    def setUp(self):
        # Ctrl-C reaches the script's whole process group; the script must
        # see SIGINT even when this test runs with it ignored (a background
        # job), as a terminal would deliver it.
        self.demo = subprocess.Popen(
            [os.path.join(SOURCE_ROOT, "scripts", "demo")] + self.ARGUMENTS,
            env=dict(os.environ, TURNPIKE_DEMO_MODULE=MODULE), stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, start_new_session=True,
            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        self.addCleanup(self.kill_demo)
        self.banner = self.read_banner()

    def read_banner(self):
        lines = []
        deadline = time.monotonic() + START_TIMEOUT
        # The banner ends with the Ctrl-C line; reading stops there or at EOF.
        while time.monotonic() < deadline:
            line = self.demo.stdout.readline()
            if not line:
                break
            lines.append(line)
            if "Ctrl-C" in line:
                return "".join(lines)
        self.fail("the demo did not start:\n" + "".join(lines))

    def kill_demo(self):
        if self.demo.poll() is None:
            os.killpg(self.demo.pid, signal.SIGKILL)
            self.demo.wait(STOP_TIMEOUT)
        self.demo.stdout.close()

    def test_serves_signs_on_and_stops_on_ctrl_c(self):
        site = re.search(r"Open\s+(http://127\.0\.0\.1:\d+)/", self.banner).group(1)
        user, password = re.search(r"Sign in with\s+(\w+) / (\w+)", self.banner).groups()
        pids = [int(pid) for pid in re.search(r"(?:Apache|nginx) pid (\d+), CAS server pid (\d+)",
                                              self.banner).groups()]
        root = re.search(r"(?:Apache|nginx)'s log\s+(\S+)/error\.log", self.banner).group(1)

        status, _, body = get(site + "/")
        self.assertEqual(status, 200)
        self.assertIn("Turnpike demo", body)

        # The sign-on a person makes, with the printed credentials typed
        # into the CAS login form.
        status, headers, _ = get(site + "/secure/")
        self.assertEqual(status, 302)
        login = headers["Location"]
        service = urllib.parse.parse_qs(urllib.parse.urlsplit(login).query)["service"][0]
        status, headers, _ = get(login.split("?")[0], {"Content-Type": "application/x-www-form-urlencoded"},
                                 "POST", urllib.parse.urlencode(
                                     {"username": user, "password": password, "service": service}))
        self.assertEqual(status, 302)
        status, headers, _ = get(headers["Location"])
        self.assertEqual(status, 302)
        cookie = headers["Set-Cookie"].split(";")[0]
        status, _, body = get(headers["Location"], {"Cookie": cookie})
        self.assertEqual(status, 200)
        self.assertIn('<strong id="user">%s</strong>' % user, body)

        os.killpg(self.demo.pid, signal.SIGINT)
        self.assertEqual(self.demo.wait(STOP_TIMEOUT), 130)
        for pid in pids:
            self.assertFalse(alive(pid), "process %d is still running" % pid)
        self.assertFalse(os.path.exists(root))


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
