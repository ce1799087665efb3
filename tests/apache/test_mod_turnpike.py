"""Black-box tests of mod_turnpike in Debian's Apache httpd, against the test
CAS server, both on 127.0.0.1, driven by a plain HTTP client that follows no
redirect.

    python3 test_mod_turnpike.py MODULE_SO [unittest arguments]
"""

import concurrent.futures
import http.client
import os
import sys
import time
import unittest
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from apache_harness import Apache, Browser, CasProcess, free_port, header, registry_text  # noqa: E402

MODULE = None  # set from the command line


def follow_cas_login(location, user="alice"):
    """Signs `user` on at the test CAS server the login redirect points to,
    non-interactively; answers the URL the CAS server sends the browser back
    to (the service with its ticket)."""
    login = urllib.parse.urlsplit(location)
    service = urllib.parse.parse_qs(login.query)["service"][0]
    connection = http.client.HTTPConnection(login.hostname, login.port, timeout=10)
    try:
        connection.request("GET", "/login?" + urllib.parse.urlencode(
            {"service": service, "username": user, "auto": "1"}))
        response = connection.getresponse()
        response.read()
        assert response.status == 302, response.status
        return response.getheader("Location")
    finally:
        connection.close()


def path_of(url):
    parts = urllib.parse.urlsplit(url)
    return parts.path + ("?" + parts.query if parts.query else "")


def sign_on(apache, path="/secure/index.shtml", user="alice"):
    """The three requests of a sign-on; answers the cookie ("VAVUZE=...")."""
    status, _, headers, _ = apache.request(path)
    assert status == 302, status
    back = follow_cas_login(header(headers, "Location"), user)
    status, _, headers, _ = apache.request(path_of(back))
    assert status == 302, (status, apache.logs())
    return header(headers, "Set-Cookie").split(";")[0]


def shown_user(body):
    text = body.decode()
    start = text.index('<span id="user">') + len('<span id="user">')
    return text[start:text.index("</span>", start)]


class SignOnOverHttp(unittest.TestCase):
    """One CAS server, Apache with the module (prefork, 4 children) and the
    same site in an Apache without it."""

    @classmethod
    def setUpClass(cls):
        cls.cas = CasProcess().start()
        cls.addClassCleanup(cls.cas.stop)
        cls.apache = Apache(MODULE, registry_text(cls.cas.url), servers=4)
        cls.addClassCleanup(cls.apache.cleanup)
        cls.apache.start()
        cls.plain = Apache(None)
        cls.addClassCleanup(cls.plain.cleanup)
        cls.plain.start()

    def test_sign_on_from_login_redirect_to_the_page(self):
        port = self.apache.port
        page = "/secure/index.shtml?a=1&b=2"

        status, reason, headers, body = self.apache.request(page)
        self.assertEqual((status, reason, body), (302, "Redirection", b""))
        # The port is part of the service URL: without it the CAS server
        # would send the browser back to port 80.
        self.assertEqual(header(headers, "Location"),
                         "%s/login?service=http://127.0.0.1:%d/secure/index.shtml%%3fa%%3d1%%26b%%3d2"
                         % (self.cas.url, port))
        self.assertEqual(header(headers, "Content-Length"), "0")

        back = follow_cas_login(header(headers, "Location"))
        self.assertTrue(back.startswith("http://127.0.0.1:%d%s&ticket=ST-" % (port, page)), back)
        ticket = urllib.parse.parse_qs(urllib.parse.urlsplit(back).query)["ticket"][0]

        # The ticket was validated at the CAS server (tickets are single-use,
        # so the cookie proves it), and the browser goes back to its page.
        status, reason, headers, body = self.apache.request(path_of(back))
        self.assertEqual((status, reason, body), (302, "Redirection", b""))
        self.assertEqual(header(headers, "Location"), "http://127.0.0.1:%d%s" % (port, page))
        self.assertEqual(header(headers, "Set-Cookie"), "VAVUZE=%s;path=/" % ticket)

        status, _, _, body = self.apache.request(page, {"Cookie": "VAVUZE=" + ticket})
        self.assertEqual(status, 200)
        self.assertEqual(shown_user(body), "alice")

        events = [event for event in self.apache.turnpike_events() if event[1] == 4]
        self.assertIn(("info", 4, "The Turnpike filter authenticated via cookie:: alice"), events)

    def test_start_warns_of_what_turnpike_try_check_finds(self):
        warnings = [line[line.index("Add: ") + 5:] for line in self.apache.error_log_text().splitlines()
                    if "[turnpike:warn]" in line and "Turnpike production check: " in line]
        self.assertEqual(warnings, ['"ServerBaseURL"="https://www.example.org"  (the scheme and name browsers use)',
                                    '"OpaqueCookie"=dword:00000001',
                                    '"ServerURL"="https://%s"' % self.cas.url[len("http://"):]])

    def test_redirect_to_a_head_request_has_no_body_either(self):
        status, reason, headers, body = self.apache.request("/secure/report.txt", method="HEAD")
        self.assertEqual((status, reason, body), (302, "Redirection", b""))
        self.assertIsNotNone(header(headers, "Location"))

    def test_unprotected_requests_are_answered_as_without_the_module(self):
        rows = [
            ("front page", "GET", "/", {}),
            ("static file", "GET", "/public/page.txt", {}),
            ("HEAD", "HEAD", "/public/page.txt", {}),
            ("missing file", "GET", "/public/nothing-here", {}),
            ("query", "GET", "/index.html?next=/public/", {}),
            ("conditional", "GET", "/public/page.txt", {"Range": "bytes=0-4"}),
            ("cookie", "GET", "/public/who.shtml", {"Cookie": "VAVUZE=ST-unknown"}),
            ("long query", "GET", "/public/page.txt?" + "q" * 5000, {}),
        ]
        for name, method, path, headers in rows:
            with self.subTest(name):
                with_module = self.apache.request(path, headers, method)
                without = self.plain.request(path, headers, method)
                self.assertEqual(with_module[:2], without[:2])
                self.assertEqual(with_module[3], without[3])

                def relevant(response):
                    return sorted((key.lower(), value) for key, value in response[2]
                                  if key.lower() != "date")
                self.assertEqual(relevant(with_module), relevant(without))

    def test_forged_identity_header_never_reaches_the_page(self):
        cookie = sign_on(self.apache)
        rows = [
            ("short", {"CASUser": "mallory"}),
            ("other letter case", {"casuser": "mallory"}),
            # Longer than the filter can read (2083 bytes): it is still replaced.
            ("over 2083 bytes", {"CASUser": "mallory" + "x" * 3000}),
            ("empty", {"CASUser": ""}),
        ]
        for name, forged in rows:
            with self.subTest(name):
                status, _, _, body = self.apache.request("/secure/index.shtml",
                                                         dict(forged, Cookie=cookie))
                self.assertEqual(status, 200)
                self.assertEqual(shown_user(body), "alice")
                # Without a sign-on the page is not reached at all.
                status, _, _, body = self.apache.request("/secure/index.shtml", forged)
                self.assertEqual((status, body), (302, b""))

    def test_unprotected_pages_get_no_forged_identity_either(self):
        # An application that reads the identity header on every page must
        # not find the browser's own value where the filter did not look.
        status, _, _, body = self.apache.request("/public/who.shtml", {"CASUser": "mallory"})
        self.assertEqual(status, 200)
        self.assertEqual(shown_user(body), "(none)")

    def test_long_urls_and_cookie_headers_are_read_whole(self):
        # Analytics cookies make Cookie headers of several kilobytes; a sign-on
        # that could not be read would send the browser round the login page.
        cookie = sign_on(self.apache)
        analytics = "; ".join("_ga%d=%s" % (i, "g" * 90) for i in range(40))
        status, _, _, body = self.apache.request("/secure/index.shtml",
                                                 {"Cookie": analytics + "; " + cookie})
        self.assertEqual((status, shown_user(body)), (200, "alice"))
        status, _, headers, _ = self.apache.request("/secure/index.shtml?q=" + "x" * 2000)
        self.assertEqual(status, 302)
        self.assertTrue(header(headers, "Location").endswith("/secure/index.shtml%3fq%3d" + "x" * 2000))
        # Only a service URL too long for the CAS server's parameter is refused.
        status, _, _, _ = self.apache.request("/secure/index.shtml?q=" + "x" * 3000)
        self.assertEqual(status, 500)
        self.assertIn(("error", 1, "The Turnpike filter was unable to assemble a service url for the "
                       "request: : "), self.apache.turnpike_events())

    def test_every_parameter_survives_a_server_that_rebuilds_the_query(self):
        # Such a server sends the browser back with the query re-encoded, so
        # the first ticket names another service; one more trip through the
        # login page (which remembers the user) settles it, and the page gets
        # the parameters it asked for.
        page = "/secure/index.shtml?z=1&q=1%2B1%3D2&x=a%26b&s=two%20words&y=2"
        urllib.request.urlopen(self.cas.url + "/_rebuild?on=1").read()
        self.addCleanup(lambda: urllib.request.urlopen(self.cas.url + "/_rebuild?on=0").read())
        browser = Browser(self.apache, self.cas.url)
        status, _, body, path = browser.get(page)
        self.assertEqual((status, shown_user(body)), (200, "alice"))
        self.assertLessEqual(browser.logins, 2)
        self.assertEqual(urllib.parse.parse_qs(urllib.parse.urlsplit(path).query),
                         urllib.parse.parse_qs(urllib.parse.urlsplit(page).query))

    def test_cookie_set_by_one_child_is_accepted_by_every_other(self):
        cookie = sign_on(self.apache)
        before = len(self.apache.access_log_lines())

        def fetch(_):
            status, _, _, body = self.apache.request("/secure/index.shtml?n", {"Cookie": cookie})
            return status, shown_user(body) if status == 200 else None

        # A new connection per request, eight at a time: the children take
        # turns at accepting them.
        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            results = list(pool.map(fetch, range(500), timeout=120))
        self.assertEqual(results.count((200, "alice")), 500, [r for r in results if r != (200, "alice")][:3])

        # A child writes its access log line after the answer has gone out,
        # so the last lines may still be on their way.
        deadline = time.monotonic() + 10
        while True:
            served = [line for line in self.apache.access_log_lines()[before:]
                      if line[1:] == ["200", "/secure/index.shtml?n"]]
            if len(served) >= 500 or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(len(served), 500)
        self.assertGreaterEqual(len({line[0] for line in served}), 2,
                                "every request was served by one child")


class Expiry(unittest.TestCase):
    def test_expired_session_goes_back_to_login(self):
        with CasProcess() as cas, Apache(MODULE, registry_text(cas.url, session_timeout=0)) as apache:
            cookie = sign_on(apache)
            status, reason, headers, body = apache.request("/secure/index.shtml", {"Cookie": cookie})
            self.assertEqual((status, reason, body), (302, "Redirection", b""))
            self.assertTrue(header(headers, "Location").startswith(cas.url + "/login?service="))
            self.assertIn(("error", 1, "The Turnpike filter was unable to validate the authentication "
                                       "cookie:: " + cookie.split("=", 1)[1]),
                          apache.turnpike_events())


class SharedStoreTrouble(unittest.TestCase):
    def test_unreachable_store_is_reported_and_never_lets_anyone_in(self):
        closed_port = free_port()
        with CasProcess() as cas, Apache(
                MODULE, registry_text(cas.url),
                turnpike_lines=['LoadModule socache_memcache_module '
                                '"/usr/lib/apache2/modules/mod_socache_memcache.so"',
                                "TurnpikeCache memcache:127.0.0.1:%d" % closed_port]) as apache:
            # The sign-on cannot be kept: an error, not a cookie that would
            # only send the browser round the login page forever.
            status, _, headers, _ = apache.request("/secure/index.shtml")
            back = follow_cas_login(header(headers, "Location"))
            status, _, headers, _ = apache.request(path_of(back))
            self.assertEqual(status, 500)
            self.assertIsNone(header(headers, "Set-Cookie"))

            # A cookie cannot be checked: not signed on.
            status, _, headers, _ = apache.request("/secure/index.shtml", {"Cookie": "VAVUZE=ST-1"})
            self.assertEqual(status, 302)
            self.assertTrue(header(headers, "Location").startswith(cas.url + "/login?"))

            errors = [text for level, number, text in apache.turnpike_events() if number == 1]
            self.assertTrue(any(text.startswith("The Turnpike filter could not store a sign-on in the "
                                                "shared credentials cache:: memcache: ")
                                for text in errors), errors)
            # The lookup's trouble is reported only while memcache still
            # tries the server: once it has marked the server dead it answers
            # "not found", which is reported as an unknown cookie.
            self.assertTrue(any(text.startswith(("The Turnpike filter could not read the shared "
                                                 "credentials cache:: memcache: ",
                                                 "The Turnpike filter was unable to validate the "
                                                 "authentication cookie:: ST-1"))
                                for text in errors[1:]), errors)


def environment(body):
    """The HTTP_* variables a page's printenv shows ({name: value})."""
    lines = body.decode().splitlines()
    return dict(line.split("=", 1) for line in lines if line.startswith("HTTP_"))


class AttributesAndOpaqueCookie(unittest.TestCase):
    """CAS 3.0 attributes as CAS-* headers, a cookie that is not the ticket,
    and the cookie's attributes, through one Apache."""

    def test_attributes_reach_the_page_and_the_logged_ticket_is_no_cookie(self):
        with CasProcess() as cas, Apache(MODULE, registry_text(
                cas.url, validation_path="p3/serviceValidate", numbers={"OpaqueCookie": 1},
                texts={"AttributeHeaderPrefix": "CAS-",
                       "CookieAttributes": "HttpOnly; SameSite=Lax"})) as apache:
            status, _, headers, _ = apache.request("/secure/env.shtml")
            back = follow_cas_login(header(headers, "Location"))
            ticket = urllib.parse.parse_qs(urllib.parse.urlsplit(back).query)["ticket"][0]
            status, _, headers, _ = apache.request(path_of(back))
            set_cookie = header(headers, "Set-Cookie")
            self.assertRegex(set_cookie, r"^VAVUZE=[0-9a-f]{32};path=/; HttpOnly; SameSite=Lax$")
            self.assertNotIn(ticket, set_cookie)
            cookie = set_cookie.split(";")[0]

            # The browser's own headers under the prefix never reach a page,
            # protected or not; the CAS server's attributes do.
            forged = {"CAS-email": "mallory@example.org", "cas-memberof": "admins", "CAS-Admin": "1"}
            status, _, _, body = apache.request("/secure/env.shtml", dict(forged, Cookie=cookie))
            self.assertEqual(status, 200)
            shown = {name: value for name, value in environment(body).items() if name.startswith("HTTP_CAS")}
            self.assertEqual(shown, {"HTTP_CASUSER": "alice", "HTTP_CAS_EMAIL": "alice@example.org",
                                     "HTTP_CAS_DISPLAYNAME": "Alice Liddell",
                                     "HTTP_CAS_MEMBEROF": "staff, library"})
            status, _, _, body = apache.request("/public/env.shtml", forged)
            self.assertEqual(status, 200)
            self.assertEqual([name for name in environment(body) if name.startswith("HTTP_CAS")], [])

            # Whoever reads the access log finds the ticket, which is no cookie.
            logged = [line[2] for line in apache.access_log_lines() if "ticket=" in line[2]]
            self.assertTrue(any(ticket in line for line in logged), logged)
            status, _, headers, _ = apache.request("/secure/env.shtml", {"Cookie": "VAVUZE=" + ticket})
            self.assertEqual(status, 302)
            self.assertTrue(header(headers, "Location").startswith(cas.url + "/login?"))


class LifeCycle(unittest.TestCase):
    def test_started_and_stopped_once_per_start_restart_and_stop(self):
        with CasProcess() as cas:
            apache = Apache(MODULE, registry_text(cas.url, debug=0), servers=4)
            try:
                apache.start()
                self.assertEqual(apache.config_test()[0], 0)
                apache.graceful_restart()
                apache.stop()
                lifecycle = [event for event in apache.turnpike_events() if event[1] in (5, 6)]
                self.assertEqual(lifecycle, [
                    ("notice", 5, "The Turnpike ISAPI Filter has been started."),
                    ("notice", 6, "The Turnpike ISAPI Filter has been stopped."),
                    ("notice", 5, "The Turnpike ISAPI Filter has been started."),
                    ("notice", 6, "The Turnpike ISAPI Filter has been stopped."),
                ], apache.logs())
                # The module's version in a start-up line of its own, once per
                # start; the started event's text stays as it is.
                self.assertEqual(apache.error_log_text().count(
                    "] mod_turnpike/%s configured\n" % os.environ["TURNPIKE_VERSION"]), 2,
                    apache.logs())
            finally:
                apache.cleanup()

    def test_refused_configuration_stops_apache_with_the_reason(self):
        good = registry_text("http://127.0.0.1:9")
        rows = [
            ("missing value", good.replace('"LoginPath"="login"\n', ""), (),
             "A Turnpike registry configuration value is missing or null, please set a valid "
             "value for: LoginPath"),
            ("malformed file", good.replace('"LoginPath"="login"', '"LoginPath"=login'), (),
             "turnpike.reg:5: "),
            ("no file", None, (),
             "The Turnpike configuration registry key could not be read"),
            ("unknown cache provider", good, ("TurnpikeCache nosuch",),
             'TurnpikeCache: no shared object cache provider "nosuch" is loaded'),
            ("bad cache size", good, ("TurnpikeCache shmcb:/tmp/turnpike(lots)",),
             "TurnpikeCache shmcb: "),
            # "HttpOnly\r\nX: y" as REG_SZ data: a line break would add a
            # header of its own to every sign-on's answer.
            ("cookie attributes with CR LF",
             good.replace('"LoginPath"="login"\n', '"LoginPath"="login"\n"CookieAttributes"=hex(1):' + ",".join(
                 "%02x" % b for b in "HttpOnly\r\nX: y\0".encode("utf-16-le")) + "\n"), (),
             "A Turnpike registry configuration value is missing or null, please set a valid "
             "value for: CookieAttributes"),
        ]
        for name, registry, lines, reason in rows:
            with self.subTest(name):
                apache = Apache(MODULE, registry, turnpike_lines=lines)
                try:
                    status, output = apache.config_test()
                    self.assertNotEqual(status, 0)
                    self.assertIn(reason, output)
                    self.assertNotIn("Syntax OK", output)

                    apache.start(wait=False)
                    self.assertNotEqual(apache.wait_for_exit(), 0)
                    # Once the error log is open the reason goes there; a
                    # directive refused before that goes to standard error,
                    # as Apache's own configuration errors do.
                    self.assertIn(reason, apache.error_log_text() + apache.stderr_text())
                    self.assertNotIn("has been started", apache.error_log_text())
                finally:
                    apache.cleanup()


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
