"""A real redis-server or memcached for the farm tests, on a free port of
127.0.0.1, in a temporary folder of its own, never the system's service.

    with RedisServer(password="s3cret") as redis: ... redis.port ... redis.restart()

Each is started in the foreground as a child process, persists nothing, and
is stopped (SIGTERM, then SIGKILL) when the block ends; the system's own
redis-server and memcached services are neither used nor touched.
"""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time

REDIS = os.environ.get("TURNPIKE_REDIS", "/usr/bin/redis-server")
MEMCACHED = os.environ.get("TURNPIKE_MEMCACHED", "/usr/bin/memcached")
START_TIMEOUT = 10


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class _Server:
    def __init__(self, port=None):
        self.port = port or free_port()
        self.folder = tempfile.mkdtemp(prefix="turnpike-store-")
        self.process = None

    def command(self):
        raise NotImplementedError

    def start(self):
        log = open(os.path.join(self.folder, "log.txt"), "a")
        self.process = subprocess.Popen(self.command(), cwd=self.folder, stdin=subprocess.DEVNULL,
                                        stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        log.close()
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError("%s exited: %s" % (self.command()[0], self.log()))
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return self
            except OSError:
                time.sleep(0.02)
        self.stop()
        raise RuntimeError("%s did not answer: %s" % (self.command()[0], self.log()))

    def stop(self):
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(START_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(START_TIMEOUT)
        self.process = None

    def restart(self):
        """Stopped and started again on the same port: everything it held is gone."""
        self.stop()
        return self.start()

    def log(self):
        try:
            with open(os.path.join(self.folder, "log.txt"), errors="replace") as handle:
                return handle.read()
        except FileNotFoundError:
            return ""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)


class RedisServer(_Server):
    def __init__(self, password=None, port=None):
        super().__init__(port)
        self.password = password

    def command(self):
        command = [REDIS, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "",
                   "--appendonly", "no", "--dir", self.folder, "--daemonize", "no"]
        if self.password:
            command += ["--requirepass", self.password]
        return command

    def cli(self, *arguments):
        command = ["redis-cli", "-p", str(self.port), "--no-auth-warning"]
        if self.password:
            command += ["-a", self.password]
        return subprocess.run(command + list(arguments), capture_output=True, text=True,
                              timeout=10).stdout.strip()


class MemcachedServer(_Server):
    def command(self):
        command = [MEMCACHED, "-l", "127.0.0.1", "-p", str(self.port), "-U", "0", "-m", "16"]
        # It refuses to run as root unless told whom to run as.
        return command + (["-u", "nobody"] if os.geteuid() == 0 else [])
