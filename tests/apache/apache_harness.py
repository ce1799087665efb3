"""Starts and stops the real Apache httpd (Debian's /usr/sbin/apache2) with
mod_turnpike, and the test CAS server, for the black-box tests and the demo.

Every Apache gets a ServerRoot of its own in a temporary folder (its
configuration, document root, pid file, logs, lock files and runtime
directory) and a free port on 127.0.0.1. Nothing outside that folder is
read or written, except Debian's module files and /etc/mime.types.

Both servers are always stopped: the CAS server also ends by itself when its
stdin closes (the test process died), and every wait is bounded.
"""

import http.client
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import textwrap
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_ROOT = os.path.dirname(os.path.dirname(HERE))
CAS_SERVER = os.path.join(SOURCE_ROOT, "tests", "support", "cas_server.py")
APACHE = os.environ.get("TURNPIKE_APACHE", "/usr/sbin/apache2")
APACHE_MODULES = os.environ.get("TURNPIKE_APACHE_MODULES", "/usr/lib/apache2/modules")

START_TIMEOUT = 15
STOP_TIMEOUT = 15

# Debian's shared modules the test sites use; the MPM is chosen per server.
BASE_MODULES = ("authz_core", "mime", "dir", "include", "socache_shmcb")

REGISTRY = r"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike]
"ServerURL"="{cas_url}"
"LoginPath"="login"
"ValidationPath"="{validation_path}"
"AuthHeader"="CASUser"
"Debug"=dword:{debug:08x}
"SessionTimeout"=dword:{session_timeout:08x}
"CacheCleanTimeout"=dword:0000000a
{values}
[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike\Paths]
"1"="/secure/"
{keys}"""

# The page shows the identity header exactly as the application sees it.
WHO_PAGE = """<!DOCTYPE html>
<html><head><title>Who</title></head>
<body><p>Signed on as: <span id="user"><!--#echo var="HTTP_CASUSER" --></span></p></body></html>
"""

SITE = {
    "index.html": "<!DOCTYPE html>\n<html><body><p>Front page</p></body></html>\n",
    "public/page.txt": "plain text, not protected\n",
    "public/who.shtml": WHO_PAGE,
    "secure/index.shtml": WHO_PAGE,
    "secure/report.txt": "the protected report\n",
    # Every request header as the application sees it (HTTP_* variables).
    "secure/env.shtml": "<pre>\n<!--#printenv -->\n</pre>\n",
    "public/env.shtml": "<pre>\n<!--#printenv -->\n</pre>\n",
}


SITE_TIME = 1_700_000_000


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def registry_text(cas_url, session_timeout=60, debug=1, validation_path="serviceValidate",
                  numbers=None, texts=None, gateway_paths=()):
    """The .reg file; `numbers` adds REG_DWORD values ({name: value}), `texts`
    REG_SZ values, `gateway_paths` the GatewayPaths key."""
    values = "".join('"%s"=dword:%08x\n' % item for item in (numbers or {}).items())
    values += "".join('"%s"="%s"\n' % item for item in (texts or {}).items())
    keys = ""
    if gateway_paths:
        keys = "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Turnpike\\GatewayPaths]\n" + "".join(
            '"%d"="%s"\n' % (index, path) for index, path in enumerate(gateway_paths, 1))
    return REGISTRY.format(cas_url=cas_url, session_timeout=session_timeout, debug=debug,
                           validation_path=validation_path, values=values, keys=keys)


class CasProcess:
    """tests/support/cas_server.py as a child process on a free port."""

    def __init__(self, arguments=()):
        """arguments: more of the server's options (--tls-cert PEM --tls-key PEM)."""
        self.process = None
        self.url = None
        self.arguments = list(arguments)

    def start(self):
        self.process = subprocess.Popen(
            [sys.executable, CAS_SERVER, "--port", "0", "--exit-on-stdin-eof", *self.arguments],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline().strip()  # "listening [https ]127.0.0.1:PORT"
        if not line.startswith("listening "):
            self.stop()
            raise RuntimeError("the test CAS server did not start: %r" % line)
        words = line.split()
        self.url = ("https://" if words[1] == "https" else "http://") + words[-1]
        return self

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(STOP_TIMEOUT)
        for stream in (self.process.stdin, self.process.stdout):
            if stream:
                stream.close()
        self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class Apache:
    """One Apache httpd in its own ServerRoot.

    module: path of mod_turnpike.so, or None for the same site without it.
    registry: the .reg file's text (ignored without the module).
    turnpike_lines: extra directives for the module (TurnpikeCache ...).
    """

    def __init__(self, module, registry=None, mpm="prefork", servers=4, turnpike_lines=(),
                 extra_lines=(), log_level="warn turnpike:info", keep_alive=True, port=None):
        self.module = module
        self.registry = registry
        self.mpm = mpm
        self.servers = servers
        self.turnpike_lines = list(turnpike_lines)
        self.extra_lines = list(extra_lines)
        # The module's own level only exists where the module is loaded.
        self.log_level = log_level if module else "warn"
        self.keep_alive = keep_alive
        self.port = port or free_port()
        self.root = tempfile.mkdtemp(prefix="turnpike-apache-")
        # Children run as nobody when the tests run as root: they must read
        # the site.
        os.chmod(self.root, 0o755)
        self.docroot = os.path.join(self.root, "htdocs")
        self.conf = os.path.join(self.root, "apache2.conf")
        self.error_log = os.path.join(self.root, "error.log")
        self.access_log = os.path.join(self.root, "access.log")
        self.registry_file = os.path.join(self.root, "turnpike.reg")
        self.process = None
        self.stderr_file = os.path.join(self.root, "stderr.txt")
        self._write_files()

    # -- files ---------------------------------------------------------------

    def _write_files(self):
        for name, text in SITE.items():
            path = os.path.join(self.docroot, name)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "w") as handle:
                handle.write(text)
            # One fixed time for every copy of the site, so that two servers'
            # Last-Modified and ETag can be compared.
            os.utime(path, (SITE_TIME, SITE_TIME))
        for folder in ("run", "lock"):
            os.makedirs(os.path.join(self.root, folder))
        if self.registry is not None:
            with open(self.registry_file, "w") as handle:
                handle.write(self.registry)
        with open(self.conf, "w") as handle:
            handle.write(self.config_text())
        for folder, _, files in os.walk(self.root):
            os.chmod(folder, 0o755)
            for name in files:
                os.chmod(os.path.join(folder, name), 0o644)

    def config_text(self):
        modules = ["mpm_" + self.mpm] + list(BASE_MODULES)
        lines = ['LoadModule %s_module "%s/mod_%s.so"' % (name, APACHE_MODULES, name)
                 for name in modules]
        if self.module:
            lines.append('LoadModule turnpike_module "%s"' % self.module)
            lines.append('TurnpikeRegistryFile "%s"' % self.registry_file)
            lines += self.turnpike_lines
        if os.geteuid() == 0:
            lines += ["User nobody", "Group nogroup"]
        workers = max(self.servers * 2, 16)
        return textwrap.dedent("""\
            ServerRoot "{root}"
            ServerName 127.0.0.1
            Listen 127.0.0.1:{port}
            PidFile "{root}/run/apache2.pid"
            DefaultRuntimeDir "{root}/run"
            Mutex file:{root}/lock default
            ErrorLog "{error_log}"
            LogLevel {log_level}
            LogFormat "%P %>s %U%q" pidlog
            CustomLog "{access_log}" pidlog
            {modules}
            StartServers {servers}
            <IfModule mpm_prefork_module>
                MinSpareServers {servers}
                MaxSpareServers {max_spare}
                ServerLimit {workers}
                MaxRequestWorkers {workers}
            </IfModule>
            KeepAlive {keep_alive}
            Timeout 10
            TypesConfig /etc/mime.types
            AddType text/html .shtml
            AddOutputFilter INCLUDES .shtml
            DocumentRoot "{docroot}"
            DirectoryIndex index.html index.shtml
            <Directory "{docroot}">
                Options +Includes
                Require all granted
            </Directory>
            {extra}
            """).format(root=self.root, port=self.port, error_log=self.error_log,
                        log_level=self.log_level, access_log=self.access_log,
                        modules="\n".join(lines), servers=self.servers,
                        max_spare=self.servers * 2, workers=workers,
                        keep_alive="On" if self.keep_alive else "Off",
                        docroot=self.docroot, extra="\n".join(self.extra_lines))

    # -- processes -----------------------------------------------------------

    def command(self, *arguments):
        return [APACHE, "-d", self.root, "-f", self.conf, *arguments]

    def config_test(self):
        """apache2 -t: (exit status, standard output and error)."""
        done = subprocess.run(self.command("-t"), capture_output=True, text=True,
                              timeout=START_TIMEOUT)
        return done.returncode, done.stdout + done.stderr

    def start(self, wait=True):
        """Starts Apache in the foreground; with wait, until it answers."""
        self.stderr = open(self.stderr_file, "w")
        self.process = subprocess.Popen(self.command("-D", "FOREGROUND"), stdin=subprocess.DEVNULL,
                                        stdout=self.stderr, stderr=subprocess.STDOUT,
                                        start_new_session=True)
        if wait:
            self.wait_until_serving()
        return self

    def wait_until_serving(self):
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("apache2 exited with %d:\n%s" % (self.process.returncode,
                                                                    self.logs()))
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise RuntimeError("apache2 did not answer within %d s:\n%s" % (START_TIMEOUT, self.logs()))

    def wait_for_exit(self, timeout=START_TIMEOUT):
        """The exit status of an Apache that is expected to stop by itself."""
        try:
            return self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.stop()
            raise

    def stop(self):
        """Stops Apache (SIGTERM, as `apache2 -k stop` does) and waits for every
        process of it to be gone."""
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                # Its own process group holds the children too.
                os.killpg(self.process.pid, signal.SIGKILL)
                self.process.wait(STOP_TIMEOUT)
        self.stderr.close()
        self.process = None

    def graceful_restart(self):
        """SIGUSR1 (apache2 -k graceful), then waits until it answers again."""
        self.process.send_signal(signal.SIGUSR1)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline and self.error_log_text().count("resuming normal") < 2:
            time.sleep(0.05)
        self.wait_until_serving()

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.cleanup()

    # -- what it said --------------------------------------------------------

    @staticmethod
    def _text_of(path):
        try:
            with open(path, errors="replace") as handle:
                return handle.read()
        except FileNotFoundError:
            return ""

    def error_log_text(self):
        return self._text_of(self.error_log)

    def stderr_text(self):
        return self._text_of(self.stderr_file)

    def logs(self):
        return "--- stderr\n%s--- error.log\n%s" % (self.stderr_text(), self.error_log_text())

    def turnpike_events(self):
        """(level, event id, text) of every event in the error log."""
        events = []
        for line in self.error_log_text().splitlines():
            marker = line.find("[turnpike:")
            if marker < 0 or "[event " not in line:
                continue
            level = line[marker + len("[turnpike:"):line.index("]", marker)]
            event = line[line.index("[event ") + len("[event "):]
            number, _, text = event.partition("] ")
            events.append((level, int(number), text))
        return events

    def access_log_lines(self):
        try:
            with open(self.access_log) as handle:
                return [line.split(" ", 2) for line in handle.read().splitlines()]
        except FileNotFoundError:
            return []

    # -- requests ------------------------------------------------------------

    def request(self, path, headers=None, method="GET", connection=None):
        """One request with a plain HTTP client (no redirect is followed):
        (status, reason, header list, body)."""
        own = connection is None
        connection = connection or http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        try:
            connection.request(method, path, headers=headers or {})
            response = connection.getresponse()
            body = response.read()
            return response.status, response.reason, response.getheaders(), body
        finally:
            if own:
                connection.close()


def header(headers, name):
    """The first value of a header in a list from Apache.request, or None."""
    for key, value in headers:
        if key.lower() == name.lower():
            return value
    return None


class Browser:
    """Follows redirects as a browser does, keeping the cookies Apache sets and
    signing in at the test CAS server's login page (non-interactively) each
    time it is sent there. `logins` counts those trips."""

    def __init__(self, apache, cas_url, user="alice"):
        self.apache, self.cas_url, self.user = apache, cas_url, user
        self.cookies = {}
        self.logins = 0

    def get(self, path, max_steps=8):
        """(status, headers, body, path) of the first answer that is no redirect."""
        for _ in range(max_steps):
            request_headers = {"Cookie": "; ".join("%s=%s" % c for c in self.cookies.items())}
            status, _, headers, body = self.apache.request(path, request_headers if self.cookies else {})
            for key, value in headers:
                if key.lower() != "set-cookie":
                    continue
                name, _, rest = value.partition("=")
                if "max-age=0" in rest.lower().replace(" ", ""):
                    self.cookies.pop(name, None)
                else:
                    self.cookies[name] = rest.split(";")[0]
            location = header(headers, "Location")
            if status != 302:
                return status, headers, body, path
            if location.startswith(self.cas_url + "/login"):
                self.logins += 1
                location = self._sign_in(location)
            parts = urllib.parse.urlsplit(location)
            path = parts.path + ("?" + parts.query if parts.query else "")
        raise AssertionError("still redirected after %d steps: a loop" % max_steps)

    def _sign_in(self, login_url):
        login = urllib.parse.urlsplit(login_url)
        service = urllib.parse.parse_qs(login.query)["service"][0]
        connection = cas_connection(login)
        try:
            connection.request("GET", "/login?" + urllib.parse.urlencode(
                {"service": service, "username": self.user, "auto": "1"}))
            response = connection.getresponse()
            response.read()
            return response.getheader("Location")
        finally:
            connection.close()


def cas_connection(url):
    """A connection to the test CAS server of `url` (urlsplit), over HTTPS
    when it speaks it; its certificate is the TLS tests' business, not the
    browser's."""
    if url.scheme == "https":
        return http.client.HTTPSConnection(url.hostname, url.port, timeout=10,
                                           context=ssl._create_unverified_context())
    return http.client.HTTPConnection(url.hostname, url.port, timeout=10)


def signon_cookie(headers):
    """The Set-Cookie value that signs a browser on (VAVUZE=...), or None;
    other cookies (the note of a failed validation) sign nobody on."""
    for key, value in headers:
        if key.lower() == "set-cookie" and value.startswith("VAVUZE="):
            return value
    return None
