"""Three application back ends for nginx's proxy_pass, fastcgi_pass and
uwsgi_pass, in threads of the test process, on free ports of 127.0.0.1.
Each answers with JSON: what it received as (name, value) pairs, the
request headers for HTTP and the parameters (HTTP_CAS_USER, TURNPIKE_USER,
...) for FastCGI and uwsgi."""

import http.server
import json
import socketserver
import struct
import threading


def _json(pairs):
    return json.dumps(pairs).encode()


class _HttpHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):  # noqa: N802 - the base class's name
        body = _json(list(self.headers.items()))
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def _read_exactly(stream, size):
    data = b""
    while len(data) < size:
        chunk = stream.read(size - len(data))
        if not chunk:
            raise EOFError
        data += chunk
    return data


def _fastcgi_length(data, at):
    if data[at] < 128:
        return data[at], at + 1
    return struct.unpack(">I", data[at:at + 4])[0] & 0x7FFFFFFF, at + 4


class _FastCgiHandler(socketserver.StreamRequestHandler):
    """One FastCGI request: BEGIN_REQUEST, PARAMS, STDIN; then STDOUT and
    END_REQUEST."""

    def handle(self):
        params = b""
        request_id = 1
        while True:
            _, kind, request_id, length, padding, _ = struct.unpack(">BBHHBB", _read_exactly(self.rfile, 8))
            content = _read_exactly(self.rfile, length + padding)[:length]
            if kind == 4:
                params += content
            elif kind == 5 and not content:
                break
        pairs, at = [], 0
        while at < len(params):
            name_length, at = _fastcgi_length(params, at)
            value_length, at = _fastcgi_length(params, at)
            name = params[at:at + name_length].decode("latin-1")
            at += name_length
            pairs.append((name, params[at:at + value_length].decode("latin-1")))
            at += value_length
        body = _json(pairs)
        output = b"Status: 200 OK\r\nContent-Type: application/json\r\n\r\n" + body
        for kind, content in ((6, output), (6, b""), (3, b"\0" * 8)):
            self.wfile.write(struct.pack(">BBHHBB", 1, kind, request_id, len(content), 0, 0) + content)


class _UwsgiHandler(socketserver.StreamRequestHandler):
    """One uwsgi request: the variables' packet; answers an HTTP response."""

    def handle(self):
        _, size, _ = struct.unpack("<BHB", _read_exactly(self.rfile, 4))
        data = _read_exactly(self.rfile, size)
        pairs, at = [], 0
        while at < len(data):
            (name_length,) = struct.unpack("<H", data[at:at + 2])
            name = data[at + 2:at + 2 + name_length].decode("latin-1")
            at += 2 + name_length
            (value_length,) = struct.unpack("<H", data[at:at + 2])
            pairs.append((name, data[at + 2:at + 2 + value_length].decode("latin-1")))
            at += 2 + value_length
        body = _json(pairs)
        self.wfile.write(b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\n\r\n"
                         % len(body) + body)


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class Backends:
    """The three servers; ports in .http, .fastcgi, .uwsgi."""

    def __init__(self):
        self.servers = [_Server(("127.0.0.1", 0), handler)
                        for handler in (_HttpHandler, _FastCgiHandler, _UwsgiHandler)]
        self.http, self.fastcgi, self.uwsgi = (server.server_address[1] for server in self.servers)
        for server in self.servers:
            threading.Thread(target=server.serve_forever, daemon=True).start()

    def stop(self):
        for server in self.servers:
            server.shutdown()
            server.server_close()
