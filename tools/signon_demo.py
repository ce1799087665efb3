#!/usr/bin/env python3
"""A whole CAS sign-on through turnpike-try, against the test CAS server.

Starts tests/support/cas_server.py on 127.0.0.1, writes a .reg file that
points Turnpike at it, and plays the browser:

  1. asks for a protected page: Turnpike redirects to the CAS login page,
     with the page's URL (its own escapes escaped once more) as the service;
  2. signs in there as alice (the server's non-interactive mode) and follows
     the CAS server's redirect back with a ticket: Turnpike takes the value
     of the ticket parameter, validates it for the page's URL without that
     one parameter, and redirects to the page with the VAVUZE cookie;
  3. asks for the page again with the cookie: Turnpike lets it through with
     the user name in the CASUser header;
  4. comes back twice with tickets the CAS server refuses: the first failure
     sends the browser to log in again with a short-lived TurnpikeFailed
     cookie, the second ends on the sign-on failure page (403) instead of
     another trip round the login page.

Steps 2 and 3, and the two requests of 4, each run in one turnpike-try
process, which carries cookies from the answer of one request to the next as
a browser would. The server is stopped at the end.

usage: signon_demo.py TURNPIKE_TRY [--json]
"""

import json
import os
import subprocess
import sys
import tempfile
import urllib.error
import urllib.parse
import urllib.request

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PAGE = "/secure/report?id=7&sort=a%26b"

REGISTRY = r"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike]
"ServerURL"="{server}"
"LoginPath"="login"
"ValidationPath"="serviceValidate"
"AuthHeader"="CASUser"
"Debug"=dword:00000001
"SessionTimeout"=dword:0000001e
"CacheCleanTimeout"=dword:0000000a

[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike\Paths]
"1"="/secure/"
"""


class NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


def location_of(block):
    for line in block.split("\r\n"):
        if line.startswith("Location: "):
            return line[len("Location: "):]
    raise SystemExit("no Location in the answer: %r" % block)


def turnpike_try(binary, registry, urls, show_json):
    done = subprocess.run([binary, "--registry", registry, "--json", *urls],
                          capture_output=True, text=True, timeout=120)
    lines = [json.loads(line) for line in done.stdout.splitlines()]
    for line in lines:
        if show_json:
            print(json.dumps(line))
        elif "url" in line:
            print("  %s  ->  %s" % (line["url"], line["status"]))
            if line["response"]:
                print("      " + line["response"]["status_text"])
                for header in line["response"]["headers"].split("\r\n"):
                    if header:
                        print("      " + header)
            if line["identity_header"]:
                print("      identity header %(name)s %(value)s" % line["identity_header"])
            for event in line["events"]:
                print("      event %(type)d: %(message)s %(detail)s" % event)
    if done.returncode != 0:
        raise SystemExit("turnpike-try failed: " + done.stderr)
    return [line for line in lines if "url" in line]


def main():
    if len(sys.argv) < 2:
        raise SystemExit(__doc__)
    binary, show_json = sys.argv[1], "--json" in sys.argv[2:]
    server = subprocess.Popen([sys.executable, os.path.join(ROOT, "tests/support/cas_server.py"),
                               "--port", "0", "--exit-on-stdin-eof"],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        address = server.stdout.readline().split()[1]
        cas = "http://" + address
        print("test CAS server at %s (users alice/alice, bob/bob)" % cas)
        with tempfile.NamedTemporaryFile("w", suffix=".reg", delete=False) as handle:
            handle.write(REGISTRY.format(server=cas))
            registry = handle.name

        print("\n1. the browser asks for %s" % PAGE)
        login = location_of(turnpike_try(binary, registry, [PAGE], show_json)[0]["response"]["headers"])

        print("\n2. alice signs in at the CAS login page; the CAS server sends her back with a ticket")
        opener = urllib.request.build_opener(NoRedirect)
        try:
            opener.open(login + "&username=alice&auto=1", timeout=10)
            raise SystemExit("the CAS server did not redirect")
        except urllib.error.HTTPError as answer:
            back = answer.headers["Location"]
        parts = urllib.parse.urlsplit(back)
        returning = parts.path + "?" + parts.query
        print("   CAS redirects to %s" % back)

        print("\n3. the browser follows both redirects, carrying the cookie")
        answers = turnpike_try(binary, registry, [returning, PAGE], show_json)
        user = answers[-1]["identity_header"]
        if not user or user["value"] != "alice":
            raise SystemExit("the sign-on did not complete")
        print("\nsigned on: the application receives %s %s" % (user["name"], user["value"]))

        print("\n4. two tickets in a row that the CAS server refuses")
        answers = turnpike_try(binary, registry, [PAGE + "&ticket=ST-refused-1",
                                                  PAGE + "&ticket=ST-refused-2"], show_json)
        if answers[-1]["response"]["status_text"] != "403 Forbidden":
            raise SystemExit("the second failure did not end on the failure page")
        print("\nno loop: the browser is told its sign-on failed")
        os.unlink(registry)
    finally:
        server.terminate()
        server.wait(timeout=10)


if __name__ == "__main__":
    main()
