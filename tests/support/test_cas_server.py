"""Checks of the test CAS server's own protocol rules (run by ctest)."""

import http.client
import unittest
import urllib.parse

from cas_server import CasServer


class CasServerTest(unittest.TestCase):
    def setUp(self):
        self.cas = CasServer().start()
        self.addCleanup(self.cas.stop)

    def get(self, path):
        connection = http.client.HTTPConnection("127.0.0.1", self.cas.port, timeout=5)
        connection.request("GET", path)
        response = connection.getresponse()
        result = response.status, response.getheader("Location"), response.read()
        connection.close()
        return result

    def login(self, service):
        query = urllib.parse.urlencode({"service": service, "username": "alice", "auto": "1"})
        status, location, _ = self.get("/login?" + query)
        self.assertEqual(status, 302)
        return location

    def test_ticket_joins_the_service_query_before_its_fragment(self):
        self.assertRegex(self.login("http://app/p#top"), r"^http://app/p\?ticket=ST-[\w-]+#top$")
        self.assertRegex(self.login("http://app/p?x=1"), r"^http://app/p\?x=1&ticket=ST-[\w-]+$")

    def test_ticket_is_spent_by_a_wrong_service(self):
        ticket = self.login("S").split("ticket=")[1]
        self.assertIn(b'code="INVALID_SERVICE"', self.get("/serviceValidate?service=T&ticket=" + ticket)[2])
        self.assertIn(b'code="INVALID_TICKET"', self.get("/serviceValidate?service=S&ticket=" + ticket)[2])
        self.assertIn(b'code="INVALID_REQUEST"', self.get("/serviceValidate?service=S")[2])


if __name__ == "__main__":
    unittest.main()
