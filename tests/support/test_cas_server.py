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

    def test_a_rebuilding_server_sorts_the_query_and_keeps_the_service_it_was_given(self):
        self.get("/_rebuild?on=1")
        service = "http://app/p?z=1&a=b%20c"
        location = self.login(service)
        self.assertRegex(location, r"^http://app/p\?a=b\+c&ticket=ST-[\w-]+&z=1$")
        ticket = urllib.parse.parse_qs(urllib.parse.urlsplit(location).query)["ticket"][0]
        query = urllib.parse.urlencode({"service": service, "ticket": ticket})
        self.assertIn(b"<cas:user>alice</cas:user>", self.get("/serviceValidate?" + query)[2])

    def test_sessions_sign_on_again_gateway_renew_and_single_logout(self):
        import http.server
        import threading
        received = []

        class Service(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_POST(self):
                received.append(self.rfile.read(int(self.headers["Content-Length"])).decode())
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

        app = http.server.HTTPServer(("127.0.0.1", 0), Service)
        threading.Thread(target=app.serve_forever, args=(0.05,), daemon=True).start()
        self.addCleanup(app.server_close)
        self.addCleanup(app.shutdown)
        service = "http://127.0.0.1:%d/app" % app.server_address[1]

        def get(path, cookie=None):
            connection = http.client.HTTPConnection("127.0.0.1", self.cas.port, timeout=5)
            connection.request("GET", path, headers={"Cookie": cookie} if cookie else {})
            response = connection.getresponse()
            response.read()
            connection.close()
            return response.getheader("Location"), response.getheader("Set-Cookie")

        gateway = "/login?" + urllib.parse.urlencode({"service": service, "gateway": "true"})
        self.assertEqual(get(gateway)[0], service)
        location, cookie = get("/login?" + urllib.parse.urlencode(
            {"service": service, "username": "alice", "auto": "1"}))
        cookie = cookie.split(";")[0]
        first = urllib.parse.parse_qs(urllib.parse.urlsplit(location).query)["ticket"][0]
        query = urllib.parse.urlencode({"service": service, "ticket": first, "renew": "true"})
        self.assertIn(b"<cas:user>alice</cas:user>", self.get("/serviceValidate?" + query)[2])
        # The session signs on again at once; renew refuses such a ticket.
        second = urllib.parse.parse_qs(urllib.parse.urlsplit(get(gateway, cookie)[0]).query)["ticket"][0]
        query = urllib.parse.urlencode({"service": service, "ticket": second, "renew": "true"})
        self.assertIn(b'code="INVALID_TICKET"', self.get("/serviceValidate?" + query)[2])
        get("/logout", cookie)
        self.assertEqual(len(received), 1)
        self.assertIn(urllib.parse.quote("<samlp:SessionIndex>%s</samlp:SessionIndex>" % first, safe=""),
                      received[0])

    def test_ticket_is_spent_by_a_wrong_service(self):
        ticket = self.login("S").split("ticket=")[1]
        self.assertIn(b'code="INVALID_SERVICE"', self.get("/serviceValidate?service=T&ticket=" + ticket)[2])
        self.assertIn(b'code="INVALID_TICKET"', self.get("/serviceValidate?service=S&ticket=" + ticket)[2])
        self.assertIn(b'code="INVALID_REQUEST"', self.get("/serviceValidate?service=S")[2])


if __name__ == "__main__":
    unittest.main()
