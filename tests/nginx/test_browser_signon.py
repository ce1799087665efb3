"""The sign-on in a real browser: Debian's Chromium, headless, driven by
Selenium through chromium-driver, against nginx with the module and the
test CAS server's login form, all on 127.0.0.1.

    python3 test_browser_signon.py MODULE_SO ARTIFACT_DIR [unittest arguments]

The screenshot of the page the browser ends on is left in ARTIFACT_DIR.
"""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from nginx_harness import Nginx  # noqa: E402
from test_ngx_turnpike import registry  # noqa: E402
from apache_harness import CasProcess  # noqa: E402

MODULE = None
ARTIFACTS = None
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
TIMEOUT = 20

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:  # reported as a skip below
    webdriver = None


@unittest.skipIf(webdriver is None or not os.path.exists(CHROMIUM) or not os.path.exists(CHROMEDRIVER),
                 "needs python3-selenium, chromium and chromium-driver")
class BrowserSignOn(unittest.TestCase):
    def setUp(self):
        self.cas = CasProcess().start()
        self.addCleanup(self.cas.stop)
        self.nginx = Nginx(MODULE, registry(self.cas.url))
        self.addCleanup(self.nginx.cleanup)
        self.nginx.start()
        profile = tempfile.mkdtemp(prefix="turnpike-chromium-")
        self.addCleanup(shutil.rmtree, profile, True)
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                         "--disable-background-networking", "--disable-component-update",
                         "--disable-sync", "--disable-default-apps", "--no-first-run", "--disable-quic",
                         "--window-size=1000,700", "--user-data-dir=" + profile):
            options.add_argument(argument)
        self.browser = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.addCleanup(self.browser.quit)
        self.browser.set_page_load_timeout(TIMEOUT)

    def test_user_types_credentials_and_lands_on_the_protected_page(self):
        page = "http://127.0.0.1:%d/secure/who.html" % self.nginx.port
        wait = WebDriverWait(self.browser, TIMEOUT)
        self.browser.get(page)
        wait.until(expected_conditions.presence_of_element_located((By.NAME, "username")))
        self.assertTrue(self.browser.current_url.startswith(self.cas.url + "/login?service="),
                        self.browser.current_url)
        self.browser.find_element(By.NAME, "username").send_keys("alice")
        self.browser.find_element(By.NAME, "password").send_keys("alice")
        self.browser.find_element(By.CSS_SELECTOR, "button[type=submit]").click()

        # CAS -> ticket, validated on a pool thread -> cookie redirect -> the page.
        wait.until(expected_conditions.text_to_be_present_in_element((By.ID, "user"), "alice"))
        self.assertEqual(self.browser.current_url, page)
        self.assertTrue(self.browser.get_cookie("VAVUZE")["value"].startswith("ST-"))
        os.makedirs(ARTIFACTS, exist_ok=True)
        self.assertTrue(self.browser.save_screenshot(os.path.join(ARTIFACTS, "nginx-browser-signon.png")))
        self.browser.refresh()
        self.assertEqual(self.browser.find_element(By.ID, "user").text, "alice")


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    ARTIFACTS = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
