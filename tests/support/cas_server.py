#!/usr/bin/env python3
"""A small CAS server for Turnpike's tests and demos (Python standard library only).

It listens on 127.0.0.1 only. Run it as a program:

    python3 tests/support/cas_server.py [--port 0] [--fault MODE] [--rebuild-query]
                                        [--tls-cert PEM --tls-key PEM]
                                        [--exit-on-stdin-eof]

The first line on stdout is "listening 127.0.0.1:PORT" (port 0 picks a free
one), so a test can start it and read where it is. SIGTERM or SIGINT stops it.
With --exit-on-stdin-eof it also stops when its stdin closes, so a test
program that dies cannot leave it behind. With --tls-cert and --tls-key it
speaks HTTPS with that certificate chain and key (the line then reads
"listening https 127.0.0.1:PORT").

Or use it from Python:

    with CasServer() as cas:            # also CasServer(fault="hang")
        urllib.request.urlopen(cas.url + "/validate?...")

Endpoints (the CAS protocol's names):
    /login                 GET: a sign-in form (demo users alice/alice, bob/bob,
                           "carol smith"/carol). POST (username, password,
                           service): signs in and answers 302 to the service
                           with "ticket=ST-..." appended to its query.
                           Non-interactive for tests:
                           /login?service=S&username=alice&auto=1 (no password).
                           A sign-in sets the single-sign-on cookie CASTGC: with it,
                           /login?service=S issues a ticket at once (renew=true
                           asks again); gateway=true without it sends the browser
                           back to S without a ticket.
    /logout                ends the CASTGC session: every service that validated a
                           ticket of it gets the single-logout POST (form field
                           logoutRequest, a samlp:LogoutRequest naming the
                           ticket as SessionIndex); ?service=S then redirects.
    /validate              CAS 1.0: "yes\\n<user>\\n" or "no\\n\\n".
    /serviceValidate       CAS 2.0 XML in the namespace http://www.yale.edu/tp/cas.
    /p3/serviceValidate    CAS 3.0: as CAS 2.0, with <cas:attributes>.

Service tickets are single-use whatever the outcome, bound to the exact
service string they were issued for, and expire after 60 seconds. A ticket
issued from the CASTGC session rather than from a sign-in is refused by a
validation that asks renew=true. Refusals
carry the codes a CAS server gives: INVALID_REQUEST (service or ticket
missing), INVALID_TICKET (unknown, used or expired), INVALID_SERVICE (issued
for another service; the ticket is spent all the same).

With --rebuild-query (or /_rebuild?on=1) it behaves like CAS servers that
rebuild the service's query before they add the ticket: the parameters are
decoded and encoded again in the order of their names, blanks as '+', the
ticket in its sorted place. The ticket stays bound to the service exactly as
the login page received it.

Control endpoints for tests (not part of CAS):
    /_ticket?service=S&username=U   issues a ticket and answers it as text.
    /_rebuild?on=1|0                turns the rebuilding of the query on or off.
    /_connections                   how many connections the server has accepted,
                                    as text (this one's included).
    /_fault?mode=MODE               sets the fault for every later validation
                                    ("none" clears it); --fault sets it at start.
    /_fault/MODE/<endpoint>         one request with that fault, for instance
                                    /_fault/hang/serviceValidate, so a
                                    configured server URL of
                                    http://127.0.0.1:PORT/_fault/hang shows it.

Fault modes (they replace the answer of the validation endpoints):
    reset      closes the connection without answering
    hang       reads the request and never answers (gives up after 60 s)
    slow       drips a good-looking CAS 2.0 refusal one byte every 0.5 s
    html404    an HTML page under 404        html500   the same under 500
    empty      200 with an empty body
    huge       200 with a 5 MiB body
    notcas     well-formed XML that is no CAS answer
    xxe        CAS 2.0 success whose user is an external entity on /etc/passwd
    laughs     CAS 2.0 success whose user is a "billion laughs" entity
    entity     CAS 2.0 success whose user is an internal entity naming bob
    latin1     CAS 2.0 success whose user name is ISO-8859-1 bytes, no declaration
An unreachable server needs no mode: a test uses a port nobody listens on.
"""

import argparse
import html
import http.client
import os
import secrets
import signal
import socket
import ssl
import struct
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from xml.sax.saxutils import escape as xml_escape

CAS_NAMESPACE = "http://www.yale.edu/tp/cas"
TICKET_LIFETIME_SECONDS = 60
HANG_LIMIT_SECONDS = 60
HUGE_BODY_BYTES = 5 * 1024 * 1024

USERS = {"alice": "alice", "bob": "bob", "carol smith": "carol"}
ATTRIBUTES = {
    "alice": {"email": "alice@example.org", "displayName": "Alice Liddell",
              "memberOf": ["staff", "library"]},
    "bob": {"email": "bob@example.org", "displayName": "Bob Builder", "memberOf": ["staff"]},
}

FAULT_MODES = ("none", "reset", "hang", "slow", "html404", "html500", "empty", "huge",
               "notcas", "xxe", "laughs", "entity", "latin1")


class TicketRegistry:
    """Service tickets: single use, bound to their service, short-lived; and
    the single-sign-on sessions (CASTGC) with the services they signed on to."""

    def __init__(self, lifetime=TICKET_LIFETIME_SECONDS):
        self._lock = threading.Lock()
        self._tickets = {}
        self._lifetime = lifetime
        self._sessions = {}  # CASTGC -> {"user": ..., "validated": [(service, ticket)]}

    def issue(self, service, user, session=None, from_session=False):
        ticket = "ST-" + secrets.token_urlsafe(24)
        with self._lock:
            self._tickets[ticket] = (service, user, time.monotonic() + self._lifetime, session,
                                     from_session)
        return ticket

    def redeem(self, ticket, service, renew=False):
        """Returns (user, None) or (None, (code, message))."""
        if not ticket or not service:
            return None, ("INVALID_REQUEST", "'service' and 'ticket' parameters are both required")
        with self._lock:
            entry = self._tickets.pop(ticket, None)
        if entry is None or entry[2] < time.monotonic():
            return None, ("INVALID_TICKET", "Ticket '%s' not recognized" % ticket)
        if entry[0] != service:
            return None, ("INVALID_SERVICE",
                          "Ticket '%s' does not match supplied service. The original service "
                          "was '%s' and the supplied service was '%s'." % (ticket, entry[0], service))
        if renew and entry[4]:
            return None, ("INVALID_TICKET",
                          "Ticket '%s' was not issued from a sign-in, as renew asks" % ticket)
        with self._lock:
            if entry[3] in self._sessions:
                self._sessions[entry[3]]["validated"].append((service, ticket))
        return entry[1], None

    def open_session(self, user):
        session = "TGT-" + secrets.token_urlsafe(24)
        with self._lock:
            self._sessions[session] = {"user": user, "validated": []}
        return session

    def session_user(self, session):
        with self._lock:
            entry = self._sessions.get(session)
            return entry["user"] if entry else None

    def close_session(self, session):
        """The (service, ticket) pairs the session validated, now to be logged out."""
        with self._lock:
            entry = self._sessions.pop(session, None)
        return entry["validated"] if entry else []


def logout_request(ticket):
    """The body of a single-logout POST for `ticket`, as CAS servers send it."""
    saml = ('<samlp:LogoutRequest xmlns:samlp="urn:oasis:names:tc:SAML:2.0:protocol" '
            'xmlns:saml="urn:oasis:names:tc:SAML:2.0:assertion" ID="LR-%s" Version="2.0" '
            'IssueInstant="%s"><saml:NameID>@NOT_USED@</saml:NameID>'
            '<samlp:SessionIndex>%s</samlp:SessionIndex></samlp:LogoutRequest>'
            % (secrets.token_hex(8), time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()), ticket))
    return urllib.parse.urlencode({"logoutRequest": saml}).encode()


def send_logout(service, ticket, timeout=5):
    """POSTs the single-logout request to the service URL; the status, or None."""
    parts = urllib.parse.urlsplit(service)
    try:
        connection = http.client.HTTPConnection(parts.hostname, parts.port or 80, timeout=timeout)
        try:
            connection.request("POST", parts.path + ("?" + parts.query if parts.query else ""),
                               body=logout_request(ticket),
                               headers={"Content-Type": "application/x-www-form-urlencoded"})
            response = connection.getresponse()
            response.read()
            return response.status
        finally:
            connection.close()
    except OSError:
        return None


def with_ticket(service, ticket, rebuild_query=False):
    """The service URL with ticket=... added to its query, before any fragment;
    with rebuild_query, the query rebuilt in name order with the ticket in it."""
    base, hash_mark, fragment = service.partition("#")
    if rebuild_query:
        path, _, query = base.partition("?")
        pairs = urllib.parse.parse_qsl(query, keep_blank_values=True) + [("ticket", ticket)]
        pairs.sort(key=lambda pair: pair[0])
        return path + "?" + urllib.parse.urlencode(pairs) + hash_mark + fragment
    separator = "&" if "?" in base else "?"
    return base + separator + "ticket=" + urllib.parse.quote(ticket, safe="") + hash_mark + fragment


def cas2_success(user, attributes=None):
    lines = ['<cas:serviceResponse xmlns:cas="%s">' % CAS_NAMESPACE,
             "  <cas:authenticationSuccess>",
             "    <cas:user>%s</cas:user>" % xml_escape(user)]
    if attributes:
        lines.append("    <cas:attributes>")
        for name, value in attributes.items():
            for item in value if isinstance(value, list) else [value]:
                lines.append("      <cas:%s>%s</cas:%s>" % (name, xml_escape(item), name))
        lines.append("    </cas:attributes>")
    lines += ["  </cas:authenticationSuccess>", "</cas:serviceResponse>", ""]
    return "\n".join(lines).encode("utf-8")


def cas2_failure(code, message):
    return ('<cas:serviceResponse xmlns:cas="%s">\n'
            '  <cas:authenticationFailure code="%s">%s</cas:authenticationFailure>\n'
            "</cas:serviceResponse>\n" % (CAS_NAMESPACE, code, xml_escape(message))).encode("utf-8")


def fault_body(mode):
    """(status, content type, body) of the faults that answer."""
    if mode in ("html404", "html500"):
        status = 404 if mode == "html404" else 500
        page = ("<!DOCTYPE html>\n<html><head><title>%d</title></head>\n"
                "<body><h1>Error %d<br></h1><p>Something went wrong & nobody knows why.</body>\n"
                "</html>\n" % (status, status))
        return status, "text/html; charset=utf-8", page.encode("utf-8")
    if mode == "empty":
        return 200, "text/plain", b""
    if mode == "huge":
        return 200, "text/plain", b"yes\nalice\n" + b"x" * HUGE_BODY_BYTES
    if mode == "notcas":
        return 200, "text/xml", b'<?xml version="1.0"?>\n<status><ok>true</ok><user>alice</user></status>\n'
    if mode == "xxe":
        return 200, "text/xml", (
            '<?xml version="1.0"?>\n'
            '<!DOCTYPE cas:serviceResponse [\n'
            '  <!ENTITY xxe SYSTEM "file:///etc/passwd">\n'
            '  <!ENTITY %% remote SYSTEM "file:///etc/hostname">\n'
            '  %%remote;\n'
            ']>\n'
            '<cas:serviceResponse xmlns:cas="%s"><cas:authenticationSuccess>'
            '<cas:user>&xxe;</cas:user></cas:authenticationSuccess></cas:serviceResponse>\n'
            % CAS_NAMESPACE).encode("utf-8")
    if mode == "laughs":
        entities = ['  <!ENTITY lol0 "lol">']
        for level in range(1, 10):
            entities.append('  <!ENTITY lol%d "%s">' % (level, ("&lol%d;" % (level - 1)) * 10))
        return 200, "text/xml", (
            '<?xml version="1.0"?>\n<!DOCTYPE cas:serviceResponse [\n%s\n]>\n'
            '<cas:serviceResponse xmlns:cas="%s"><cas:authenticationSuccess>'
            '<cas:user>&lol9;</cas:user></cas:authenticationSuccess></cas:serviceResponse>\n'
            % ("\n".join(entities), CAS_NAMESPACE)).encode("utf-8")
    if mode == "entity":
        return 200, "text/xml", (
            '<?xml version="1.0"?>\n<!DOCTYPE cas:serviceResponse [<!ENTITY u "bob">]>\n'
            '<cas:serviceResponse xmlns:cas="%s"><cas:authenticationSuccess>'
            '<cas:user>&u;</cas:user></cas:authenticationSuccess></cas:serviceResponse>\n'
            % CAS_NAMESPACE).encode("utf-8")
    if mode == "latin1":
        return 200, "text/xml", (
            '<cas:serviceResponse xmlns:cas="%s"><cas:authenticationSuccess>'
            '<cas:user>%s</cas:user></cas:authenticationSuccess></cas:serviceResponse>\n'
            % (CAS_NAMESPACE, "h\u00e9l\u00e8ne")).encode("latin-1")
    return None


LOGIN_FORM = """<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Test CAS sign-in</title></head>
<body>
<h1>Sign in</h1>
<p>%(message)s</p>
<form method="post" action="/login">
<input type="hidden" name="service" value="%(service)s">
<p><label>User <input name="username" autofocus></label></p>
<p><label>Password <input name="password" type="password"></label></p>
<p><button type="submit">Sign in</button></p>
</form>
<p>Demo users: alice/alice, bob/bob, "carol smith"/carol.</p>
</body></html>
"""


class CasHandler(BaseHTTPRequestHandler):
    server_version = "TestCAS/1.0"
    protocol_version = "HTTP/1.1"
    # Headers and body go out in two writes; on a kept connection Nagle's
    # rule would hold the body back until the client's delayed ACK (40 ms).
    disable_nagle_algorithm = True

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        if self.server.verbose:
            super().log_message(format, *args)

    # -- plumbing ------------------------------------------------------------

    def _send(self, status, content_type, body, extra_headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra_headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _query(self):
        parsed = urllib.parse.urlsplit(self.path)
        return parsed.path, {k: v[0] for k, v in urllib.parse.parse_qs(
            parsed.query, keep_blank_values=True).items()}

    def _form(self):
        length = int(self.headers.get("Content-Length") or 0)
        data = self.rfile.read(length).decode("utf-8", "replace") if length else ""
        return {k: v[0] for k, v in urllib.parse.parse_qs(data, keep_blank_values=True).items()}

    # -- dispatch ------------------------------------------------------------

    def do_GET(self):
        path, query = self._query()
        fault = self.server.fault
        if path.startswith("/_fault/"):
            mode, _, rest = path[len("/_fault/"):].partition("/")
            if mode not in FAULT_MODES:
                return self._send(400, "text/plain", b"unknown fault mode\n")
            fault, path = mode, "/" + rest
        if path == "/_fault":
            mode = query.get("mode", "none")
            if mode not in FAULT_MODES:
                return self._send(400, "text/plain", b"unknown fault mode\n")
            self.server.fault = mode
            return self._send(200, "text/plain", ("fault %s\n" % mode).encode())
        if path == "/_connections":
            return self._send(200, "text/plain", b"%d" % self.server.connections)
        if path == "/_rebuild":
            self.server.rebuild_query = query.get("on") == "1"
            return self._send(200, "text/plain", b"rebuild %d\n" % self.server.rebuild_query)
        if path == "/_ticket":
            ticket = self.server.tickets.issue(query.get("service", ""), query.get("username", "alice"))
            return self._send(200, "text/plain", ticket.encode())
        if path == "/login":
            return self._login_get(query)
        if path == "/logout":
            return self._logout(query)
        if path in ("/validate", "/serviceValidate", "/p3/serviceValidate"):
            if fault != "none":
                return self._fault(fault)
            return self._validate(path, query)
        return self._send(404, "text/plain", b"not found\n")

    def do_POST(self):
        path, _ = self._query()
        if path != "/login":
            return self._send(404, "text/plain", b"not found\n")
        form = self._form()
        user, service = form.get("username", ""), form.get("service", "")
        if USERS.get(user) is None or USERS[user] != form.get("password"):
            return self._login_form(service, "Unknown user or wrong password.", 401)
        return self._signed_in(user, service)

    # -- CAS -----------------------------------------------------------------

    def _session(self):
        """The CASTGC cookie the browser sent, when it names a live session."""
        for part in (self.headers.get("Cookie") or "").split(";"):
            name, _, value = part.strip().partition("=")
            if name == "CASTGC" and self.server.tickets.session_user(value) is not None:
                return value
        return None

    def _login_get(self, query):
        service = query.get("service", "")
        renew = query.get("renew") == "true"
        session = self._session()
        if query.get("auto") == "1":
            user = query.get("username", "")
            if user not in USERS:
                return self._send(403, "text/plain", b"unknown user\n")
            return self._signed_in(user, service)
        if session is not None and not renew and service:
            # Single sign-on: the session vouches for the browser.
            user = self.server.tickets.session_user(session)
            ticket = self.server.tickets.issue(service, user, session, from_session=True)
            location = with_ticket(service, ticket, self.server.rebuild_query)
            return self._send(302, "text/plain", b"", [("Location", location)])
        if query.get("gateway") == "true" and service and not renew:
            # Not signed on, and the service asked not to be stopped here.
            return self._send(302, "text/plain", b"", [("Location", service)])
        return self._login_form(service, "Please sign in.", 200)

    def _logout(self, query):
        session = self._session()
        for service, ticket in self.server.tickets.close_session(session) if session else []:
            send_logout(service, ticket)
        expired = [("Set-Cookie", "CASTGC=; Path=/; Max-Age=0")]
        if query.get("service"):
            return self._send(302, "text/plain", b"", [("Location", query["service"])] + expired)
        return self._send(200, "text/html; charset=utf-8", b"<p>Signed out.</p>\n", expired)

    def _login_form(self, service, message, status):
        page = LOGIN_FORM % {"service": html.escape(service, quote=True),
                             "message": html.escape(message)}
        self._send(status, "text/html; charset=utf-8", page.encode("utf-8"))

    def _signed_in(self, user, service):
        session = self.server.tickets.open_session(user)
        cookie = [("Set-Cookie", "CASTGC=%s; Path=/; HttpOnly" % session)]
        if not service:
            return self._send(200, "text/html; charset=utf-8",
                              ("<p>Signed in as %s.</p>\n" % html.escape(user)).encode("utf-8"), cookie)
        ticket = self.server.tickets.issue(service, user, session)
        location = with_ticket(service, ticket, self.server.rebuild_query)
        self._send(302, "text/plain", b"", [("Location", location)] + cookie)

    def _validate(self, path, query):
        user, refusal = self.server.tickets.redeem(query.get("ticket", ""), query.get("service", ""),
                                                   renew=query.get("renew") == "true")
        if path == "/validate":
            body = ("yes\n%s\n" % user).encode("utf-8") if user is not None else b"no\n\n"
            return self._send(200, "text/plain; charset=utf-8", body)
        if user is None:
            return self._send(200, "text/xml; charset=utf-8", cas2_failure(*refusal))
        attributes = ATTRIBUTES.get(user) if path.startswith("/p3/") else None
        return self._send(200, "text/xml; charset=utf-8", cas2_success(user, attributes))

    def _fault(self, mode):
        if mode == "reset":
            self.close_connection = True
            try:
                self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            except OSError:
                pass
            self.connection.close()
            return None
        if mode == "hang":
            self.server.stopping.wait(HANG_LIMIT_SECONDS)
            self.close_connection = True
            return None
        if mode == "slow":
            body = cas2_failure("INVALID_TICKET", "slowly")
            self.send_response(200)
            self.send_header("Content-Type", "text/xml")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            for i in range(len(body)):
                if self.server.stopping.wait(0.5):
                    break
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
            self.close_connection = True
            return None
        status, content_type, body = fault_body(mode)
        return self._send(status, content_type, body)


class CasHttpServer(ThreadingHTTPServer):
    daemon_threads = True  # hanging handlers must not keep the process alive
    allow_reuse_address = True

    def __init__(self, port=0, fault="none", verbose=False, rebuild_query=False, tls=None):
        super().__init__(("127.0.0.1", port), CasHandler)
        self.tls = tls is not None
        if self.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*tls)
            # The handshake runs on the request's own thread (finish_request):
            # a client that refuses the certificate must not hold up the others.
            self.socket = context.wrap_socket(self.socket, server_side=True,
                                              do_handshake_on_connect=False)
        self.tickets = TicketRegistry()
        self.fault = fault
        self.rebuild_query = rebuild_query
        self.verbose = verbose
        self.stopping = threading.Event()
        self.connections = 0

    def process_request(self, request, client_address):
        self.connections += 1  # the accepting thread alone counts
        super().process_request(request, client_address)

    def finish_request(self, request, client_address):
        if self.tls:
            try:
                request.do_handshake()
            except (OSError, ValueError):
                return  # the client refused the certificate, as the TLS tests mean it to
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        # Clients that give up (time-outs, size limits) are part of the tests.
        if not isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)) or self.verbose:
            super().handle_error(request, client_address)


class CasServer:
    """The server on a thread of its own, as a context manager."""

    def __init__(self, port=0, fault="none", verbose=False, rebuild_query=False, tls=None):
        """tls: (certificate chain file, key file) to speak HTTPS."""
        self._server = CasHttpServer(port, fault, verbose, rebuild_query, tls)
        self._thread = None

    @property
    def port(self):
        return self._server.server_address[1]

    @property
    def url(self):
        return "%s://127.0.0.1:%d" % ("https" if self._server.tls else "http", self.port)

    @property
    def tickets(self):
        return self._server.tickets

    def set_fault(self, mode):
        self._server.fault = mode

    def start(self):
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,),
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._server.stopping.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join(5)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--fault", choices=FAULT_MODES, default="none")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("--rebuild-query", action="store_true")
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--exit-on-stdin-eof", action="store_true")
    args = parser.parse_args(argv)
    if bool(args.tls_cert) != bool(args.tls_key):
        parser.error("--tls-cert and --tls-key go together")
    tls = (args.tls_cert, args.tls_key) if args.tls_cert else None

    server = CasServer(args.port, args.fault, args.verbose, args.rebuild_query, tls).start()
    done = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: done.set())
    if args.exit_on_stdin_eof:
        def watch_stdin():
            # The raw descriptor: a buffered stdin would hold a lock that
            # blocks the interpreter's exit.
            while os.read(0, 4096):
                pass
            done.set()
        threading.Thread(target=watch_stdin, daemon=True).start()
    print("listening %s127.0.0.1:%d" % ("https " if tls else "", server.port), flush=True)
    done.wait()
    server.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
