"""The sign-on in a real browser, for every host: Debian's Chromium,
headless, driven by Selenium through chromium-driver, against a web server
with Turnpike and the test CAS server's login form, all on 127.0.0.1.

A host's test mixes BrowserSignOnCase into a unittest.TestCase, names the
page that shows the identity header (an element with id "user") and starts
its server in start_server. BROWSER_MISSING says why the test must be
skipped, or is None.
"""

import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "apache"))
from apache_harness import CasProcess  # noqa: E402

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
TIMEOUT = 20

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support import expected_conditions
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

BROWSER_MISSING = (None if webdriver is not None and os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)
                   else "needs python3-selenium, chromium and chromium-driver")


class BrowserSignOnCase:
    page = None         # the protected page, a path
    screenshot = None   # where the page the browser ends on is saved

    def start_server(self, cas_url):
        """Starts the web server with Turnpike, its cleanup registered;
        answers it (with .port)."""
        raise NotImplementedError

    def setUp(self):
        self.cas = CasProcess().start()
        self.addCleanup(self.cas.stop)
        self.server = self.start_server(self.cas.url)
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
        page = "http://127.0.0.1:%d%s" % (self.server.port, self.page)
        wait = WebDriverWait(self.browser, TIMEOUT)

        self.browser.get(page)
        wait.until(expected_conditions.presence_of_element_located((By.NAME, "username")))
        self.assertTrue(self.browser.current_url.startswith(self.cas.url + "/login?service="),
                        self.browser.current_url)
        self.browser.find_element(By.NAME, "username").send_keys("alice")
        self.browser.find_element(By.NAME, "password").send_keys("alice")
        self.browser.find_element(By.CSS_SELECTOR, "button[type=submit]").click()

        # CAS -> ticket -> cookie redirect -> the page, with the cookie.
        wait.until(expected_conditions.text_to_be_present_in_element((By.ID, "user"), "alice"))
        self.assertEqual(self.browser.current_url, page)
        self.assertEqual(self.browser.find_element(By.ID, "user").text, "alice")
        self.assertTrue(self.browser.get_cookie("VAVUZE")["value"].startswith("ST-"))
        os.makedirs(os.path.dirname(self.screenshot), exist_ok=True)
        self.assertTrue(self.browser.save_screenshot(self.screenshot))

        # A reload is served from the cookie, with no trip to the CAS server.
        self.browser.refresh()
        self.assertEqual(self.browser.current_url, page)
        self.assertEqual(self.browser.find_element(By.ID, "user").text, "alice")
