#!/usr/bin/env python3
"""The test CAS server on two listeners that share one ticket registry: plain
HTTP, and HTTPS with the certificate given. Both on 127.0.0.1.

    cas_servers.py --cert CERT.pem --key KEY.pem

The first line on stdout is "listening http://127.0.0.1:P https://127.0.0.1:Q".
It stops on SIGTERM or SIGINT, or when its stdin closes, so that a driver that
dies cannot leave it behind.

The Apache CAS module takes only an https:// validation URL; mod_turnpike's
tests use http. With one registry behind both listeners, a ticket issued by
the login page over either can be validated over the other, and both modules
sign on against the same server.
"""

import argparse
import os
import signal
import ssl
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tests", "support"))

import cas_server  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    args = parser.parse_args(argv)

    # Five attributes, six values, for the benchmark user: what a CAS 3.0
    # server commonly releases (p3/serviceValidate only).
    cas_server.ATTRIBUTES["alice"] = {
        "email": "alice@example.org", "displayName": "Alice Liddell", "memberOf": ["staff", "library"],
        "uid": "alice", "department": "Reading Room"}
    plain = cas_server.CasHttpServer(0)
    tls = cas_server.CasHttpServer(0)
    tls.tickets = plain.tickets
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    # The handshake happens on the handler's thread, at its first read, not
    # in the accepting loop where one slow client would hold up the others.
    tls.socket = context.wrap_socket(tls.socket, server_side=True, do_handshake_on_connect=False)

    threads = [threading.Thread(target=server.serve_forever, args=(0.05,), daemon=True)
               for server in (plain, tls)]
    for thread in threads:
        thread.start()

    done = threading.Event()
    for signum in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signum, lambda *_: done.set())

    def watch_stdin():
        while os.read(0, 4096):
            pass
        done.set()

    threading.Thread(target=watch_stdin, daemon=True).start()
    print("listening http://127.0.0.1:%d https://127.0.0.1:%d"
          % (plain.server_address[1], tls.server_address[1]), flush=True)
    done.wait()
    for server in (plain, tls):
        server.stopping.set()
        server.shutdown()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
