"""Black-box tests of single logout, the logout path, gateway pages, renew and
the 401 for scripts, through mod_turnpike in Debian's Apache httpd, with the
test CAS server keeping a single-sign-on session (CASTGC) per browser.

    python3 test_logout_gateway.py MODULE_SO [unittest arguments]
"""

import http.client
import os
import subprocess
import sys
import time
import unittest
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "support"))
from apache_harness import APACHE_MODULES, WHO_PAGE, Apache, CasProcess, free_port, header, registry_text  # noqa: E402
from cas_server import logout_request  # noqa: E402

MODULE = None  # set from the command line
FORM = "application/x-www-form-urlencoded"

# The application behind the protected pages: it answers the identity it
# was given and the body it read.
ECHO_CGI = """#!/usr/bin/python3
import os, sys
body = sys.stdin.buffer.read()
sys.stdout.buffer.write(b"Content-Type: application/octet-stream\\r\\n\\r\\n")
sys.stdout.buffer.write(os.environ.get("HTTP_CASUSER", "(none)").encode() + b"\\n" + body)
"""
CGI_LINES = ['LoadModule cgi_module "%s/mod_cgi.so"' % APACHE_MODULES,
             "AddHandler cgi-script .cgi", '<Files "echo.cgi">', "Options +ExecCGI", "</Files>"]


def shown_user(body):
    text = body.decode()
    start = text.index('<span id="user">') + len('<span id="user">')
    return text[start:text.index("</span>", start)]


class CasBrowser:
    """A browser: cookies kept per server (port), redirects followed, the test
    CAS server's sign-in form filled in as `user` whenever it shows it.
    `ticket` is the last ticket a redirect brought back; `logins` counts the
    forms filled in."""

    def __init__(self, user="alice"):
        self.user, self.jar, self.ticket, self.logins = user, {}, None, 0

    def fetch(self, url, method="GET", body=None, headers=None):
        parts = urllib.parse.urlsplit(url)
        jar = self.jar.setdefault(parts.port, {})
        sent = dict(headers or {})
        if jar:
            sent["Cookie"] = "; ".join("%s=%s" % item for item in jar.items())
        connection = http.client.HTTPConnection("127.0.0.1", parts.port, timeout=10)
        try:
            connection.request(method, parts.path + ("?" + parts.query if parts.query else ""),
                               body=body, headers=sent)
            response = connection.getresponse()
            data = response.read()
        finally:
            connection.close()
        for key, value in response.getheaders():
            if key.lower() == "set-cookie":
                name, _, rest = value.partition("=")
                if "max-age=0" in rest.lower().replace(" ", ""):
                    jar.pop(name, None)
                else:
                    jar[name] = rest.split(";")[0]
        return response.status, response.getheaders(), data

    def get(self, url, max_steps=8):
        """(status, headers, body, url) of the first answer that is neither a
        redirect nor the sign-in form."""
        for _ in range(max_steps):
            status, headers, body = self.fetch(url)
            parts = urllib.parse.urlsplit(url)
            if status == 200 and parts.path == "/login" and b"<form" in body:
                service = urllib.parse.parse_qs(parts.query)["service"][0]
                self.logins += 1
                url = "%s://%s/login?%s" % (parts.scheme, parts.netloc, urllib.parse.urlencode(
                    {"service": service, "username": self.user, "auto": "1"}))
                continue
            if status != 302:
                return status, headers, body, url
            url = urllib.parse.urljoin(url, header(headers, "Location"))
            self.ticket = urllib.parse.parse_qs(urllib.parse.urlsplit(url).query).get(
                "ticket", [self.ticket])[0]
        raise AssertionError("still redirected after %d steps: a loop" % max_steps)


def start_servers(case, numbers=None, texts=None, gateway_paths=(), port=None):
    case.cas = CasProcess().start()
    case.addClassCleanup(case.cas.stop)
    case.apache = Apache(MODULE, registry_text(case.cas.url, numbers=numbers, texts=texts,
                                               gateway_paths=gateway_paths),
                         extra_lines=CGI_LINES, port=port)
    case.addClassCleanup(case.apache.cleanup)
    for name, text, mode in (("secure/echo.cgi", ECHO_CGI, 0o755), ("maybe/index.shtml", WHO_PAGE, 0o755)):
        path = os.path.join(case.apache.docroot, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        os.chmod(os.path.dirname(path), 0o755)
        with open(path, "w") as handle:
            handle.write(text)
        os.chmod(path, mode)
    case.apache.start()
    case.site = "http://127.0.0.1:%d" % case.apache.port


# Single logout with each way of keeping sign-ons; the opaque cookie's row
# is the one to enable once that setting exists.
SINGLE_LOGOUT_ROWS = [
    ("TicketCookie", {}),
    ("OpaqueCookie", {"OpaqueCookie": 1}),
]


class SingleLogoutCases:
    numbers = {}

    @classmethod
    def setUpClass(cls):
        start_servers(cls, numbers=dict(SingleLogout=1, **cls.numbers))

    def signed_on(self, user):
        browser = CasBrowser(user)
        status, _, body, _ = browser.get(self.site + "/secure/index.shtml")
        self.assertEqual((status, shown_user(body)), (200, user))
        return browser

    def signed_on_still(self, browser):
        # Another child may still hold the sign-on in its memory of recent
        # ones for a second (kRecentSignOnTime): past that, every child
        # answers from the shared store.
        time.sleep(1.1)
        status, _, body = browser.fetch(self.site + "/secure/index.shtml")
        return status == 200 and shown_user(body) == browser.user

    def post(self, path, body, content_type=FORM, method="POST", cookie=None, chunked=False):
        connection = http.client.HTTPConnection("127.0.0.1", self.apache.port, timeout=10)
        headers = {"Content-Type": content_type} if content_type else {}
        if cookie:
            headers["Cookie"] = cookie
        try:
            connection.request(method, path, body=iter([body]) if chunked else body, headers=headers,
                               encode_chunked=chunked)
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def test_signing_out_at_cas_ends_the_sign_on_here_and_no_other(self):
        alice, bob = self.signed_on("alice"), self.signed_on("bob")
        # The CAS server POSTs the logout request to the page alice signed on
        # to, then sends her on.
        status, _, _, _ = alice.get(self.cas.url + "/logout")
        self.assertEqual(status, 200)
        self.assertFalse(self.signed_on_still(alice))
        self.assertTrue(self.signed_on_still(bob))
        self.assertIn(("info", 4, "The Turnpike filter removed the sign-on named by a single-logout "
                                  "request, for:: alice"), self.apache.turnpike_events())

    def test_only_a_readable_form_post_naming_a_ticket_logs_out(self):
        alice, bob = self.signed_on("alice"), self.signed_on("bob")
        request = logout_request(alice.ticket)
        doctype = urllib.parse.urlencode({"logoutRequest": (
            '<!DOCTYPE r [<!ENTITY t "%s">]><samlp:LogoutRequest xmlns:samlp="urn:oasis:names:tc:'
            'SAML:2.0:protocol"><samlp:SessionIndex>&t;</samlp:SessionIndex></samlp:LogoutRequest>'
            % alice.ticket)}).encode()
        oversized = request + b"&padding=" + b"x" * (64 * 1024)
        rows = [
            # name, method, path, content type, body, status (None: not the filter's)
            ("GET with it in the query", "GET", "/secure/index.shtml?" + request.decode(), None, None, 302),
            ("GET with it as a body", "GET", "/secure/index.shtml", FORM, request, 302),
            ("POST of another type", "POST", "/secure/index.shtml", "text/plain", request, 302),
            ("POST to an unprotected page", "POST", "/public/page.txt", FORM, request, None),
            ("document type declaration", "POST", "/secure/index.shtml", FORM, doctype, 400),
            ("above 64 KiB", "POST", "/secure/index.shtml", FORM, oversized, 413),
            ("not XML", "POST", "/secure/index.shtml", FORM, b"logoutRequest=ST-1%3C", 400),
        ]
        for name, method, path, content_type, body, expected in rows:
            with self.subTest(name):
                status, _ = self.post(path, body, content_type, method)
                if expected is not None:
                    self.assertEqual(status, expected)
        self.assertTrue(self.signed_on_still(alice))
        # Whoever names a ticket ends that ticket's sign-on, as at CAS, and
        # only that one.
        self.assertEqual(self.post("/secure/index.shtml?a=1", request), (200, b""))
        self.assertFalse(self.signed_on_still(alice))
        self.assertTrue(self.signed_on_still(bob))
        self.assertEqual(self.post("/secure/index.shtml", request), (200, b""))
        events = self.apache.turnpike_events()
        self.assertIn(("warn", 2, "The Turnpike filter refused a single-logout request larger than "
                                  "64 KiB, sent to:: /secure/index.shtml"), events)
        self.assertIn(("info", 4, "The Turnpike filter received a single-logout request for a ticket "
                                  "it keeps no sign-on for:: " + alice.ticket), events)

    def test_every_other_post_reaches_the_application_whole(self):
        alice = self.signed_on("alice")
        cookie = "VAVUZE=" + alice.jar[self.apache.port]["VAVUZE"]
        rows = [
            ("form", FORM, b"a=1&b=two%20words&logoutRequestX=1", False),
            ("form above 64 KiB", FORM, b"big=" + b"x" * 100000, False),
            ("chunked form", FORM + "; charset=utf-8", b"c=" + b"y" * 70000, True),
            ("JSON", "application/json", b'{"logoutRequest": 1}', False),
        ]
        for name, content_type, body, chunked in rows:
            with self.subTest(name):
                self.assertEqual(self.post("/secure/echo.cgi", body, content_type, cookie=cookie,
                                           chunked=chunked), (200, b"alice\n" + body))


for row_name, row_numbers in SINGLE_LOGOUT_ROWS:
    globals()["SingleLogout" + row_name] = type("SingleLogout" + row_name,
                                                (SingleLogoutCases, unittest.TestCase),
                                                {"numbers": row_numbers})


class SingleLogoutFarm(unittest.TestCase):
    """Two Apache servers sharing sign-ons through memcached: a logout request
    that reaches one ends the sign-on on both."""

    def test_logout_at_one_server_ends_the_sign_on_at_the_other(self):
        port = free_port()
        memcached = subprocess.Popen(["memcached", "-l", "127.0.0.1", "-p", str(port), "-U", "0"]
                                     + (["-u", "nobody"] if os.geteuid() == 0 else []),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(memcached.wait, 10)
        self.addCleanup(memcached.terminate)
        lines = ['LoadModule socache_memcache_module "%s/mod_socache_memcache.so"' % APACHE_MODULES,
                 "TurnpikeCache memcache:127.0.0.1:%d" % port]
        cas = CasProcess().start()
        self.addCleanup(cas.stop)
        servers = []
        for _ in range(2):
            apache = Apache(MODULE, registry_text(cas.url, numbers={"SingleLogout": 1}), turnpike_lines=lines)
            self.addCleanup(apache.cleanup)
            servers.append(apache.start())
        first, second = servers
        alice = CasBrowser("alice")
        status, _, body, _ = alice.get("http://127.0.0.1:%d/secure/index.shtml" % first.port)
        self.assertEqual((status, shown_user(body)), (200, "alice"))
        cookie = {"Cookie": "VAVUZE=" + alice.jar[first.port]["VAVUZE"]}
        self.assertEqual(second.request("/secure/index.shtml", cookie)[0], 200)
        # CAS sends its logout request to the first server only.
        self.assertEqual(alice.get(cas.url + "/logout")[0], 200)
        time.sleep(1.1)
        for apache in servers:
            self.assertEqual(apache.request("/secure/index.shtml", cookie)[0], 302)


class LogoutPathGatewayAndScripts(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        port = free_port()
        cls.return_url = "http://127.0.0.1:%d/public/page.txt?bye=1&x=%%41" % port
        start_servers(cls, numbers={"ScriptsGet401": 1}, gateway_paths=["/maybe/"], port=port,
                      texts={"LogoutPath": "/logout", "LogoutReturnURL": cls.return_url})

    def test_logout_path_ends_the_sign_on_and_sends_the_browser_to_cas(self):
        alice = CasBrowser("alice")
        self.assertEqual(alice.get(self.site + "/secure/index.shtml")[0], 200)
        cookie = "VAVUZE=" + alice.jar[self.apache.port]["VAVUZE"]
        status, headers, _ = alice.fetch(self.site + "/logout?from=menu")
        self.assertEqual(status, 302)
        self.assertEqual(header(headers, "Location"), self.cas.url + "/logout?service=" +
                         self.return_url.replace("%", "%25").replace("?", "%3f").replace("=", "%3d")
                         .replace("&", "%26"))
        self.assertEqual(header(headers, "Set-Cookie"), "VAVUZE=; path=/; Max-Age=0")
        # Gone from the store, not only from the browser (past the second
        # another child may remember it).
        time.sleep(1.1)
        self.assertEqual(self.apache.request("/secure/index.shtml", {"Cookie": cookie})[0], 302)
        status, _, body, url = alice.get(header(headers, "Location"))
        self.assertEqual((status, url), (200, self.return_url))

    def test_gateway_page_signs_on_from_cas_or_lets_the_browser_on_without(self):
        anonymous = CasBrowser()
        status, headers, _ = anonymous.fetch(self.site + "/maybe/index.shtml")
        self.assertEqual(status, 302)
        self.assertEqual(header(headers, "Location"), self.cas.url + "/login?service=http://127.0.0.1:%d"
                         "/maybe/index.shtml&gateway=true" % self.apache.port)
        status, _, body, _ = anonymous.get(self.site + "/maybe/index.shtml")
        self.assertEqual((status, shown_user(body), anonymous.logins), (200, "(none)", 0))
        # Remembered: no trip to CAS, and no forged identity either.
        status, _, body = anonymous.fetch(self.site + "/maybe/index.shtml", headers={"CAS-User": "mallory"})
        self.assertEqual((status, shown_user(body)), (200, "(none)"))
        # A ticket that fails sends nobody round the login page.
        status, _, body = anonymous.fetch(self.site + "/maybe/index.shtml?ticket=ST-forged")
        self.assertEqual((status, shown_user(body)), (200, "(none)"))

        signed_in = CasBrowser("bob")
        signed_in.fetch(self.cas.url + "/login?username=bob&auto=1")
        status, _, body, _ = signed_in.get(self.site + "/maybe/index.shtml")
        self.assertEqual((status, shown_user(body), signed_in.logins), (200, "bob", 0))

    def test_scripts_get_401_with_the_login_url(self):
        login = self.cas.url + "/login?service=http://127.0.0.1:%d/secure/index.shtml" % self.apache.port
        rows = [
            ({"X-Requested-With": "XMLHttpRequest"}, 401),
            ({"Accept": "application/json"}, 401),
            ({"Accept": "Application/JSON; q=1.0, application/json"}, 401),
            ({"Accept": "application/json, text/html"}, 302),
            ({"Accept": "*/*"}, 302),
            ({"X-Requested-With": "fetch"}, 302),
        ]
        for headers, expected in rows:
            with self.subTest(headers):
                status, _, answer, body = self.apache.request("/secure/index.shtml", headers)
                self.assertEqual(status, expected)
                if expected == 401:
                    self.assertEqual(header(answer, "WWW-Authenticate"), 'CAS realm="%s"' % self.cas.url)
                    self.assertEqual(header(answer, "X-CAS-Login-URL"), login)
                    self.assertIsNone(header(answer, "Location"))
                else:
                    self.assertEqual(header(answer, "Location"), login)


class Renew(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        start_servers(cls, numbers={"Renew": 1})

    def test_a_ticket_from_the_cas_session_is_not_enough(self):
        alice = CasBrowser("alice")
        alice.fetch(self.cas.url + "/login?username=alice&auto=1")
        page = self.site + "/secure/index.shtml"
        status, headers, _ = alice.fetch(page)
        self.assertEqual(header(headers, "Location"),
                         self.cas.url + "/login?service=" + page.replace("?", "%3f") + "&renew=true")
        # A ticket the CAS session issued without asking is refused.
        status, headers, _ = alice.fetch(self.cas.url + "/login?service=" + urllib.parse.quote(page))
        status, headers, _ = alice.fetch(header(headers, "Location"))
        self.assertEqual(status, 302)
        self.assertTrue(header(headers, "Location").endswith("&renew=true"))
        self.assertNotIn("VAVUZE", alice.jar[self.apache.port])
        # Signing in again is.
        status, _, body, _ = alice.get(page)
        self.assertEqual((status, shown_user(body), alice.logins), (200, "alice", 1))


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
