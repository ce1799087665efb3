"""A full shmcb cache in Apache: the oldest sign-ons go through the login
again, and nothing worse (no error answer, no other user's name).

    python3 test_cache_scale.py MODULE_SO [unittest arguments]
    python3 test_cache_scale.py MODULE_SO --measure [SIZE ...]

--measure signs on until the first sign-on is dropped from a cache of each
SIZE bytes (default: 512000) and prints how many it held, with and without
attributes (bench, not a test).
"""

import http.client
import os
import re
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from apache_harness import Apache, CasProcess, header, registry_text  # noqa: E402

MODULE = None  # set from the command line
PAGE = "/secure/index.shtml"


class Site:
    """One Apache with a shmcb cache of `size` bytes, and the test CAS server."""

    def __init__(self, size, validation_path="serviceValidate"):
        self.cas = CasProcess().start()
        self.apache = Apache(MODULE, registry_text(self.cas.url, debug=0, validation_path=validation_path),
                             mpm="event", servers=2,
                             turnpike_lines=["TurnpikeCache shmcb:run/turnpike-scale(%d)" % size])
        self.apache.start()
        status, _, headers, _ = self.apache.request(PAGE)
        login = urllib.parse.urlsplit(header(headers, "Location"))
        self.service = urllib.parse.parse_qs(login.query)["service"][0]
        host, port = login.hostname, login.port
        self.cas_connection = http.client.HTTPConnection(host, port, timeout=10)
        self.apache_connection = http.client.HTTPConnection("127.0.0.1", self.apache.port, timeout=10)

    def close(self):
        self.cas_connection.close()
        self.apache_connection.close()
        self.apache.stop()
        self.apache.cleanup()
        self.cas.stop()

    def request(self, path, headers=None):
        """Over the kept connection, or a new one when Apache has closed it
        (MaxKeepAliveRequests)."""
        try:
            return self.apache.request(path, headers, connection=self.apache_connection)
        except (http.client.RemoteDisconnected, ConnectionError):
            self.apache_connection.close()
            self.apache_connection = http.client.HTTPConnection("127.0.0.1", self.apache.port, timeout=10)
            return self.apache.request(path, headers, connection=self.apache_connection)

    def sign_on(self, user):
        """The cookie value of a new sign-on of `user`."""
        self.cas_connection.request("GET", "/_ticket?" + urllib.parse.urlencode(
            {"service": self.service, "username": user}))
        ticket = self.cas_connection.getresponse().read().decode()
        status, _, headers, _ = self.request(PAGE + "?ticket=" + ticket)
        cookie = next(v for k, v in headers if k.lower() == "set-cookie" and v.startswith("VAVUZE="))
        return cookie.split(";")[0]

    def user_of(self, cookie):
        """The user the page names for `cookie`, None when it sends the browser
        to the login page; anything else fails."""
        status, _, headers, body = self.request(PAGE, {"Cookie": cookie})
        if status == 302 and header(headers, "Location").startswith(self.cas.url + "/login"):
            return None
        assert status == 200, (status, body[:200])
        return re.search(rb'<span id="user">([^<]*)</span>', body).group(1).decode()


def fill(site, count, prefix="u"):
    return [(prefix + "%06d" % n, site.sign_on(prefix + "%06d" % n)) for n in range(count)]


class FullCacheTest(unittest.TestCase):
    def test_oldest_sign_ons_sign_in_again_and_nothing_worse(self):
        # About 300 sign-ons fit in 32 KB; 1,200 push the first ones out.
        site = Site(32_000)
        try:
            sign_ons = fill(site, 1200)
            time.sleep(1.1)  # past each process's one-second memory of sign-ons
            answers = [site.user_of(cookie) for _, cookie in sign_ons]
            for (user, _), answer in zip(sign_ons, answers):
                self.assertIn(answer, (user, None))  # its own user, or the login page
            self.assertIsNone(answers[0])
            self.assertEqual(answers[-100:], [user for user, _ in sign_ons[-100:]])
            # The login gives a dropped sign-on's browser a new ticket, and the
            # new sign-on is kept.
            user = sign_ons[0][0]
            self.assertEqual(site.user_of(site.sign_on(user)), user)
            log = site.apache.error_log_text()
            self.assertNotRegex(log, r"AH\d+: .*(segfault|exit signal)")
            self.assertIn("TurnpikeCache shmcb: 32000 bytes hold about 400 sign-ons (80 bytes each), fewer "
                          "than 1000; past that the oldest sign-ons are dropped", log)
        finally:
            site.close()


def measure(sizes):
    for size in sizes:
        for validation_path, kind in (("serviceValidate", "user only"), ("p3/serviceValidate", "attributes")):
            site = Site(size, validation_path)
            try:
                sign_ons = []
                step = max(size // 2000, 50)
                while True:
                    sign_ons += fill(site, step, "u%d-" % len(sign_ons))
                    time.sleep(1.1)
                    if site.user_of(sign_ons[0][1]) is None:
                        break
                held = sum(site.user_of(cookie) is not None for _, cookie in sign_ons)
                print("shmcb %8d bytes, %-10s: first sign-on dropped after %6d; %6d of them held, %.1f bytes each"
                      % (size, kind, len(sign_ons), held, size / held), flush=True)
            finally:
                site.close()


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    if len(sys.argv) > 1 and sys.argv[1] == "--measure":
        measure([int(size) for size in sys.argv[2:]] or [512_000])
    else:
        unittest.main()
