"""Starts and stops Debian's nginx with ngx_http_turnpike_module for the
black-box tests: master and two workers, `daemon off`, on a free port of
127.0.0.1, with a prefix, configuration, logs, pid file and temporary
folders of its own in a temporary folder. The site's /secure/ locations
pass to the three back ends of backends.py; /app/ is protected by
`turnpike on` alone. Every wait is bounded, and a test that dies leaves no
nginx behind (its own process group, killed at the end)."""

import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "apache"))
from apache_harness import free_port  # noqa: E402,F401 - re-exported for the tests

NGINX = os.environ.get("TURNPIKE_NGINX", "/usr/sbin/nginx")
START_TIMEOUT = 15

SITE = {
    "index.html": "front page\n",
    "public/page.txt": "plain text, not protected\n",
    "secure/report.txt": "the protected report\n",
    "app/page.txt": "protected by its location\n",
    "app/open/page.txt": "turnpike off inside a protected location\n",
    # The identity header as the application sees it, through nginx's SSI.
    "secure/who.html": '<!DOCTYPE html>\n<html><head><title>Who</title></head><body><p>Signed on as: '
                       '<span id="user"><!--# echo var="http_cas_user" default="" --></span></p></body></html>\n',
}

CONFIG = """\
{load}
daemon off;
master_process on;
worker_processes {workers};
pid {root}/nginx.pid;
error_log {root}/error.log {log_level};
events {{ worker_connections 512; }}
http {{
    access_log off;
    client_body_temp_path {root}/tmp/body;
    proxy_temp_path {root}/tmp/proxy;
    fastcgi_temp_path {root}/tmp/fastcgi;
    uwsgi_temp_path {root}/tmp/uwsgi;
    scgi_temp_path {root}/tmp/scgi;
    types {{ text/plain txt; text/html html; }}
    {http_lines}
    server {{
        # reuseport: the kernel spreads connections over both workers.
        listen 127.0.0.1:{port} reuseport;
        server_name 127.0.0.1;
        root {root}/html;
        underscores_in_headers on;
        ssi on;
        location = /pid {{ return 200 "$pid"; }}
        location /secure/proxy/ {{
            proxy_pass http://127.0.0.1:{http};
            proxy_set_header X-Turnpike-User {user};
        }}
        location /public/proxy/ {{ proxy_pass http://127.0.0.1:{http}; }}
        location /secure/fastcgi/ {{
            fastcgi_pass 127.0.0.1:{fastcgi};
            fastcgi_param TURNPIKE_USER {user};
        }}
        location /secure/uwsgi/ {{
            uwsgi_pass 127.0.0.1:{uwsgi};
            uwsgi_param TURNPIKE_USER {user};
        }}
        # An internal redirect into a location with `turnpike on`.
        location = /public/inside {{ rewrite ^ /app/page.txt last; }}
        location /app/ {{
            {app_on}
            location /app/open/ {{ {app_off} }}
        }}
        {server_lines}
    }}
}}
"""


class Nginx:
    """One nginx under its own prefix. module: the .so, or None for the same
    site without it; backends: a backends.Backends (or None: ports nobody
    listens on)."""

    def __init__(self, module, registry=None, backends=None, workers=2, http_lines=(),
                 server_lines=(), port=None, log_level="info"):
        self.module, self.registry = module, registry
        self.port = port or free_port()
        self.root = tempfile.mkdtemp(prefix="turnpike-nginx-")
        os.chmod(self.root, 0o755)
        self.conf = os.path.join(self.root, "nginx.conf")
        self.error_log = os.path.join(self.root, "error.log")
        self.registry_file = os.path.join(self.root, "turnpike.reg")
        self.stderr_file = os.path.join(self.root, "stderr.txt")
        self.process = None
        http_lines = list(http_lines)
        if module:
            http_lines.insert(0, "turnpike_registry_file %s;" % self.registry_file)
        ports = (backends.http, backends.fastcgi, backends.uwsgi) if backends else (9, 9, 9)
        text = CONFIG.format(load="load_module %s;" % module if module else "", workers=workers,
                             log_level=log_level,
                             # The same site without the module knows no such directive.
                             app_on="turnpike on;" if module else "",
                             user="$turnpike_user" if module else '""',
                             app_off="turnpike off;" if module else "",
                             root=self.root, port=self.port, http_lines="\n    ".join(http_lines),
                             server_lines="\n        ".join(server_lines), http=ports[0],
                             fastcgi=ports[1], uwsgi=ports[2])
        self._write(text)

    def _write(self, config):
        for name, text in SITE.items():
            path = os.path.join(self.root, "html", name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as handle:
                handle.write(text)
        for folder in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            os.makedirs(os.path.join(self.root, "tmp", folder))
        if self.registry is not None:
            with open(self.registry_file, "w") as handle:
                handle.write(self.registry)
        with open(self.conf, "w") as handle:
            handle.write(config)
        # Workers run as nobody when the tests run as root.
        for folder, _, files in os.walk(self.root):
            os.chmod(folder, 0o777 if "/tmp" in folder else 0o755)
            for name in files:
                os.chmod(os.path.join(folder, name), 0o644)

    def command(self, *arguments):
        return [NGINX, "-p", self.root, "-c", self.conf, *arguments]

    def config_test(self):
        """nginx -t: (exit status, what it printed)."""
        done = subprocess.run(self.command("-t"), capture_output=True, text=True, timeout=START_TIMEOUT)
        return done.returncode, done.stdout + done.stderr

    def start(self):
        self.stderr = open(self.stderr_file, "w")
        self.process = subprocess.Popen(self.command(), stdin=subprocess.DEVNULL, stdout=self.stderr,
                                        stderr=subprocess.STDOUT, start_new_session=True)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("nginx exited with %d:\n%s" % (self.process.returncode, self.logs()))
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return self
            except OSError:
                pass
            time.sleep(0.05)
        raise RuntimeError("nginx did not answer within %d s:\n%s" % (START_TIMEOUT, self.logs()))

    def stop(self):
        """SIGQUIT (a graceful stop), then waits for every process of it."""
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)
            try:
                self.process.wait(START_TIMEOUT)
            except subprocess.TimeoutExpired:
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(START_TIMEOUT)
        self.stderr.close()
        self.process = None

    def cleanup(self):
        try:
            self.stop()
        finally:
            if self.process is not None:
                os.killpg(self.process.pid, signal.SIGKILL)
            shutil.rmtree(self.root, ignore_errors=True)

    def error_log_text(self):
        try:
            with open(self.error_log, errors="replace") as handle:
                return handle.read()
        except FileNotFoundError:
            return ""

    def logs(self):
        with open(self.stderr_file, errors="replace") as handle:
            return "--- stderr\n%s--- error.log\n%s" % (handle.read(), self.error_log_text())

    EVENT = re.compile(r"\[(\w+)\] (\d+)#\d+: (?:\*\d+ )?\[event (\d+)\] (.*?)(?:, client: .*)?$")

    def turnpike_events(self):
        """(level, event id, text, worker pid) of every event in the error log."""
        events = []
        for line in self.error_log_text().splitlines():
            found = self.EVENT.search(line)
            if found:
                events.append((found.group(1), int(found.group(3)), found.group(4), int(found.group(2))))
        return events

    def request(self, path, headers=None, method="GET", connection=None):
        """One request, no redirect followed: (status, reason, header list, body)."""
        own = connection is None
        connection = connection or http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.reason, response.getheaders(), response.read()
        finally:
            if own:
                connection.close()
