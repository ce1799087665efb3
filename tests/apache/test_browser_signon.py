"""The sign-on in a real browser (tests/support/browser_signon.py) against
Apache with mod_turnpike.

    python3 test_browser_signon.py MODULE_SO ARTIFACT_DIR [unittest arguments]

The screenshot of the page the browser ends on is left in ARTIFACT_DIR.
"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "support"))
from apache_harness import Apache, registry_text  # noqa: E402
from browser_signon import BROWSER_MISSING, BrowserSignOnCase  # noqa: E402

MODULE = None


@unittest.skipIf(BROWSER_MISSING, BROWSER_MISSING)
class BrowserSignOn(BrowserSignOnCase, unittest.TestCase):
    page = "/secure/index.shtml"

    def start_server(self, cas_url):
        apache = Apache(MODULE, registry_text(cas_url))
        self.addCleanup(apache.cleanup)
        apache.start()
        return apache


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    BrowserSignOn.screenshot = os.path.join(os.path.abspath(sys.argv.pop(1)), "browser-signon.png")
    unittest.main(verbosity=2)
