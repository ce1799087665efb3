"""Black-box tests of ngx_http_turnpike_module in Debian's nginx (master and
two workers), against the test CAS server and three application back ends
(HTTP, FastCGI, uwsgi), all on 127.0.0.1, driven by a plain HTTP client that
follows no redirect.

    python3 test_ngx_turnpike.py MODULE_SO [unittest arguments]
"""

import http.client
import json
import os
import signal
import sys
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from backends import Backends  # noqa: E402
from nginx_harness import Nginx  # noqa: E402
from apache_harness import CasProcess, header, registry_text  # noqa: E402
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from store_servers import RedisServer  # noqa: E402

MODULE = None  # set from the command line
FORGED = {"CAS_User": "mallory", "cas.user": "mallory", "CAS-USER": "mallory", "Cas_uSeR": "mallory"}


def registry(cas_url, **numbers):
    text = registry_text(cas_url, numbers=numbers or None)
    return text.replace('"AuthHeader"="CASUser"', '"AuthHeader"="CAS-User"')


def folded(name):
    return name.lower().replace("_", "-").replace(".", "-")


def identity_seen(body):
    """What the back end received under a look-alike of CAS-User, and
    $turnpike_user (X-Turnpike-User for HTTP, TURNPIKE_USER for the others)."""
    pairs = json.loads(body)
    names = [(name[5:] if name.startswith("HTTP_") else name, value) for name, value in pairs]
    identity = [value for name, value in names if folded(name) == "cas-user"]
    variable = [value for name, value in names if folded(name) in ("x-turnpike-user", "turnpike-user")]
    return identity, variable


def path_of(url):
    parts = urllib.parse.urlsplit(url)
    return parts.path + ("?" + parts.query if parts.query else "")


def cas_login(location, user="alice"):
    """Signs on at the test CAS server (non-interactively); the URL it sends
    the browser back to."""
    login = urllib.parse.urlsplit(location)
    service = urllib.parse.parse_qs(login.query)["service"][0]
    connection = http.client.HTTPConnection(login.hostname, login.port, timeout=10)
    try:
        connection.request("GET", "/login?" + urllib.parse.urlencode(
            {"service": service, "username": user, "auto": "1"}))
        response = connection.getresponse()
        response.read()
        return response.getheader("Location")
    finally:
        connection.close()


def sign_on(nginx, page="/secure/report.txt"):
    """The three requests of a sign-on; the cookie ("VAVUZE=...")."""
    _, _, headers, _ = nginx.request(page)
    _, _, headers, _ = nginx.request(path_of(cas_login(header(headers, "Location"))))
    return header(headers, "Set-Cookie").split(";")[0]


def set_fault(cas, mode):
    with urllib.request.urlopen(cas.url + "/_fault?mode=" + mode, timeout=10) as answer:
        answer.read()


class NginxSignOn(unittest.TestCase):
    """One CAS server, the back ends, nginx with the module."""

    @classmethod
    def setUpClass(cls):
        cls.cas = CasProcess().start()
        cls.addClassCleanup(cls.cas.stop)
        cls.backends = Backends()
        cls.addClassCleanup(cls.backends.stop)
        # A short time-out, so that the hanging CAS server's tickets end soon.
        cls.nginx = Nginx(MODULE, registry(cls.cas.url, ValidationTimeout=3), cls.backends)
        cls.addClassCleanup(cls.nginx.cleanup)
        cls.nginx.start()
        cls.cookie = sign_on(cls.nginx)

    def test_sign_on_from_login_redirect_to_every_back_end(self):
        port, page = self.nginx.port, "/secure/proxy/a?x=1&y=2"
        status, reason, headers, body = self.nginx.request(page)
        self.assertEqual((status, reason, body), (302, "Redirection", b""))
        self.assertEqual(header(headers, "Location"),
                         "%s/login?service=http://127.0.0.1:%d/secure/proxy/a%%3fx%%3d1%%26y%%3d2"
                         % (self.cas.url, port))
        back = cas_login(header(headers, "Location"))
        ticket = urllib.parse.parse_qs(urllib.parse.urlsplit(back).query)["ticket"][0]
        # The ticket is validated on a pool thread; the answer comes when it is done.
        status, reason, headers, body = self.nginx.request(path_of(back))
        self.assertEqual((status, reason, body), (302, "Redirection", b""), self.nginx.logs())
        self.assertEqual(header(headers, "Location"), "http://127.0.0.1:%d%s" % (port, page))
        self.assertEqual(header(headers, "Set-Cookie"), "VAVUZE=%s;path=/" % ticket)
        cookie = {"Cookie": "VAVUZE=" + ticket}

        # Each back end sees the signed-on user alone, whatever the browser
        # forged; an unprotected page gets no identity at all.
        rows = [
            ("proxy_pass", "/secure/proxy/x", cookie, (["alice"], ["alice"])),
            ("fastcgi_pass", "/secure/fastcgi/x", cookie, (["alice"], ["alice"])),
            ("uwsgi_pass", "/secure/uwsgi/x", cookie, (["alice"], ["alice"])),
            ("unprotected", "/public/proxy/x", {}, ([], [])),
        ]
        for name, path, headers, expected in rows:
            with self.subTest(name):
                status, _, _, body = self.nginx.request(path, dict(FORGED, **headers))
                self.assertEqual(status, 200)
                self.assertEqual(identity_seen(body), expected)
        status, _, _, _ = self.nginx.request("/secure/proxy/x", FORGED)
        self.assertEqual(status, 302)

        events = self.nginx.turnpike_events()
        self.assertIn(("info", 4, "The Turnpike filter authenticated via cookie:: alice"),
                      [event[:3] for event in events])
        self.assertIn(("notice", 5, "The Turnpike ISAPI Filter has been started."),
                      [event[:3] for event in events])

    def test_every_worker_accepts_the_cookie_of_one(self):
        for _ in range(40):
            status, _, _, body = self.nginx.request("/secure/report.txt", {"Cookie": self.cookie})
            self.assertEqual((status, body), (200, b"the protected report\n"))
        workers = {event[3] for event in self.nginx.turnpike_events()
                   if event[2] == "The Turnpike filter authenticated via cookie:: alice"}
        self.assertEqual(len(workers), 2, self.nginx.logs())

    def test_protection_and_security_rows(self):
        good = self.cookie
        service = "service=http://127.0.0.1:%d/" % self.nginx.port
        rows = [
            # Protection: the registry's paths in the URL as sent or as nginx serves it,
            # and `turnpike on` in the location nginx chose.
            ("path", "/secure/report.txt", {}, 302),
            ("letter case", "/SECURE/report.txt", {}, 302),
            ("escape", "/%73ecure/report.txt", {}, 302),
            ("path parameter", "/secure;x=1/report.txt", {}, 302),
            ("double slash", "//secure/report.txt", {}, 302),
            ("dot segments", "/public/../secure/report.txt", {}, 302),
            ("escaped dot segments", "/public/%2e%2e/secure/report.txt", {}, 302),
            ("location", "/app/page.txt", {}, 302),
            ("location, escaped", "/%61pp/page.txt", {}, 302),
            ("location, dot segments", "/app/open/%2e%2e/page.txt", {}, 302),
            ("turnpike off inside", "/app/open/page.txt", {}, 200),
            ("internal redirect into the location", "/public/inside", {}, 302),
            ("internal redirect, signed on", "/public/inside", {"Cookie": good}, 200),
            ("unprotected", "/public/page.txt", {}, 200),
            # The browser does not choose the service.
            ("Host of another site", "/secure/report.txt", {"Host": "evil.example"}, 302),
            # Cookies.
            ("good cookie", "/app/page.txt", {"Cookie": good}, 200),
            ("unknown cookie", "/secure/report.txt", {"Cookie": "VAVUZE=ST-unknown"}, 302),
            ("planted in another cookie", "/secure/report.txt", {"Cookie": "X" + good}, 302),
            ("in another cookie's value", "/secure/report.txt", {"Cookie": "pref=" + good}, 302),
            ("stale one first", "/secure/report.txt", {"Cookie": "VAVUZE=ST-1; " + good}, 200),
            # A made-up ticket: the CAS server refuses it, no sign-on.
            ("made-up ticket", "/secure/report.txt?ticket=ST-made-up", {}, 302),
            ("CR LF escaped in the ticket", "/secure/report.txt?ticket=ST-1%0d%0aX-A:%20b", {}, 302),
        ]
        for name, path, headers, expected in rows:
            with self.subTest(name):
                status, _, answer, _ = self.nginx.request(path, headers)
                self.assertEqual(status, expected)
                if status == 302:
                    location = header(answer, "Location")
                    self.assertTrue(location.startswith(self.cas.url + "/login?" + service), location)
                    self.assertFalse((header(answer, "Set-Cookie") or "").startswith("VAVUZE="))
                    self.assertIsNone(header(answer, "X-A"))

    def test_a_hanging_cas_server_blocks_no_worker(self):
        # One keep-alive connection to each worker, each then waiting for a
        # ticket's validation at the hanging CAS server.
        waiting = {}
        for _ in range(60):
            connection = http.client.HTTPConnection("127.0.0.1", self.nginx.port, timeout=10)
            _, _, _, pid = self.nginx.request("/pid", connection=connection)
            if pid in waiting:
                connection.close()
            else:
                waiting[pid] = connection
            if len(waiting) == 2:
                break
        self.assertEqual(len(waiting), 2)
        set_fault(self.cas, "hang")
        try:
            started = time.monotonic()
            for number, connection in enumerate(waiting.values()):
                connection.request("GET", "/secure/report.txt?ticket=ST-hang-%d" % number)
            time.sleep(0.3)

            answered = set()
            for number in range(40):
                path, headers = (("/pid", {}) if number % 2 == 0
                                 else ("/secure/report.txt", {"Cookie": self.cookie}))
                before = time.monotonic()
                status, _, _, body = self.nginx.request(path, headers)
                self.assertLess(time.monotonic() - before, 0.05, path)
                self.assertEqual(status, 200)
                if path == "/pid":
                    answered.add(body)
            self.assertEqual(answered, set(waiting))

            # ValidationTimeout ends the waits: the login redirect, with the
            # note of the failure.
            for connection in waiting.values():
                response = connection.getresponse()
                response.read()
                self.assertEqual(response.status, 302)
                self.assertTrue(response.getheader("Location").startswith(self.cas.url + "/login?"))
                self.assertIn("TurnpikeFailed", response.getheader("Set-Cookie"))
            self.assertGreater(time.monotonic() - started, 2.5)
        finally:
            set_fault(self.cas, "none")
            for connection in waiting.values():
                connection.close()


class FullZone(unittest.TestCase):
    def test_a_full_zone_drops_the_oldest_sign_ons_and_keeps_storing(self):
        cas = CasProcess().start()
        self.addCleanup(cas.stop)
        # The least zone nginx allows holds a few dozen sign-ons.
        nginx = Nginx(MODULE, registry(cas.url), http_lines=["turnpike_zone small 32k;"])
        self.addCleanup(nginx.cleanup)
        nginx.start()
        cookies = [sign_on(nginx) for _ in range(300)]
        self.assertTrue(all(cookie.startswith("VAVUZE=ST-") for cookie in cookies))
        # A worker remembers the sign-ons it has just stored for a second,
        # whatever the zone has dropped since.
        time.sleep(1.1)
        first = nginx.request("/secure/report.txt", {"Cookie": cookies[0]})[0]
        last = nginx.request("/secure/report.txt", {"Cookie": cookies[-1]})[0]
        self.assertEqual((first, last), (302, 200))
        self.assertEqual([event for event in nginx.turnpike_events() if event[0] == "error"
                          and "could not store" in event[2]], [])


class AttributesAndOpaqueCookie(unittest.TestCase):
    def test_attribute_headers_and_a_cookie_that_is_not_the_ticket(self):
        cas = CasProcess().start()
        self.addCleanup(cas.stop)
        backends = Backends()
        self.addCleanup(backends.stop)
        text = registry_text(cas.url, validation_path="p3/serviceValidate", numbers={"OpaqueCookie": 1},
                             texts={"AttributeHeaderPrefix": "CAS-"})
        nginx = Nginx(MODULE, text.replace('"AuthHeader"="CASUser"', '"AuthHeader"="CAS-User"'), backends)
        self.addCleanup(nginx.cleanup)
        nginx.start()
        _, _, headers, _ = nginx.request("/secure/proxy/x")
        back = cas_login(header(headers, "Location"))
        ticket = urllib.parse.parse_qs(urllib.parse.urlsplit(back).query)["ticket"][0]
        _, _, headers, _ = nginx.request(path_of(back))
        cookie = header(headers, "Set-Cookie").split(";")[0]
        self.assertRegex(cookie, r"^VAVUZE=[0-9a-f]{32}$")

        forged = {"CAS-email": "mallory@example.org", "cas_memberOf": "admins", "CAS.Role": "root"}
        rows = [
            ("signed on", "/secure/proxy/x", {"Cookie": cookie},
             {"cas-user": "alice", "cas-email": "alice@example.org", "cas-displayname": "Alice Liddell",
              "cas-memberof": "staff, library"}),
            ("unprotected", "/public/proxy/x", {}, {}),
        ]
        for name, path, extra, expected in rows:
            with self.subTest(name):
                status, _, _, body = nginx.request(path, dict(forged, **extra))
                self.assertEqual(status, 200, nginx.logs())
                seen = {folded(key[5:] if key.startswith("HTTP_") else key): value
                        for key, value in json.loads(body)}
                self.assertEqual({key: value for key, value in seen.items() if key.startswith("cas-")}, expected)
        # The ticket, as an access log shows it, is no cookie.
        self.assertEqual(nginx.request("/secure/proxy/x", {"Cookie": "VAVUZE=" + ticket})[0], 302)


class SharedCache(unittest.TestCase):
    def test_two_servers_share_sign_ons_through_redis(self):
        cas = CasProcess().start()
        self.addCleanup(cas.stop)
        redis = RedisServer(password="farm-secret")
        redis.start()
        self.addCleanup(redis.stop)
        text = registry_text(cas.url, texts={"SharedCache": "redis://127.0.0.1:%d/3" % redis.port,
                                             "SharedCachePassword": "farm-secret"})
        servers = [Nginx(MODULE, text), Nginx(MODULE, text)]
        for nginx in servers:
            self.addCleanup(nginx.cleanup)
            nginx.start()
        cookie = sign_on(servers[0])
        self.assertEqual(redis.cli("-n", "3", "DBSIZE"), "1")
        self.assertEqual(servers[1].request("/secure/report.txt", {"Cookie": cookie})[0], 200)
        # A store that cannot be reached lets nobody in.
        redis.stop()
        time.sleep(1.1)  # past what each worker remembers of its recent sign-ons
        self.assertEqual(servers[1].request("/secure/report.txt", {"Cookie": cookie})[0], 302)


class Configuration(unittest.TestCase):
    """What nginx -t and a running nginx report about the filter."""

    def test_refused_configurations(self):
        good = registry("http://127.0.0.1:9")
        rows = [
            ("value missing", good.replace('"LoginPath"="login"\n', ""), [],
             "[event 1] A Turnpike registry configuration value is missing or null, "
             "please set a valid value for: LoginPath"),
            ("registry file missing", None, [], "[event 1] "),
            ("zone too small", good, ["turnpike_zone turnpike 8k;"], 'zone "turnpike" is too small'),
            ("unknown thread pool", good, ["turnpike_thread_pool validations;"],
             'unknown thread pool "validations"'),
        ]
        for name, text, lines, reason in rows:
            with self.subTest(name):
                nginx = Nginx(MODULE, text, http_lines=lines)
                try:
                    status, output = nginx.config_test()
                finally:
                    nginx.cleanup()
                self.assertNotEqual(status, 0, output)
                self.assertIn(reason, output)
                self.assertIn("test failed", output)

        nginx = Nginx(MODULE, good)
        try:
            status, output = nginx.config_test()
        finally:
            nginx.cleanup()
        self.assertEqual(status, 0, output)
        # A check is no start: neither event.
        self.assertNotIn("[event", output)

    def test_start_reload_and_stop_are_reported_once_each(self):
        nginx = Nginx(MODULE, registry("http://127.0.0.1:9"))
        try:
            nginx.start()
            nginx.process.send_signal(signal.SIGHUP)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline and len(nginx.turnpike_events()) < 3:
                time.sleep(0.05)
            nginx.stop()
            lifecycle = [event[:3] for event in nginx.turnpike_events()]
        finally:
            nginx.cleanup()
        started = ("notice", 5, "The Turnpike ISAPI Filter has been started.")
        stopped = ("notice", 6, "The Turnpike ISAPI Filter has been stopped.")
        self.assertEqual(lifecycle, [started, stopped, started, stopped])


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    unittest.main()
