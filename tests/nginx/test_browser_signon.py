"""The sign-on in a real browser (tests/support/browser_signon.py) against
nginx with the module; the page shows the identity header through SSI.

    python3 test_browser_signon.py MODULE_SO ARTIFACT_DIR [unittest arguments]

The screenshot of the page the browser ends on is left in ARTIFACT_DIR.
"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from nginx_harness import Nginx  # noqa: E402
from test_ngx_turnpike import registry  # noqa: E402
from browser_signon import BROWSER_MISSING, BrowserSignOnCase  # noqa: E402

MODULE = None


@unittest.skipIf(BROWSER_MISSING, BROWSER_MISSING)
class BrowserSignOn(BrowserSignOnCase, unittest.TestCase):
    page = "/secure/who.html"

    def start_server(self, cas_url):
        nginx = Nginx(MODULE, registry(cas_url))
        self.addCleanup(nginx.cleanup)
        nginx.start()
        return nginx


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    BrowserSignOn.screenshot = os.path.join(os.path.abspath(sys.argv.pop(1)), "nginx-browser-signon.png")
    unittest.main(verbosity=2)
