#!/usr/bin/env python3
"""Turnpike.dll under Wine, driven through real ISAPI structures by iis_host.exe.

The configuration goes into the Wine prefix's registry the way an
administrator puts it into IIS's: a UTF-16LE .reg file and `reg import`. The
CAS server is tests/support/cas_server.py on 127.0.0.1; the ticket is
validated by the DLL itself through Wine's COM, MSXML and HTTP stack. Events
are read from Wine's event-log trace (WINEDEBUG=+eventlog), which prints the
severity and identifier of every ReportEventA call and then its two strings.

    iis_signon_test.py --wine-run tests/windows/wine-run --prefix PREFIX \
                       --bits 64|32 --host iis_host.exe --dll Turnpike.dll

With --bits 32 the host and the DLL are 32-bit programs, run by the 64-bit
prefix through WoW64, and the configuration goes where a 32-bit worker
process reads it, the 32-bit view (`reg import /reg:32`), as
hosts/iis/README.md tells administrators of 32-bit pools.
"""

import argparse
import http.client
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import cas_server  # noqa: E402
from cas_server import CasServer  # noqa: E402
from store_servers import RedisServer  # noqa: E402

ARGS = None
WINE = os.environ.get("TURNPIKE_WINE", "/usr/lib/wine/wine64")

SF_STATUS_REQ_FINISHED_KEEP_CONN = "0x08000001"
SF_STATUS_REQ_NEXT_NOTIFICATION = "0x08000002"
SF_STATUS_REQ_ERROR = "0x08000004"
SF_NOTIFY_LOG = 0x10000000

ERROR, WARNING, INFORMATION = 1, 2, 4
STARTED = (INFORMATION, 5, "", "")
STOPPED = (INFORMATION, 6, "", "")
MISSING_VALUE = ("A Turnpike registry configuration value is missing or null, please set a "
                 "valid value for")
EVENT_SOURCE_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\Turnpike"

CONFIGURATION = {
    "ServerURL": None,  # the test server's URL
    "LoginPath": "login",
    "ValidationPath": "serviceValidate",
    "AuthHeader": "CASUser",
    "Debug": 1,
    "SessionTimeout": 30,
    "CacheCleanTimeout": 60,
}


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def wine_run(*arguments):
    """A Windows program through the build's wrapper (boots the prefix once)."""
    return subprocess.run([ARGS.wine_run, ARGS.prefix, *arguments], capture_output=True,
                          text=True, timeout=120)


def reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def registry_view():
    return ["/reg:%s" % ARGS.bits]


def import_configuration(values, paths, gateway_paths=()):
    """Replaces HKLM\\SOFTWARE\\Turnpike with `values`, `paths` and the
    GatewayPaths key's `gateway_paths`, as regedit would."""
    wine_run("reg", "delete", r"HKLM\Software\Turnpike", "/f", *registry_view())  # absent the first time
    lines = ["Windows Registry Editor Version 5.00", "", r"[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike]"]
    for name, value in values.items():
        if isinstance(value, bytes):  # REG_SZ data as stored, NULs and line breaks included
            data = "hex(1):" + ",".join("%02x" % b for b in value.decode("latin-1").encode("utf-16-le"))
        else:
            data = "dword:%08x" % value if isinstance(value, int) else reg_string(value)
        lines.append("%s=%s" % (reg_string(name), data))
    lines += ["", r"[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike\Paths]"]
    lines += ['"%d"=%s' % (index, reg_string(path)) for index, path in enumerate(paths, 1)]
    if gateway_paths:
        lines += ["", r"[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike\GatewayPaths]"]
        lines += ['"%d"=%s' % (index, reg_string(path)) for index, path in enumerate(gateway_paths, 1)]
    with tempfile.TemporaryDirectory() as directory:
        reg_file = os.path.join(directory, "turnpike.reg")
        with open(reg_file, "wb") as out:
            out.write(b"\xff\xfe" + ("\r\n".join(lines) + "\r\n").encode("utf-16-le"))
        result = wine_run("reg", "import", windows_path(reg_file), *registry_view())
    if result.returncode != 0:
        raise AssertionError("reg import failed: " + result.stdout + result.stderr)


def unescape_wine_string(text):
    return re.sub(r"\\(.)", lambda m: {"n": "\n", "r": "\r", "t": "\t"}.get(m[1], m[1]), text)


def parse_events(trace):
    """(severity, identifier, message, detail) of each event in Wine's trace."""
    events = []
    for line in trace.splitlines():
        call = re.search(r"advapi:ReportEventA \(\w+,0x(\w+),0x(\w+),0x(\w+),", line)
        if call:
            events.append([int(call[1], 16), int(call[3], 16)])
            continue
        text = re.search(r':eventlog:ReportEventW L"(.*)"$', line)
        if text and events:
            events[-1].append(unescape_wine_string(text[1]))
    return [tuple(event) for event in events]


class Host:
    """iis_host.exe with the DLL, one JSON answer per command."""

    def __init__(self):
        # Wine's trace goes to a file: its own processes may keep a pipe open.
        self._trace = tempfile.TemporaryFile(mode="w+")
        environment = dict(os.environ, WINEPREFIX=ARGS.prefix, WINEDEBUG="-all,+eventlog,fixme+advapi",
                           WINEDLLOVERRIDES="mscoree,mshtml=")
        self._process = subprocess.Popen([WINE, ARGS.host, windows_path(ARGS.dll)],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=self._trace, env=environment, text=True)
        self.first = self._read()

    def _read(self):
        line = self._process.stdout.readline()
        if not line:
            raise AssertionError("iis_host ended early: " + self.trace())
        return json.loads(line)

    def _command(self, *fields):
        self._process.stdin.write("\t".join(fields) + "\n")
        self._process.stdin.flush()
        return self._read()

    def request(self, url, *headers):
        return self._command("request", url, *headers)

    def notify(self, notification_type):
        return self._command("notify", str(notification_type))

    def quit(self):
        answer = self._command("quit")
        self.wait()
        return answer

    def wait(self):
        return self._process.wait(timeout=180)

    def trace(self):
        self._trace.seek(0)
        return self._trace.read()

    def events(self):
        return parse_events(self.trace())

    def close(self):
        if self._process.poll() is None:
            self._process.kill()
            self._process.wait()
        self._process.stdin.close()
        self._process.stdout.close()
        self._trace.close()


def location(answer):
    match = re.search(r"^Location: (.*)$", answer["response"]["headers"], re.M)
    return match[1].rstrip("\r") if match else None


def sign_in_at_cas(login_url, user):
    """The browser's part: the test server's non-interactive login, one redirect back."""
    parts = urllib.parse.urlsplit(login_url + "&username=%s&auto=1" % urllib.parse.quote(user))
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    try:
        connection.request("GET", parts.path + "?" + parts.query)
        response = connection.getresponse()
        response.read()
        return response.status, response.getheader("Location")
    finally:
        connection.close()


class IisSignOnTest(unittest.TestCase):
    maxDiff = None

    def test_a_missing_registry_value_refuses_the_load(self):
        values = dict(CONFIGURATION, ServerURL="https://cas.example.org/cas")
        del values["LoginPath"]
        import_configuration(values, ["/secure/"])
        host = Host()
        try:
            self.assertEqual(host.first["loaded"], False)
            self.assertEqual(host.wait(), 1)
            # The cause, then the stopped event of the detach that follows the
            # refused attach: exactly once, and no started event.
            self.assertEqual(host.events(), [(ERROR, 1, MISSING_VALUE, "LoginPath"), STOPPED])
        finally:
            host.close()

    def test_b_whole_sign_on(self):
        with CasServer() as cas:
            wine_run("reg", "delete", EVENT_SOURCE_KEY, "/f")
            import_configuration(dict(CONFIGURATION, ServerURL=cas.url), ["/secure/"])
            host = Host()
            try:
                self.sign_on(cas, host)
                self.assertEqual(host.quit(), {"unloaded": True})
                events = host.events()
            finally:
                host.close()
        self.assertEqual(events[0], STARTED)
        self.assertEqual(events[-1], STOPPED)
        self.assertEqual(events.count(STARTED), 1)
        self.assertEqual(events.count(STOPPED), 1)
        for expected in [
                (INFORMATION, 4, "The Turnpike filter was unable to find a ticket or cookie.", ""),
                (INFORMATION, 4, "The Turnpike filter created an authorization cookie for:", "alice"),
                (INFORMATION, 4, "The Turnpike filter authenticated via cookie:", "alice"),
                (ERROR, 1, "The Turnpike filter was unable to validate the authentication cookie:",
                 "ST-forged")]:
            self.assertIn(expected, events)

        # The DLL registered its event source at its first start.
        self.assert_event_source_registered()

    def test_c_the_administrators_snippet_registers_the_same_source(self):
        wine_run("reg", "delete", EVENT_SOURCE_KEY, "/f")
        snippet = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "hosts",
                               "iis", "turnpike-event-source.reg")
        self.assertEqual(wine_run("reg", "import", windows_path(snippet)).returncode, 0)
        self.assert_event_source_registered()

    def assert_event_source_registered(self):
        query = wine_run("reg", "query", EVENT_SOURCE_KEY).stdout
        self.assertRegex(query, r"EventMessageFile\s+REG_EXPAND_SZ\s+"
                                r"%SystemRoot%\\system32\\inetsrv\\Turnpike\.dll\r?\n")
        self.assertRegex(query, r"TypesSupported\s+REG_DWORD\s+0x7\b")

    def sign_on(self, cas, host):
        self.assertEqual(host.first, {
            "loaded": True, "exports": True,
            "version": {"result": True, "filter_version": 7, "flags": "0x00084000",
                        "description": "Turnpike, Version " + os.environ["TURNPIKE_VERSION"]}})

        # Not ours: other notifications, unprotected URLs.
        self.assertEqual(host.notify(SF_NOTIFY_LOG), {"status": SF_STATUS_REQ_NEXT_NOTIFICATION})
        answer = host.request("/index.html")
        self.assertEqual((answer["status"], answer["response"], answer["calls"]),
                         (SF_STATUS_REQ_NEXT_NOTIFICATION, None, ["GetHeader url"]))

        # 1. No ticket, no cookie: to the CAS login page, this page as the service.
        answer = host.request("/secure/report?id=7")
        self.assertEqual(answer["status"], SF_STATUS_REQ_FINISHED_KEEP_CONN)
        self.assertEqual(answer["response"]["status"], "302 Redirection")
        login = location(answer)
        prefix = cas.url + "/login?service="
        self.assertTrue(login.startswith(prefix), login)
        service = urllib.parse.unquote(login[len(prefix):])
        self.assertEqual(service, "http://www.example.org/secure/report?id=7")

        # The browser signs in and comes back with a ticket.
        status, back = sign_in_at_cas(login, "alice")
        self.assertEqual(status, 302)
        back = urllib.parse.urlsplit(back)
        ticket = urllib.parse.parse_qs(back.query)["ticket"][0]

        # 2. The ticket is validated at the CAS server through MSXML: back to
        # the page with the cookie, whose value is the ticket.
        answer = host.request(back.path + "?" + back.query)
        self.assertEqual(answer["status"], SF_STATUS_REQ_FINISHED_KEEP_CONN)
        self.assertEqual(answer["response"]["status"], "302 Redirection")
        self.assertEqual(location(answer), "http://www.example.org/secure/report?id=7")
        cookie = re.search(r"^Set-Cookie: VAVUZE=([^;\r\n]*)", answer["response"]["headers"], re.M)
        self.assertEqual(cookie[1], ticket)

        # 3. With the cookie: on to the application, the user in CASUser.
        answer = host.request("/secure/report?id=7", "Cookie:", "VAVUZE=" + ticket)
        self.assertEqual((answer["status"], answer["response"]),
                         (SF_STATUS_REQ_NEXT_NOTIFICATION, None))
        self.assertEqual(answer["headers"]["CASUser:"], "alice")

        # Names in the ANSI code page (Windows-1252 in the test prefix): one it
        # holds reaches the application as its bytes; full-width letters,
        # another account than "admin", sign nobody on.
        full_width_admin = "\uff41\uff44\uff4d\uff49\uff4e"
        for name, header_value in [("Jos\u00e9", "Jos\xe9"), (full_width_admin, None)]:
            answer = host.request("/secure/report?id=7&ticket=" + cas.tickets.issue(service, name))
            cookie = re.search(r"^Set-Cookie: VAVUZE=([^;\r\n]*)", answer["response"]["headers"],
                               re.M)
            if header_value is None:
                self.assertIsNone(cookie, name)
                self.assertTrue(location(answer).startswith(prefix), name)
            else:
                answer = host.request("/secure/report?id=7", "Cookie:", "VAVUZE=" + cookie[1])
                self.assertEqual(answer["headers"]["CASUser:"], header_value)

        # A ticket is single-use: replayed, it is refused and the browser is
        # sent to log in again.
        answer = host.request(back.path + "?" + back.query)
        self.assertTrue(location(answer).startswith(prefix))

        # A cookie the filter never issued.
        answer = host.request("/secure/report?id=7", "Cookie:", "VAVUZE=ST-forged")
        self.assertEqual(answer["status"], SF_STATUS_REQ_FINISHED_KEEP_CONN)
        self.assertTrue(location(answer).startswith(prefix))
        self.assertNotIn("CASUser:", answer["headers"])


class IisWaysInTest(unittest.TestCase):
    """What a browser controls must not choose the service or the identity."""

    def test_server_base_url_look_alikes_and_the_failure_page(self):
        with CasServer() as cas:
            import_configuration(dict(CONFIGURATION, ServerURL=cas.url, AuthHeader="CAS-User",
                                      ServerBaseURL="https://www.example.org"), ["/secure/"])
            host = Host()
            try:
                # IIS's SERVER_NAME follows the Host header; ServerBaseURL does not.
                host._command("var", "SERVER_NAME", "other.example")
                answer = host.request("/secure/page")
                self.assertEqual(location(answer),
                                 cas.url + "/login?service=https://www.example.org/secure/page")

                # A ticket another site received for its own service, replayed here.
                replayed = cas.tickets.issue("http://other.example/secure/page", "bob")
                answer = host.request("/secure/page?ticket=" + replayed)
                self.assertNotIn("VAVUZE=", answer["response"]["headers"])
                self.assertTrue(location(answer).startswith(cas.url + "/login?"))

                # A browser that failed once already is told, not sent round again.
                answer = host.request("/secure/page?ticket=ST-made-up", "Cookie:", "TurnpikeFailed=1")
                self.assertEqual(answer["status"], SF_STATUS_REQ_FINISHED_KEEP_CONN)
                self.assertEqual(answer["response"]["status"], "403 Forbidden")
                self.assertIn("Sign-on failed", answer["response"]["body"])

                ticket = cas.tickets.issue("https://www.example.org/secure/page", "alice")
                answer = host.request("/secure/page?ticket=" + ticket)
                self.assertIn("Set-Cookie: VAVUZE=" + ticket, answer["response"]["headers"])
                answer = host.request("/secure/page", "Cookie:", "VAVUZE=" + ticket,
                                      "CAS_User:", "mallory", "cas.user:", "mallory",
                                      "CAS-USER:", "mallory", "CAS-User:", "m" * 3000)
                self.assertEqual(answer["status"], SF_STATUS_REQ_NEXT_NOTIFICATION)
                identity = {name: value for name, value in answer["headers"].items()
                            if name.lower().replace("_", "-").replace(".", "-") == "cas-user:"}
                self.assertEqual(identity, {"CAS-User:": "alice"})
            finally:
                host.close()


class IisLogoutGatewayTest(unittest.TestCase):
    """What the filter can do without a request body: the logout path,
    gateway pages, renew and the 401 for scripts; single logout it cannot."""

    def test_single_logout_refuses_the_load(self):
        import_configuration(dict(CONFIGURATION, ServerURL="https://cas.example.org/cas", SingleLogout=1),
                             ["/secure/"])
        host = Host()
        try:
            self.assertEqual(host.first["loaded"], False)
            self.assertEqual(host.wait(), 1)
            self.assertEqual(host.events(), [
                (ERROR, 1, "The Turnpike filter cannot read the single-logout requests of CAS on this "
                           "web server, please remove the value:", "SingleLogout"), STOPPED])
        finally:
            host.close()

    def test_logout_path_gateway_renew_and_scripts(self):
        with CasServer() as cas:
            import_configuration(dict(CONFIGURATION, ServerURL=cas.url, Renew=1, ScriptsGet401=1,
                                      LogoutPath="/logout", LogoutReturnURL="http://www.example.org/?a=1"),
                                 ["/secure/"], ["/maybe/"])
            host = Host()
            try:
                login = cas.url + "/login?service=http://www.example.org/secure/page&renew=true"
                self.assertEqual(location(host.request("/secure/page")), login)
                answer = host.request("/secure/page", "Accept:", "application/json")
                self.assertEqual(answer["response"]["status"], "401 Unauthorized")
                self.assertIn('WWW-Authenticate: CAS realm="%s"\r\nX-CAS-Login-URL: %s\r\n' % (cas.url, login),
                              answer["response"]["headers"])

                ticket = cas.tickets.issue("http://www.example.org/secure/page", "alice")
                answer = host.request("/secure/page?ticket=" + ticket)
                self.assertIn("Set-Cookie: VAVUZE=" + ticket, answer["response"]["headers"])
                answer = host.request("/Logout?now", "Cookie:", "VAVUZE=" + ticket)
                self.assertEqual(location(answer), cas.url + "/logout?service=http://www.example.org/%3fa%3d1")
                self.assertIn("Set-Cookie: VAVUZE=; path=/; Max-Age=0", answer["response"]["headers"])
                answer = host.request("/secure/page", "Cookie:", "VAVUZE=" + ticket)
                self.assertEqual(location(answer), login)

                answer = host.request("/maybe/page")
                self.assertEqual(location(answer),
                                 cas.url + "/login?service=http://www.example.org/maybe/page&gateway=true")
                self.assertIn("Set-Cookie: TurnpikeGateway=1;path=/;Max-Age=120", answer["response"]["headers"])
                answer = host.request("/maybe/page", "Cookie:", "TurnpikeGateway=1", "CASUser:", "mallory")
                self.assertEqual((answer["status"], answer["response"]), (SF_STATUS_REQ_NEXT_NOTIFICATION, None))
                self.assertNotIn("CASUser:", answer["headers"])
            finally:
                host.close()


class IisAttributesAndOpaqueCookieTest(unittest.TestCase):
    """CAS 3.0 attributes as CAS-* headers and a cookie that is not the ticket."""

    def test_attributes_and_an_opaque_cookie(self):
        cas_server.ATTRIBUTES.update({
            "dora": {"title": "a,b\\c", "note": "Jos\u00e9"},
            # A full-width letter: no exact form in the ANSI code page.
            "eve": {"email": "\uff45ve@example.org"}})
        self.addCleanup(lambda: [cas_server.ATTRIBUTES.pop(user) for user in ("dora", "eve")])
        with CasServer() as cas:
            import_configuration(dict(CONFIGURATION, ServerURL=cas.url, ValidationPath="p3/serviceValidate",
                                      AuthHeader="CAS-User", AttributeHeaderPrefix="CAS-", OpaqueCookie=1,
                                      CookieAttributes="HttpOnly; Secure"), ["/secure/"])
            host = Host()
            try:
                service = "http://www.example.org/secure/page"

                def sign_on(user):
                    ticket = cas.tickets.issue(service, user)
                    answer = host.request("/secure/page?ticket=" + ticket)
                    cookie = re.search(r"^Set-Cookie: (VAVUZE=[^;\r\n]*)(.*)$", answer["response"]["headers"], re.M)
                    self.assertNotIn(ticket, answer["response"]["headers"])
                    return ticket, cookie

                ticket, cookie = sign_on("alice")
                self.assertRegex(cookie[1], r"^VAVUZE=[0-9a-f]{32}$")
                self.assertEqual(cookie[2].rstrip("\r"), ";path=/; HttpOnly; Secure")
                answer = host.request("/secure/page", "Cookie:", cookie[1], "CAS-email:", "mallory@example.org",
                                      "cas_memberOf:", "admins", "CAS-User:", "mallory")
                self.assertEqual(answer["status"], SF_STATUS_REQ_NEXT_NOTIFICATION)
                shown = {name: value for name, value in answer["headers"].items()
                         if name.lower().startswith(("cas-", "cas_"))}
                self.assertEqual(shown, {"CAS-User:": "alice", "CAS-email:": "alice@example.org",
                                         "CAS-displayName:": "Alice Liddell", "CAS-memberOf:": "staff, library"})

                # The ticket, as a log of the URL shows it, is no cookie.
                answer = host.request("/secure/page", "Cookie:", "VAVUZE=" + ticket)
                self.assertTrue(location(answer).startswith(cas.url + "/login?"))

                # Escaped commas and backslashes; code-page text as its bytes.
                _, cookie = sign_on("dora")
                answer = host.request("/secure/page", "Cookie:", cookie[1])
                self.assertEqual((answer["headers"]["CAS-title:"], answer["headers"]["CAS-note:"]),
                                 ("a\\,b\\\\c", "Jos\xe9"))

                # An attribute that does not convert exactly signs nobody on.
                _, cookie = sign_on("eve")
                self.assertIsNone(cookie)
            finally:
                host.close()

    def test_cookie_attributes_with_a_line_break_refuse_the_load(self):
        import_configuration(dict(CONFIGURATION, ServerURL="https://cas.example.org/cas",
                                  CookieAttributes=b"HttpOnly\r\nX: y\0"), ["/secure/"])
        host = Host()
        try:
            self.assertEqual(host.first["loaded"], False)
            self.assertEqual(host.wait(), 1)
            self.assertEqual(host.events(), [(ERROR, 1, MISSING_VALUE, "CookieAttributes"), STOPPED])
        finally:
            host.close()


class IisFarmTest(unittest.TestCase):
    """Two worker processes, as two servers of a farm or a web garden, that
    keep their sign-ons in one Redis (SharedCache)."""

    PASSWORD = "garden-secret-3"

    def configure(self, cas, redis, password):
        import_configuration(dict(CONFIGURATION, ServerURL=cas.url, SharedCache="redis://127.0.0.1:%d/2" % redis.port,
                                  SharedCachePassword=password), ["/secure/"])

    def test_signed_on_through_one_process_let_in_through_the_other_until_redis_stops(self):
        with CasServer() as cas, RedisServer(password=self.PASSWORD) as redis:
            self.configure(cas, redis, self.PASSWORD)
            hosts = [Host(), Host()]
            try:
                self.assertEqual([host.first["version"]["result"] for host in hosts], [True, True])
                ticket = cas.tickets.issue("http://www.example.org/secure/page", "alice")
                answer = hosts[0].request("/secure/page?ticket=" + ticket)
                self.assertIn("Set-Cookie: VAVUZE=" + ticket, answer["response"]["headers"])
                answer = hosts[1].request("/secure/page", "Cookie:", "VAVUZE=" + ticket)
                self.assertEqual(answer["headers"].get("CASUser:"), "alice")
                self.assertEqual(redis.cli("-n", "2", "DBSIZE"), "1")

                redis.stop()
                time.sleep(1.2)  # what each process remembers of a sign-on it has just seen
                started = time.monotonic()
                answer = hosts[1].request("/secure/page", "Cookie:", "VAVUZE=" + ticket)
                self.assertTrue(location(answer).startswith(cas.url + "/login?"), answer)
                self.assertNotIn("CASUser:", answer["headers"])
                ticket = cas.tickets.issue("http://www.example.org/secure/page", "alice")
                answer = hosts[0].request("/secure/page?ticket=" + ticket)
                self.assertEqual((answer["status"], answer["response"]), (SF_STATUS_REQ_ERROR, None))
                # Refused connections: no waiting for a time-out (Wine itself
                # takes a moment per request).
                self.assertLess(time.monotonic() - started, 10)
                for host in hosts:
                    self.assertEqual(host.quit(), {"unloaded": True})
                failures = [(event[2], event[3].split(": ")[0]) for host in hosts for event in host.events()
                            if event[0] == ERROR and "redis://" in event[3]]
            finally:
                for host in hosts:
                    host.close()
        address = "redis://127.0.0.1:%d/2" % redis.port
        self.assertEqual(failures, [
            ("The Turnpike filter could not store a sign-on in the shared credentials cache:", address),
            ("The Turnpike filter could not read the shared credentials cache:", address)])

    def test_a_password_redis_refuses_keeps_the_filter_from_loading(self):
        with CasServer() as cas, RedisServer(password=self.PASSWORD) as redis:
            self.configure(cas, redis, "guessed-password")
            host = Host()
            try:
                self.assertEqual(host.first["version"]["result"], False)
                host.quit()
                events = host.events()
            finally:
                host.close()
        # The DLL has loaded (started) when IIS asks for its version.
        shown = [event for event in events if event[1] != 4]
        self.assertEqual([event[:3] for event in shown], [
            STARTED[:3],
            (ERROR, 1, "The Turnpike filter was refused by the shared credentials cache, please check "
                       "SharedCache and SharedCachePassword:"),
            STOPPED[:3]])
        self.assertTrue(shown[1][3].startswith("redis://127.0.0.1:%d/2: AUTH: WRONGPASS" % redis.port),
                        shown)
        self.assertNotIn("guessed-password", str(events))


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("--wine-run", "--prefix", "--host", "--dll"):
        parser.add_argument(option, required=True)
    parser.add_argument("--bits", choices=("64", "32"), default="64")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
