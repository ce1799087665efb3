"""Black-box test of CACertificateFile and TurnpikeCACertificateFile: Apache
with mod_turnpike validates tickets at the test CAS server over HTTPS,
trusting only the CAs of the file named, made here with openssl for the run.

    python3 test_ca_certificate_file.py MODULE_SO [unittest arguments]
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from apache_harness import Apache, CasProcess, cas_connection, header, registry_text  # noqa: E402

MODULE = None  # set from the command line

UNREACHABLE = "The Turnpike ISAPI filter was unable to load the Validation URL XML Document: "


class Certificates:
    """CAs and server certificates in a folder of their own."""

    def __init__(self, folder):
        self.folder = folder

    def openssl(self, *arguments):
        subprocess.run(["openssl", *arguments], check=True, capture_output=True, cwd=self.folder)

    def ca(self, name):
        self.openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                     "/CN=Turnpike test CA " + name, "-keyout", name + ".key", "-out", name + ".pem")
        return os.path.join(self.folder, name + ".pem")

    def server(self, name, ca, subject_alt_name, days):
        """(certificate, key) for the CAS server, signed by `ca` (a path
        from ca()); negative days: expired since it was made."""
        ca_name = os.path.splitext(os.path.basename(ca))[0]
        with open(os.path.join(self.folder, name + ".ext"), "w") as handle:
            handle.write("subjectAltName=%s\n" % subject_alt_name)
        self.openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + name,
                     "-keyout", name + ".key", "-out", name + ".csr")
        self.openssl("x509", "-req", "-in", name + ".csr", "-CA", ca_name + ".pem",
                     "-CAkey", ca_name + ".key", "-CAcreateserial", "-days", str(days),
                     "-extfile", name + ".ext", "-out", name + ".pem")
        return os.path.join(self.folder, name + ".pem"), os.path.join(self.folder, name + ".key")


def sign_in(location, user="alice"):
    """The URL the test CAS server sends the browser back to, with a ticket."""
    login = urllib.parse.urlsplit(location)
    service = urllib.parse.parse_qs(login.query)["service"][0]
    connection = cas_connection(login)
    try:
        connection.request("GET", "/login?" + urllib.parse.urlencode(
            {"service": service, "username": user, "auto": "1"}))
        response = connection.getresponse()
        response.read()
        return response.getheader("Location")
    finally:
        connection.close()


class TrustedCertificates(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="turnpike-ca-")
        os.chmod(cls.folder, 0o755)
        cls.addClassCleanup(shutil.rmtree, cls.folder, True)
        made = Certificates(cls.folder)
        cls.right = made.ca("right")
        cls.other = made.ca("other")
        cls.good = made.server("good", cls.right, "IP:127.0.0.1", 2)
        cls.expired = made.server("expired", cls.right, "IP:127.0.0.1", -1)
        cls.wrong_host = made.server("wronghost", cls.right, "DNS:cas.invalid", 2)

    def apache(self, cas_url, in_registry=None, by_directive=None):
        texts = {"CACertificateFile": in_registry} if in_registry else {}
        lines = ['TurnpikeCACertificateFile "%s"' % by_directive] if by_directive else []
        apache = Apache(MODULE, registry_text(cas_url, texts=texts), servers=1, turnpike_lines=lines)
        self.addCleanup(apache.cleanup)
        return apache

    def test_only_the_named_cas_are_trusted(self):
        rows = [
            # name, CAS server's certificate, CA file in the registry, by directive, signs on
            ("the right CA", self.good, self.right, None, True),
            ("the right CA, by directive", self.good, None, self.right, True),
            ("the directive wins over the registry", self.good, self.other, self.right, True),
            ("another CA", self.good, self.other, None, False),
            ("an expired certificate", self.expired, self.right, None, False),
            ("a certificate for another host name", self.wrong_host, self.right, None, False),
            ("no file: the system's store", self.good, None, None, False),
        ]
        for name, certificate, in_registry, by_directive, signs_on in rows:
            with self.subTest(name), CasProcess(["--tls-cert", certificate[0],
                                                 "--tls-key", certificate[1]]) as cas:
                apache = self.apache(cas.url, in_registry, by_directive).start()
                status, _, headers, _ = apache.request("/secure/report.txt")
                self.assertEqual(status, 302)
                back = urllib.parse.urlsplit(sign_in(header(headers, "Location")))
                status, _, headers, _ = apache.request(back.path + "?" + back.query)
                self.assertEqual(status, 302)
                cookies = [value for key, value in headers if key.lower() == "set-cookie"]
                unreachable = [event[:2] for event in apache.turnpike_events()
                               if event[2].startswith(UNREACHABLE + cas.url)]
                if signs_on:
                    self.assertTrue(cookies[0].startswith("VAVUZE=ST-"), cookies)
                    self.assertEqual(unreachable, [])
                else:
                    self.assertTrue(header(headers, "Location").startswith(cas.url + "/login?"))
                    self.assertEqual(cookies, ["TurnpikeFailed=1;path=/;Max-Age=120"])
                    self.assertEqual(unreachable, [("error", 1)], apache.logs())
                apache.stop()

    def test_a_file_without_a_certificate_refuses_the_start(self):
        for trusted in (self.good[1], os.path.join(self.folder, "missing.pem")):
            with self.subTest(trusted):
                apache = self.apache("https://127.0.0.1:9", trusted)
                status, output = apache.config_test()
                self.assertNotEqual(status, 0)
                self.assertIn("please set a valid value for: CACertificateFile", output)


if __name__ == "__main__":
    MODULE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
