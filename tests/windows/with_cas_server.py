#!/usr/bin/env python3
"""with_cas_server.py COMMAND [ARGUMENT...]

Runs COMMAND with tests/support/cas_server.py serving on 127.0.0.1 for as
long as the command runs, and passes its URL in TURNPIKE_CAS_URL (Wine hands
the environment on to Windows programs), and in TURNPIKE_UNUSED_PORT a
loopback port on which nothing listens. Used as the emulator of the Windows
test programs that talk to a CAS server: Wine programs cannot start the
Python server themselves. Exits with the command's status.
"""

import os
import socket
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from cas_server import CasServer  # noqa: E402


def unused_loopback_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def main():
    with CasServer() as cas:
        environment = dict(os.environ, TURNPIKE_CAS_URL=cas.url,
                           TURNPIKE_UNUSED_PORT=str(unused_loopback_port()))
        # A hung test must not keep the server (and the run) alive forever.
        return subprocess.run(sys.argv[1:], env=environment, timeout=300).returncode


if __name__ == "__main__":
    sys.exit(main())
