"""Attacks on mod_turnpike in a real Apache, sent as raw bytes over a socket
so that no client library normalises them.

    python3 test_attacks.py MODULE_SO [unittest arguments]

"Nobody let in" means here: the protected file (/secure/report.txt) and the
protected page that shows the identity header are only ever served with a
cookie of a real sign-on, and the page then names the user the CAS server
vouched for; every other attempt gets the login redirect or an error of
Apache's own. "No injection" means: the answer holds only the headers the
filter writes, and the validation request only its service and ticket.
"""

import os
import sys
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from security_support import (PROTECTED_TEXT, Apache, CasProcess, EchoServer, StubCas,  # noqa: E402
                              crashes, issue_ticket, raw_get, raw_request, received_headers,
                              registry_text, RawResponse)

MODULE = None  # set from the command line
REPORT = b"/secure/report.txt"
WHO = b"/secure/index.shtml"
SERVICE_URL = "https://app.example.org/secure/index.shtml"


def with_service_url(registry, service_url):
    line = '"CacheCleanTimeout"=dword:0000000a\n'
    return registry.replace(line, line + '"ServiceURL"="%s"\n' % service_url)


def shown_user(response):
    text = response.body.decode("latin-1")
    start = text.index('<span id="user">') + len('<span id="user">')
    return text[start:text.index("</span>", start)]


class AgainstTheTestCasServer(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.cas = CasProcess().start()
        cls.addClassCleanup(cls.cas.stop)
        cls.apache = Apache(MODULE, registry_text(cls.cas.url), servers=2)
        cls.addClassCleanup(cls.apache.cleanup)
        cls.apache.start()
        cls.port = cls.apache.port
        service = "http://127.0.0.1:%d/secure/index.shtml" % cls.port
        signed_on = raw_get(cls.port, WHO + b"?ticket=" + issue_ticket(cls.cas.url, service).encode())
        cls.cookie = signed_on.header("Set-Cookie").split(";")[0].encode()

    def tearDown(self):
        self.assertEqual(crashes(self.apache), [])

    def assert_not_let_in(self, response, what):
        self.assertNotIn(PROTECTED_TEXT, response.body, what)
        self.assertNotIn(b"Signed on as", response.body, what)
        if response.status == 302:
            location = response.header("Location") or ""
            # The login page, or mod_dir adding the directory's slash.
            self.assertTrue(location.startswith(self.cas.url + "/login?service=") or
                            location.endswith("/secure/"), (what, location))
        else:
            # Status 0: an HTTP/0.9 answer (a request line without a
            # version), which has no headers at all.
            self.assertIn(response.status, (0, 301, 400, 403, 404, 405, 501), what)

    def test_the_protected_file_is_served_with_a_sign_on(self):
        # The baseline the bypass attempts are measured against.
        response = raw_get(self.port, REPORT, [b"Cookie: " + self.cookie])
        self.assertEqual(response.status, 200)
        self.assertIn(PROTECTED_TEXT, response.body)

    def test_bypass_attempts_never_reach_the_protected_file(self):
        port = b"%d" % self.port
        targets = [
            # escapes, once and twice, upper and lower hex
            b"/%73ecure/report.txt", b"/%73%65%63%75%72%65/report.txt", b"/%2573ecure/report.txt",
            b"/secure%2freport.txt", b"/secure%2Freport.txt", b"/%2fsecure/report.txt",
            b"/secure%00/report.txt", b"/secure/report.txt%00", b"/secure/report%2etxt",
            # letter case
            b"/SECURE/report.txt", b"/Secure/Report.txt", b"/sEcUrE/report.txt",
            # ; path parameters
            b"/secure;x=1/report.txt", b"/secure/;x/report.txt", b"/secure/report.txt;x=1",
            b"/public/..;/secure/report.txt",
            # dot segments, raw and escaped
            b"/public/../secure/report.txt", b"/public/x/../../secure/report.txt",
            b"/public/%2e%2e/secure/report.txt", b"/public/%2E%2E/secure/report.txt",
            b"/public/%252e%252e/secure/report.txt", b"/public/..%2fsecure/report.txt",
            b"/./secure/report.txt", b"/secure/./report.txt", b"/.%2e/secure/report.txt",
            b"//secure/report.txt", b"/secure//report.txt",
            # backslashes
            b"/secure\\report.txt", b"/public\\..\\secure\\report.txt", b"\\secure\\report.txt",
            b"/public/..%5csecure/report.txt",
            # the word in the query, fragments, the directory without its slash
            b"/s%65cure/r%65port.txt?x=/secure/", b"/public/page.txt#/../../secure/report.txt",
            b"/secure", b"/secure?x", b"*",
            # absolute form
            b"http://127.0.0.1:" + port + b"/secure/report.txt",
            b"HTTP://127.0.0.1:" + port + b"/%73ecure/report.txt",
            b"http://127.0.0.1:" + port + b"//secure/report.txt",
            b"http://evil.example/secure/report.txt", b"http:/secure/report.txt",
            b"http:///secure/report.txt", b"//127.0.0.1/secure/report.txt",
        ]
        for target in targets:
            with self.subTest(target=target):
                self.assert_not_let_in(raw_get(self.port, target), target)

        # A client in absolute form is sent to log in for the page it named,
        # and can come back to it.
        answer = raw_get(self.port, b"http://127.0.0.1:" + port + b"/secure/report.txt?a=1")
        self.assertEqual(answer.header("Location"),
                         self.cas.url + "/login?service=http://127.0.0.1:%s/secure/report.txt%%3fa%%3d1"
                         % port.decode())

        for method in (b"HEAD", b"POST", b"PUT", b"OPTIONS", b"TRACE", b"PROPFIND", b"get"):
            with self.subTest(method=method):
                self.assert_not_let_in(raw_get(self.port, REPORT, method=method), method)
        for request in (b"GET /secure/report.txt HTTP/1.0\r\n\r\n",  # no Host
                        b"GET /secure/report.txt\r\n\r\n",  # HTTP/0.9
                        b"GET /secure/report.txt HTTP/2.0\r\nHost: x\r\n\r\n"):
            with self.subTest(request=request):
                data = raw_request(self.port, request)
                self.assertNotIn(PROTECTED_TEXT, data)

    def assert_sent_to_login_for(self, response, what, page=None):
        self.assertEqual(response.status, 302, what)
        location = response.header("Location")
        self.assertTrue(location.startswith(self.cas.url + "/login?service="), (what, location))
        if page is not None:
            self.assertEqual(location, "%s/login?service=http://127.0.0.1:%d%s"
                             % (self.cas.url, self.port, page), what)

    def test_absolute_form_targets_are_judged_by_what_apache_serves(self):
        # Apache serves each of these as a page under /secure/; a "://" later
        # in the target must not make the filter judge another path, with the
        # browser's own CASUser header let through.
        targets = [b"http:/secure/report.txt?x=://y", b"https:/secure/report.txt?x=://y",
                   b"HTTP:/secure/report.txt?x=://y", b"http:/secure/index.shtml/x://y",
                   b"http:/secure/index.shtml?next=https://example.org/",
                   b"http://127.0.0.1/secure/report.txt?x=://y"]
        for target in targets:
            with self.subTest(target=target):
                response = raw_get(self.port, target, [b"CASUser: mallory"])
                self.assert_not_let_in(response, target)
                self.assert_sent_to_login_for(response, target)
        # The page is named once in the service.
        self.assert_sent_to_login_for(raw_get(self.port, b"http:/secure/report.txt"), "http:/",
                                      "/secure/report.txt")

    def test_what_apache_serves_decides_the_protection(self):
        # Dot segments, doubled slashes and ;parameters (which servlet
        # containers behind Apache drop) are protected as the path they name.
        for target in (b"/secure;x/j/foo", b"/x/../secure/", b"//secure/", b"/secure;jsessionid=1/report.txt",
                       b"/public/%2e%2e/secure/report.txt"):
            with self.subTest(target=target):
                self.assert_sent_to_login_for(raw_get(self.port, target), target)

    def test_a_ticket_issued_for_another_site_is_refused_whatever_the_host_says(self):
        # A site that receives CAS tickets for its own users replays one here,
        # naming its own host: the validation names this server's service.
        service = "http://other.example/secure/index.shtml"
        ticket = issue_ticket(self.cas.url, service, user="bob").encode()
        response = raw_get(self.port, WHO + b"?ticket=" + ticket, [b"Host: other.example"])
        self.assertEqual(response.signon_cookies(), [])
        self.assert_sent_to_login_for(response, "replayed ticket", "/secure/index.shtml")

    def test_a_sign_on_does_not_carry_over_to_the_next_request_on_the_connection(self):
        signed_on = (b"GET /secure/report.txt HTTP/1.1\r\nHost: x\r\nCookie: " + self.cookie +
                     b"\r\n\r\n")
        anonymous = b"GET /secure/report.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"
        data = raw_request(self.port, signed_on + anonymous)  # pipelined
        self.assertEqual(data.count(PROTECTED_TEXT), 1)
        second = RawResponse(data[data.index(b"HTTP/1.1", 10):])
        self.assertEqual(second.status, 302)

    def test_forged_identity_headers_never_reach_the_page(self):
        rows = [
            ("short", [b"CASUser: mallory"]),
            ("lower case", [b"casuser: mallory"]),
            ("upper case", [b"CASUSER: mallory"]),
            ("over 2083 bytes", [b"CASUser: mallory" + b"x" * 3000]),
            ("repeated", [b"CASUser: mallory", b"CASUser: mallory2"]),
            ("repeated, differing case", [b"CASUser: mallory", b"casUSER: mallory2"]),
            ("repeated, one long", [b"CASUser: " + b"m" * 3000, b"casuser: mallory"]),
            ("folded over two lines", [b"CASUser: mallory", b"  continued"]),
        ]
        for name, forged in rows:
            with self.subTest(name):
                response = raw_get(self.port, WHO, forged + [b"Cookie: " + self.cookie])
                self.assertEqual(response.status, 200)
                self.assertEqual(shown_user(response), "alice")
                self.assert_not_let_in(raw_get(self.port, WHO, forged), name)

    def test_cr_lf_semicolon_and_nul_in_tickets_and_cookies_are_no_way_in(self):
        targets = [
            WHO + b"?ticket=ST-1%0d%0aSet-Cookie:%20VAVUZE=ST-2",
            WHO + b"?ticket=ST-1;%20Domain=evil.example",
            WHO + b"?ticket=ST-1%00" + self.cookie[7:],
            WHO + b"?ticket=" + self.cookie[7:],  # a used ticket, valid as a cookie
            WHO + b"?ticket=ST-1\r\nSet-Cookie: VAVUZE=ST-2",  # raw: Apache refuses
        ]
        for target in targets:
            with self.subTest(target=target):
                response = raw_get(self.port, target)
                self.assert_not_let_in(response, target)
                self.assertEqual(response.signon_cookies(), [])

        value = self.cookie[7:]
        cookies = [
            b"VAVUZE=ST-unknown", b"VAVUZE=ST-1%0d%0aX-Injected: 1",
            b"VAVUZE=" + value + b"x", b"VAVUZE=" + value.upper(),
            b"vavuze=" + value, b"VAVUZE=ST-1\x00" + value, b"VAVUZE=ST-1\r\nX-Injected: 1",
            # A sign-on planted in another cookie's name or value.
            b"XVAVUZE=" + value, b"pref=VAVUZE=" + value, b"VAVUZE:" + value, b"VAVUZE_=" + value,
        ]
        for cookie in cookies:
            with self.subTest(cookie=cookie):
                response = raw_get(self.port, WHO, [b"Cookie: " + cookie])
                self.assert_not_let_in(response, cookie)
                self.assertEqual(response.signon_cookies(), [])
                self.assertIsNone(response.header("X-Injected"))

        # A stale cookie of the name before the good one (two paths or
        # domains set one each) is the browser's own sign-on all the same.
        for cookie in (b"VAVUZE=ST-1;VAVUZE=" + value, b"VAVUZE=;" + self.cookie):
            with self.subTest(cookie=cookie):
                response = raw_get(self.port, WHO, [b"Cookie: " + cookie])
                self.assertEqual((response.status, shown_user(response)), (200, "alice"))


class IdentityLookAlikes(unittest.TestCase):
    """A proxied application that reads CAS-User may get it as CAS_User,
    cas.user or CAS-USER too (WSGI, Rack, PHP-FPM fold them into one)."""

    FORGED = [b"CAS_User: mallory", b"cas.user: mallory", b"CAS-USER: mallory", b"Cas_uSeR: mallory"]

    def start(self, cas, scrub):
        echo = EchoServer().__enter__()
        self.addCleanup(echo.__exit__)
        registry = registry_text(cas.url).replace('"AuthHeader"="CASUser"', '"AuthHeader"="CAS-User"')
        lines = [] if scrub is None else ["TurnpikeScrubHeaders " + scrub]
        apache = Apache(MODULE, registry, servers=1, turnpike_lines=lines,
                        extra_lines=echo.proxy_lines("/secure/app/", "/public/app/"))
        self.addCleanup(apache.cleanup)
        return apache.start()

    def names_seen(self, apache, path, cookie=None):
        headers = list(self.FORGED) + ([b"Cookie: " + cookie] if cookie else [])
        response = raw_get(apache.port, path, headers)
        self.assertEqual(response.status, 200, response.data[:300])
        return [(name, value) for name, value in received_headers(response.body)
                if name.lower().replace("_", "-").replace(".", "-") == "cas-user"]

    def test_only_the_filters_identity_reaches_the_application(self):
        with CasProcess() as cas:
            for scrub in (None, "Off"):
                with self.subTest(scrub=scrub):
                    apache = self.start(cas, scrub)
                    service = "http://127.0.0.1:%d/secure/app/" % apache.port
                    ticket = issue_ticket(cas.url, service).encode()
                    cookie = raw_get(apache.port, b"/secure/app/?ticket=" + ticket).signon_cookies()[0]
                    cookie = cookie.split(";")[0].encode()
                    self.assertEqual(self.names_seen(apache, b"/secure/app/", cookie), [("CAS-User", "alice")])
                    # Unprotected pages too, unless scrubbing is turned off.
                    seen = self.names_seen(apache, b"/public/app/")
                    self.assertEqual(bool(seen), scrub == "Off", seen)


class AgainstAServerThatVouchesForAnyTicket(unittest.TestCase):
    """The CAS server stub says yes to every ticket and shows what the
    validation request carried."""

    @classmethod
    def setUpClass(cls):
        cls.cas = StubCas()
        cls.cas.__enter__()
        cls.addClassCleanup(cls.cas.__exit__)
        cls.apache = Apache(MODULE, registry_text(cls.cas.url, validation_path="validate"),
                            servers=2)
        cls.addClassCleanup(cls.apache.cleanup)
        cls.apache.start()

    def test_the_ticket_cannot_add_parameters_to_the_validation_request(self):
        tickets = [b"ST-1&service=http://evil.example/", b"ST-1%26renew%3dtrue", b"ST-1&ticket=ST-2",
                   b"ST-1?pgtUrl=http://evil.example/", b"ST-1%23x&renew=1", b"ST-1+x%20y",
                   b"ST-1;renew=true"]
        for ticket in tickets:
            with self.subTest(ticket=ticket):
                self.cas.queries.clear()
                response = raw_get(self.apache.port, WHO + b"?a=1&service=http://evil.example/&ticket=" +
                                   ticket)
                self.assertEqual(response.status, 302)
                self.assertEqual(len(self.cas.queries), 1)
                parameters = urllib.parse.parse_qs(self.cas.queries[0], keep_blank_values=True)
                self.assertEqual(sorted(parameters), ["service", "ticket"], self.cas.queries[0])
                # The ticket is its own parameter's value; whatever follows it
                # stays part of the page, inside the one service value.
                sent = ticket.decode()
                value, _, rest = sent.partition("&")
                self.assertEqual(parameters["ticket"], [urllib.parse.unquote(value)])
                self.assertEqual(parameters["service"], [
                    "http://127.0.0.1:%d/secure/index.shtml?a=1&service=http://evil.example/%s"
                    % (self.apache.port, "&" + rest if rest else "")])

    def test_a_vouched_ticket_with_cr_lf_escapes_sets_one_cookie_and_nothing_else(self):
        response = raw_get(self.apache.port,
                           WHO + b"?ticket=ST-1%0d%0aSet-Cookie:%20admin=1%0d%0aX-Injected:%201")
        self.assertEqual(response.status, 302)
        self.assertEqual(response.all("Set-Cookie"),
                         ["VAVUZE=ST-1%0d%0aSet-Cookie:%20admin=1%0d%0aX-Injected:%201;path=/"])
        self.assertIsNone(response.header("X-Injected"))
        self.assertEqual(response.header("Location"),
                         "http://127.0.0.1:%d/secure/index.shtml" % self.apache.port)

    def test_a_user_name_with_cr_lf_never_becomes_a_request_header(self):
        # The CAS server is trusted for the name, not for the header syntax.
        self.cas.body = (b"<cas:serviceResponse xmlns:cas='http://www.yale.edu/tp/cas'>"
                         b"<cas:authenticationSuccess><cas:user>alice&#13;&#10;X-Injected: 1"
                         b"</cas:user></cas:authenticationSuccess></cas:serviceResponse>")
        self.addCleanup(setattr, self.cas, "body", None)
        signed_on = raw_get(self.apache.port, WHO + b"?ticket=ST-crlf")
        cookie = signed_on.header("Set-Cookie").split(";")[0].encode()
        response = raw_get(self.apache.port, WHO, [b"Cookie: " + cookie])
        self.assertEqual(response.status, 500)
        self.assertNotIn(b"alice", response.body)
        self.assertNotIn(b"X-Injected", response.body)

    def test_the_host_header_does_not_choose_the_service(self):
        # The service names this virtual host's ServerName and port, never the
        # Host the browser sent.
        response = raw_get(self.apache.port, WHO, [b"Host: evil.example"])
        self.assertEqual(response.status, 302)
        self.assertIn("service=http://127.0.0.1:%d/secure/index.shtml" % self.apache.port,
                      response.header("Location"))


class FixedServiceUrl(unittest.TestCase):
    def test_service_url_holds_whatever_the_host_header_says(self):
        hosts = [[b"Host: evil.example"], [b"Host: evil.example:8443"], [b"Host: 127.0.0.1"],
                 [b"Host: app.example.org.evil.example"], [b"Host: EVIL.example"]]
        with StubCas() as cas, Apache(MODULE, with_service_url(registry_text(cas.url), SERVICE_URL),
                                      servers=1) as apache:
            escaped = urllib.parse.quote(SERVICE_URL, safe=":/")
            for host in hosts:
                with self.subTest(host=host):
                    lines = [b"GET /secure/index.shtml HTTP/1.1", *host, b"Connection: close"]
                    login = RawResponse(raw_request(apache.port, b"\r\n".join(lines) + b"\r\n\r\n"))
                    self.assertEqual(login.status, 302)
                    self.assertEqual(login.header("Location"), cas.url + "/login?service=" + escaped)

                    lines[0] = b"GET /secure/index.shtml?ticket=ST-7 HTTP/1.1"
                    back = RawResponse(raw_request(apache.port, b"\r\n".join(lines) + b"\r\n\r\n"))
                    self.assertEqual(back.status, 302)
                    self.assertEqual(back.header("Location"), SERVICE_URL)
                    self.assertIn("service=" + escaped + "&ticket=ST-7", "?" + cas.queries[-1])
            # HTTP/1.0 without any Host header.
            login = RawResponse(raw_request(apache.port, b"GET /secure/ HTTP/1.0\r\n\r\n"))
            self.assertEqual(login.header("Location"), cas.url + "/login?service=" + escaped)

    def test_server_name_and_server_base_url_name_the_service(self):
        rows = [
            # (ServerName line, ServerBaseURL, the service's start)
            ("ServerName https://app.example.org", None, "https://app.example.org/secure/"),
            ("ServerName app.example.org:8443", None, "http://app.example.org:8443/secure/"),
            (None, "https://www.example.org:8443/", "https://www.example.org:8443/secure/"),
        ]
        with StubCas() as cas:
            for server_name, base, expected in rows:
                with self.subTest(expected):
                    registry = registry_text(cas.url)
                    if base:
                        registry = with_service_url(registry, base).replace('"ServiceURL"', '"ServerBaseURL"')
                    with Apache(MODULE, registry, servers=1, extra_lines=[server_name] if server_name else []) as apache:
                        response = raw_get(apache.port, WHO, [b"Host: evil.example"])
                        self.assertEqual(response.status, 302)
                        self.assertIn("service=" + expected, response.header("Location"))


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
