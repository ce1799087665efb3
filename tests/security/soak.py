"""A bounded soak of mod_turnpike: mixed traffic through a real Apache with
several child processes, against the test CAS server, all on 127.0.0.1.

    python3 soak.py MODULE_SO [--seconds 60] [--clients 8] [--servers 4]

Traffic, on keep-alive connections: unprotected pages, protected pages with
the cookie of a real sign-on, with an unknown cookie and with nothing, and
browsers returning from the login page with a good or a made-up ticket.
Every answer is checked against what that kind of request must get; a 5xx or
any other surprise fails the run, as does a child that died of a signal or
children's resident memory that keeps growing after the warm-up (the first
quarter of the run). Prints the figures; exits 1 on failure.
"""

import argparse
import http.client
import os
import random
import statistics
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from security_support import (Apache, CasProcess, crashes, header, issue_ticket,  # noqa: E402
                              registry_text, signon_cookie, snapshot)

PAGE = "/secure/index.shtml"
# kind, weight
MIX = [("unprotected", 30), ("good cookie", 35), ("unknown cookie", 10), ("no sign-on", 10),
       ("good ticket", 8), ("bad ticket", 7)]
# Descriptors a child keeps for its next validation (see the check below).
KEPT_VALIDATION_DESCRIPTORS = 3
# Resident memory a child may gain after the warm-up; a leak of a few hundred
# bytes per request shows well above it within seconds.
GROWTH_LIMIT_KIB = 1024


class Soak:
    def __init__(self, apache, cas_url, seconds, clients):
        self.apache = apache
        self.cas_url = cas_url
        self.login = cas_url + "/login?service="
        self.service = "http://127.0.0.1:%d%s" % (apache.port, PAGE)
        self.deadline = time.monotonic() + seconds
        self.clients = clients
        self.lock = threading.Lock()
        self.cookies = []
        self.latencies = {kind: [] for kind, _ in MIX}
        self.failures = []

    def sign_on(self):
        ticket = issue_ticket(self.cas_url, self.service)
        return ticket, (PAGE + "?ticket=" + urllib.parse.quote(ticket), {})

    def request_for(self, kind, rng):
        if kind == "unprotected":
            return rng.choice(["/public/page.txt", "/", "/public/who.shtml"]), {}
        if kind == "good cookie":
            with self.lock:
                cookie = rng.choice(self.cookies)
            return PAGE, {"Cookie": "lang=en; " + cookie}
        if kind == "unknown cookie":
            return PAGE, {"Cookie": "VAVUZE=ST-unknown-%d" % rng.randrange(10**9)}
        if kind == "no sign-on":
            return "/secure/report.txt?n=%d" % rng.randrange(1000), {}
        if kind == "good ticket":
            return self.sign_on()[1]
        return PAGE + "?ticket=ST-made-up-%d" % rng.randrange(10**9), {}

    def check(self, kind, status, headers, body):
        location = header(headers, "Location") or ""
        cookie = signon_cookie(headers)
        if kind == "unprotected":
            return status == 200
        if kind == "good cookie":
            return status == 200 and b"Signed on as: <span id=\"user\">alice</span>" in body
        if kind == "good ticket":
            if status == 302 and cookie and cookie.startswith("VAVUZE=ST-"):
                with self.lock:
                    self.cookies.append(cookie.split(";")[0])
                    del self.cookies[:-50]
                return location == self.service
            return False
        return status == 302 and location.startswith(self.login) and cookie is None

    def client(self, seed):
        rng = random.Random(seed)
        kinds = [kind for kind, weight in MIX for _ in range(weight)]
        connection = None
        while time.monotonic() < self.deadline:
            kind = rng.choice(kinds)
            path, headers = self.request_for(kind, rng)
            if connection is None:
                connection = http.client.HTTPConnection("127.0.0.1", self.apache.port, timeout=20)
            started = time.monotonic()
            try:
                status, _, answer_headers, body = self.apache.request(path, headers,
                                                                      connection=connection)
            except (OSError, http.client.HTTPException) as error:
                # Apache closes keep-alive connections after a while; one
                # retry on a new connection tells that from a real failure.
                connection.close()
                connection = http.client.HTTPConnection("127.0.0.1", self.apache.port, timeout=20)
                try:
                    status, _, answer_headers, body = self.apache.request(path, headers,
                                                                          connection=connection)
                except (OSError, http.client.HTTPException):
                    with self.lock:
                        self.failures.append((kind, path, repr(error)))
                    connection.close()
                    connection = None
                    continue
            elapsed = time.monotonic() - started
            if not self.check(kind, status, answer_headers, body):
                with self.lock:
                    self.failures.append((kind, path, status))
            with self.lock:
                self.latencies[kind].append(elapsed)
        if connection is not None:
            connection.close()

    def run(self):
        ticket, (path, _) = self.sign_on()
        status, _, headers, _ = self.apache.request(path)
        self.cookies.append(header(headers, "Set-Cookie").split(";")[0])
        threads = [threading.Thread(target=self.client, args=(seed,)) for seed in range(self.clients)]
        for thread in threads:
            thread.start()
        return threads


def sample_until(apache, deadline, interval=1.0):
    """(seconds since start, {pid: (rss, threads, fds)}) every interval."""
    samples = []
    start = time.monotonic()
    while time.monotonic() < deadline:
        samples.append((time.monotonic() - start, snapshot(apache)))
        time.sleep(interval)
    samples.append((time.monotonic() - start, snapshot(apache)))
    return samples


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("module")
    parser.add_argument("--seconds", type=float, default=60)
    parser.add_argument("--clients", type=int, default=8)
    parser.add_argument("--servers", type=int, default=4)
    args = parser.parse_args(argv)

    with CasProcess() as cas, Apache(os.path.abspath(args.module), registry_text(cas.url, debug=0),
                                     servers=args.servers) as apache:
        idle_before = {}
        for _ in range(100):  # the parent listens before its children are up
            idle_before = snapshot(apache)
            if len(idle_before) >= args.servers:
                break
            time.sleep(0.05)
        soak = Soak(apache, cas.url, args.seconds, args.clients)
        threads = soak.run()
        samples = sample_until(apache, soak.deadline)
        for thread in threads:
            thread.join(60)
        time.sleep(1)  # the children finish their last connections
        idle_after = snapshot(apache)
        logged_crashes = crashes(apache)

    total = sum(len(values) for values in soak.latencies.values())
    print("soak: %.0f s, %d clients, %d Apache children at start (prefork)"
          % (args.seconds, args.clients, args.servers))
    print("%-15s %9s %9s %9s" % ("kind", "requests", "p50 ms", "p99 ms"))
    for kind, values in soak.latencies.items():
        ordered = sorted(values) or [0]
        print("%-15s %9d %9.1f %9.1f" % (kind, len(values), 1000 * statistics.median(ordered),
                                         1000 * ordered[int(0.99 * (len(ordered) - 1))]))
    print("total %d requests, %.0f/s, %d unexpected answers"
          % (total, total / args.seconds, len(soak.failures)))

    warm = next(snap for when, snap in samples if when >= args.seconds / 4)
    end = samples[-1][1]
    # Children forked during the run may still be warming up at the
    # reference point; the ones that served from the start have not.
    common = sorted(set(idle_before) & set(warm) & set(end))
    growth = {pid: end[pid][0] - warm[pid][0] for pid in common}
    print("children serving from the start to the end: %d of %d; RSS KiB after warm-up -> end:"
          % (len(common), len(end)))
    for pid in common:
        print("  pid %d: %d -> %d (%+d)" % (pid, warm[pid][0], end[pid][0], growth[pid]))
    # Descriptors are only comparable while the children are idle: under load
    # each may hold a client connection or not.
    shape = lambda snap: sorted({(threads, fds) for _, threads, fds in snap.values()})  # noqa: E731
    print("idle children (threads, descriptors) before: %s, after: %s"
          % (shape(idle_before), shape(idle_after)))

    problems = []
    if soak.failures:
        problems.append("unexpected answers, first: %r" % soak.failures[:5])
    if logged_crashes:
        problems.append("children died: %r" % logged_crashes[:3])
    if not common:
        problems.append("no child lived through the whole run")
    if any(value > GROWTH_LIMIT_KIB for value in growth.values()):
        problems.append("resident memory grew after the warm-up: %r" % growth)
    # After the run an idle child keeps its curl handle for the next
    # validation: the connection to the CAS server and libcurl's wake-up
    # socket pair. A leak per request would show hundreds.
    allowed = {(threads, fds + extra) for threads, fds in shape(idle_before)
               for extra in range(KEPT_VALIDATION_DESCRIPTORS + 1)}
    if not set(shape(idle_after)) <= allowed:
        problems.append("idle children hold more threads or descriptors than before the run")
    for problem in problems:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
