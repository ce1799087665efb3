"""Black-box test of `AuthType Turnpike` in Debian's Apache httpd: protection
that follows what Apache serves (Alias, RewriteRule [PT]) rather than the
URL's text, r->user for `Require`, `%u` and REMOTE_USER, and the attribute
`Require` provider, against the test CAS server (CAS 3.0 answers, with
attributes).

    python3 test_native_protection.py MODULE_SO [unittest arguments]
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from apache_harness import APACHE_MODULES, Apache, Browser, CasProcess, header, registry_text  # noqa: E402

MODULE = None  # set from the command line

USER_PAGE = ('<p><span id="user"><!--#echo var="REMOTE_USER" --></span>'
             '/<span id="header"><!--#echo var="HTTP_CASUSER" --></span></p>\n')

# Beside the harness's site; the folder "secure" is also the registry's path
# /secure/, so a request for it is protected both ways.
PAGES = {
    "secure/user.shtml": USER_PAGE,
    "secure/bob.txt": "for bob only\n",
    "secure/library.txt": "for the library's members\n",
}

SITE_LINES = [
    *['LoadModule %s_module "%s/mod_%s.so"' % (name, APACHE_MODULES, name)
      for name in ("authn_core", "authz_user", "alias", "rewrite")],
    'CustomLog "ROOT/users.log" "%u %U %>s"',
    'Alias /s "ROOT/htdocs/secure"',
    "RewriteEngine On",
    "RewriteRule ^/app/(.*)$ /secure/$1 [PT]",
    '<Directory "ROOT/htdocs/secure">',
    "    AuthType Turnpike",
    "    AuthzSendForbiddenOnFailure On",
    "    Require valid-user",
    "    <Files bob.txt>",
    "        Require user bob",
    "    </Files>",
    "    <Files library.txt>",
    '        Require turnpike-attribute memberOf library "reading room"',
    "    </Files>",
    "</Directory>",
]


class ProtectionByAuthType(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.cas = CasProcess().start()
        cls.addClassCleanup(cls.cas.stop)
        cls.apache = Apache(MODULE, registry_text(cls.cas.url, validation_path="p3/serviceValidate"),
                            servers=2)
        cls.addClassCleanup(cls.apache.cleanup)
        cls.apache.extra_lines = [line.replace("ROOT", cls.apache.root) for line in SITE_LINES]
        with open(cls.apache.conf, "w") as handle:
            handle.write(cls.apache.config_text())
        for name, text in PAGES.items():
            with open(os.path.join(cls.apache.docroot, name), "w") as handle:
                handle.write(text)
            os.chmod(os.path.join(cls.apache.docroot, name), 0o644)
        cls.apache.start()

    def get(self, path, cookie=None, headers=None):
        sent = dict(headers or {})
        if cookie:
            sent["Cookie"] = cookie
        status, _, answer_headers, body = self.apache.request(path, sent)
        return status, answer_headers, body.decode(errors="replace")

    def cookie_of(self, browser):
        return "VAVUZE=" + browser.cookies["VAVUZE"]

    def test_protection_follows_what_apache_serves(self):
        # Sign-ons through the mapped URLs themselves: the service is the
        # URL the browser asked for, and the browser ends on it.
        alice = Browser(self.apache, self.cas.url, "alice")
        status, _, body, path = alice.get("/app/user.shtml")
        self.assertEqual((status, path, alice.logins), (200, "/app/user.shtml", 1), body)
        self.assertIn(b'<span id="user">alice</span>/<span id="header">alice</span>', body)
        bob = Browser(self.apache, self.cas.url, "bob")
        self.assertEqual(bob.get("/s/bob.txt")[:1], (200,))
        alice_cookie, bob_cookie = self.cookie_of(alice), self.cookie_of(bob)

        port = self.apache.port
        login = "%s/login?service=http://127.0.0.1:%d" % (self.cas.url, port)
        rows = [
            # name, path, cookie, extra headers, status, what the answer holds
            ("Alias, nobody signed on", "/s/report.txt", None, {}, 302, login + "/s/report.txt"),
            ("RewriteRule [PT], nobody", "/app/report.txt", None, {}, 302, login + "/app/report.txt"),
            ("Alias, signed on", "/s/report.txt", alice_cookie, {}, 200, "the protected report"),
            ("RewriteRule [PT], signed on", "/app/report.txt", bob_cookie, {}, 200, "the protected report"),
            ("Require user: another user", "/s/bob.txt", alice_cookie, {}, 403, "Forbidden"),
            ("Require user: the user", "/app/bob.txt", bob_cookie, {}, 200, "for bob only"),
            ("Require turnpike-attribute: a member", "/s/library.txt", alice_cookie, {}, 200, "library"),
            ("Require turnpike-attribute: no member", "/s/library.txt", bob_cookie, {}, 403, "Forbidden"),
            ("unknown cookie", "/s/report.txt", "VAVUZE=ST-made-up", {}, 302, login + "/s/report.txt"),
            # Attacks: a forged identity, alone or beside another's cookie.
            ("forged identity header, nobody", "/s/user.shtml", None,
             {"CASUser": "alice", "CAS-User": "alice"}, 302, login + "/s/user.shtml"),
            ("forged identity header beside a cookie", "/s/user.shtml", bob_cookie,
             {"CASUser": "alice", "casuser": "alice"}, 200,
             '<span id="user">bob</span>/<span id="header">bob</span>'),
            ("forged Authorization header", "/s/report.txt", None,
             {"Authorization": "Basic YWxpY2U6YWxpY2U="}, 302, login + "/s/report.txt"),
        ]
        for name, path, cookie, headers, status, expected in rows:
            with self.subTest(name):
                got_status, got_headers, body = self.get(path, cookie, headers)
                self.assertEqual(got_status, status, body)
                self.assertIn(expected, header(got_headers, "Location") or body)

        # %u in the access log names the user of each signed-on request.
        with open(os.path.join(self.apache.root, "users.log")) as handle:
            logged = handle.read().splitlines()
        for line in ("alice /s/report.txt 200", "bob /secure/report.txt 200", "alice /s/bob.txt 403",
                     "- /s/report.txt 302"):
            self.assertIn(line, logged)

    def test_a_request_protected_both_ways_is_decided_once(self):
        alice = Browser(self.apache, self.cas.url, "alice")
        alice.get("/secure/user.shtml")
        before = self.cookie_events()
        status, _, body = self.get("/secure/user.shtml", self.cookie_of(alice))
        self.assertEqual(status, 200)
        self.assertIn('<span id="user">alice</span>', body)
        self.assertEqual(self.cookie_events() - before, 1)

    def cookie_events(self):
        return sum(1 for event in self.apache.turnpike_events()
                   if event[2].startswith("The Turnpike filter authenticated via cookie:"))


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
