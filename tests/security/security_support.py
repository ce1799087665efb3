"""What the fault, attack and load tests share: raw HTTP over a socket (so
that nothing normalises the request line), a CAS server stub of the test's
own making, and a look at Apache's children in /proc.

Everything talks to 127.0.0.1 only, and every socket has a time-out.
"""

import http.client
import http.server
import os
import socket
import sys
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "apache"))
from apache_harness import (APACHE_MODULES, Apache, Browser, CasProcess, free_port,  # noqa: E402,F401
                            header, registry_text, signon_cookie)

PROTECTED_TEXT = b"the protected report"


def dechunk(body):
    out = b""
    while body:
        size_line, _, body = body.partition(b"\r\n")
        size = int(size_line.split(b";")[0] or b"0", 16)
        if size == 0:
            break
        out, body = out + body[:size], body[size + 2:]
    return out


class RawResponse:
    def __init__(self, data):
        self.data = data
        head, _, self.body = data.partition(b"\r\n\r\n")
        lines = head.split(b"\r\n")
        self.status_line = lines[0].decode("latin-1")
        parts = self.status_line.split(" ", 2)
        self.status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        self.headers = []
        for line in lines[1:]:
            name, _, value = line.decode("latin-1").partition(":")
            self.headers.append((name.strip(), value.strip()))
        if (self.header("Transfer-Encoding") or "").lower() == "chunked":
            self.body = dechunk(self.body)

    def header(self, name):
        return header(self.headers, name)

    def all(self, name):
        return [value for key, value in self.headers if key.lower() == name.lower()]

    def signon_cookies(self):
        return [value for value in self.all("Set-Cookie") if value.startswith("VAVUZE=")]


def raw_request(port, data, timeout=10):
    """Sends `data` (bytes) as is and reads until the server closes; the
    caller asks for Connection: close. Answers the raw bytes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as connection:
        connection.sendall(data)
        chunks = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                chunk = connection.recv(65536)
            except (ConnectionResetError, socket.timeout):
                break
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks)


def raw_get(port, target, headers=(), method=b"GET", version=b"HTTP/1.1", timeout=10):
    """One request with the request target exactly as given (bytes)."""
    lines = [method + b" " + target + b" " + version, b"Connection: close", *headers]
    if not any(line.lower().startswith(b"host:") for line in headers):
        lines.insert(1, b"Host: 127.0.0.1:%d" % port)
    return RawResponse(raw_request(port, b"\r\n".join(lines) + b"\r\n\r\n", timeout))


class LoopbackServer:
    """An HTTP server of the test's own on 127.0.0.1, on a thread, as a
    context manager; `handler` answers its requests."""

    def __init__(self, handler, path=""):
        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.server.daemon_threads = True
        self.url = "http://127.0.0.1:%d%s" % (self.server.server_address[1], path)
        self.thread = threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(5)


class StubCas(LoopbackServer):
    """A CAS server that vouches for every ticket (CAS 1.0 "yes") and records
    the query of every validation request it gets. For what the real test
    server cannot be made to do: validate a ticket the browser made up."""

    def __init__(self, user="alice"):
        stub = self
        self.queries = []
        self.user = user
        self.body = None  # bytes: answer this instead

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                stub.queries.append(urllib.parse.urlsplit(self.path).query)
                body = stub.body if stub.body is not None else ("yes\n%s\n" % stub.user).encode()
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        super().__init__(Handler)


class EchoServer(LoopbackServer):
    """A back end for mod_proxy that answers every request with the request
    headers it received, one "Name: value" line each, so a test sees exactly
    what an application behind Apache would."""

    def __init__(self):
        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                body = "".join("%s: %s\n" % item for item in self.headers.items()).encode("latin-1")
                self.send_response(200)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

        super().__init__(Handler, "/")

    def proxy_lines(self, *prefixes):
        """Apache directives that hand each prefix to this back end."""
        lines = ['LoadModule proxy_module "%s/mod_proxy.so"' % APACHE_MODULES,
                 'LoadModule proxy_http_module "%s/mod_proxy_http.so"' % APACHE_MODULES]
        return lines + ["ProxyPass %s %s" % (prefix, self.url) for prefix in prefixes]


def received_headers(body):
    """The (name, value) pairs an EchoServer answered with."""
    pairs = []
    for line in body.decode("latin-1").splitlines():
        name, _, value = line.partition(": ")
        pairs.append((name, value))
    return pairs


# -- Apache's children --------------------------------------------------------

def children(apache):
    """The pids of the Apache parent's child processes."""
    parent = apache.process.pid
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as handle:
                fields = handle.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == parent:
            pids.append(int(entry))
    return sorted(pids)


# A prefork child opens the pollset over Apache's listeners (an epoll
# descriptor) as the last step of its start, once child_init has run, and its
# pool closes it first when it exits. A child without it is starting or
# exiting, and its descriptors say nothing about what serving left behind.
LISTENER_POLLSET = "anon_inode:[eventpoll]"


def process_status(pid):
    """(resident KiB, threads, open descriptors) of a process that is serving,
    or None."""
    try:
        with open("/proc/%d/status" % pid) as handle:
            status = dict(line.split(":", 1) for line in handle if ":" in line)
        targets = [os.readlink("/proc/%d/fd/%s" % (pid, fd))
                   for fd in os.listdir("/proc/%d/fd" % pid)]
    except OSError:
        return None
    if "VmRSS" not in status:  # exiting: a zombie has no memory left
        return None
    if LISTENER_POLLSET not in targets:
        return None
    return int(status["VmRSS"].split()[0]), int(status["Threads"]), len(targets)


def snapshot(apache):
    """{pid: (rss KiB, threads, descriptors)} of every child that is serving."""
    result = {}
    for pid in children(apache):
        status = process_status(pid)
        if status is not None:
            result[pid] = status
    return result


def crashes(apache):
    """Error-log lines that tell of a child killed by a signal."""
    return [line for line in apache.error_log_text().splitlines()
            if "exit signal" in line or "Segmentation" in line or "AddressSanitizer" in line]


def _cas_get(cas_url, path):
    parts = urllib.parse.urlsplit(cas_url)
    connection = http.client.HTTPConnection(parts.hostname, parts.port, timeout=10)
    try:
        connection.request("GET", path)
        return connection.getresponse().read().decode()
    finally:
        connection.close()


def issue_ticket(cas_url, service, user="alice"):
    """A ticket from the test CAS server's control endpoint, for `service`."""
    return _cas_get(cas_url, "/_ticket?" + urllib.parse.urlencode({"service": service,
                                                                   "username": user}))


def set_fault(cas_url, mode):
    """The test CAS server's fault for every later validation."""
    _cas_get(cas_url, "/_fault?mode=" + mode)
