"""scripts/demo --nginx end to end, as tests/apache/test_demo.py runs the
Apache demo: it starts, signs on the demo user it prints, and Ctrl-C stops
both of its servers.

    python3 test_demo.py MODULE_SO [unittest arguments]
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "apache"))
import test_demo  # noqa: E402


class NginxDemo(test_demo.Demo):
    ARGUMENTS = ["--nginx"]


if __name__ == "__main__":
    test_demo.MODULE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
