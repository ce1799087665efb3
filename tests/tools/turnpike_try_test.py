"""Black-box tests of turnpike-try: its output, its exit status and how it
starts the filter from a .reg file."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

TRY = sys.argv.pop(1) if len(sys.argv) > 1 else "turnpike-try"

CONFIG = r"""Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike]
"ServerURL"="http://127.0.0.1:9/cas"
"LoginPath"="login"
"ValidationPath"="serviceValidate"
"AuthHeader"="CASUser"
"Debug"=dword:00000001
"SessionTimeout"=dword:0000003c
"CacheCleanTimeout"=dword:0000000a

[HKEY_LOCAL_MACHINE\SOFTWARE\Turnpike\Paths]
"a"="/Secure"
"""


def write(text, encoding="utf-8"):
    handle = tempfile.NamedTemporaryFile("wb", suffix=".reg", delete=False)
    if encoding == "utf-16-le":
        handle.write(b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le"))
    else:
        handle.write(text.encode(encoding))
    handle.close()
    return handle.name


def run(*arguments, env=None):
    done = subprocess.run([TRY, *arguments], capture_output=True, timeout=60, env=env)
    lines = [json.loads(line) for line in done.stdout.decode().splitlines()] if "--json" in arguments else []
    return done, lines


class TurnpikeTry(unittest.TestCase):
    def setUp(self):
        self.registry = write(CONFIG)

    def tearDown(self):
        os.unlink(self.registry)

    def test_json_lines_for_start_requests_and_stop(self):
        done, lines = run("--registry", self.registry, "--json", "/public/a", "/x?next=/SECURE")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(len(lines), 4)
        self.assertEqual(lines[0]["start"]["ok"], True)
        self.assertEqual(lines[0]["start"]["events"], [{"type": 5, "message": "", "detail": ""}])
        self.assertEqual(lines[1], {
            "url": "/public/a", "status": "SF_STATUS_REQ_NEXT_NOTIFICATION", "matched_path": None,
            "response": None, "identity_header": None, "events": []})
        self.assertEqual(lines[2]["matched_path"], "/Secure")
        self.assertEqual(lines[3], {"stop": {"events": [{"type": 6, "message": "", "detail": ""}]}})

    def test_regedit_utf16_file_and_environment_variable(self):
        utf16 = write(CONFIG, "utf-16-le")
        try:
            env = dict(os.environ, TURNPIKE_REGISTRY=utf16)
            done, lines = run("--json", "/secure/", env=env)
            self.assertEqual(done.returncode, 0, done.stderr)
            self.assertEqual(lines[1]["matched_path"], "/Secure")
        finally:
            os.unlink(utf16)

    def test_a_url_over_64_kib_is_an_error_even_unprotected(self):
        done, lines = run("--registry", self.registry, "--json", "/" + "a" * 2082, "/" + "a" * 65535)
        self.assertEqual(lines[1]["status"], "SF_STATUS_REQ_NEXT_NOTIFICATION")
        self.assertEqual(lines[2]["status"], "SF_STATUS_REQ_ERROR")
        self.assertEqual(lines[2]["events"], [
            {"type": 2, "message": "The Turnpike ISAPI could not read the url from the headers.", "detail": ""}])

    def test_check_prints_each_finding_and_exits_1_until_none_is_left(self):
        careful = CONFIG.replace("http://127.0.0.1:9/cas", "https://cas.example.org/cas").replace(
            '"Debug"', '"ServerBaseURL"="https://www.example.org"\n"CookieAttributes"="HttpOnly; Secure"\n'
            '"OpaqueCookie"=dword:00000001\n"Debug"')
        rows = [
            # name, .reg text, exit status, the lines it proposes
            ("as in the tests", CONFIG, 1, ['"ServerBaseURL"="https://www.example.org"  '
                                            '(the scheme and name browsers use)',
                                            '"OpaqueCookie"=dword:00000001',
                                            '"ServerURL"="https://127.0.0.1:9/cas"']),
            ("ready for production", careful, 0, []),
            ("refused", CONFIG.replace('"LoginPath"="login"', ""), 1, []),
        ]
        for name, text, status, lines in rows:
            with self.subTest(name):
                registry = write(text)
                try:
                    done, json_lines = run("--check", "--registry", registry, "--json")
                finally:
                    os.unlink(registry)
                self.assertEqual(done.returncode, status, done.stdout)
                self.assertEqual(json_lines[0]["start"]["ok"], name != "refused")
                self.assertEqual([line["finding"]["line"] for line in json_lines[1:]], lines)

    def test_refused_start_exits_1_with_the_cause(self):
        broken = write(CONFIG.replace('"LoginPath"="login"\n', ""))
        try:
            done, lines = run("--registry", broken, "--json", "/secure/")
            self.assertEqual(done.returncode, 1)
            self.assertEqual(lines[0]["start"]["events"], [{
                "type": 1,
                "message": "A Turnpike registry configuration value is missing or null, please set a valid value for",
                "detail": "LoginPath"}])
            self.assertEqual(lines[1], {"stop": {"events": [{"type": 6, "message": "", "detail": ""}]}})
        finally:
            os.unlink(broken)

    def test_malformed_file_is_refused_whole_with_file_and_line(self):
        broken = write(CONFIG.replace('"Debug"=dword:00000001', '"Debug"=dword:zz'))
        try:
            done, lines = run("--registry", broken, "--json", "/secure/")
            self.assertEqual(done.returncode, 1)
            events = lines[0]["start"]["events"]
            self.assertEqual(events[0]["type"], 1)
            self.assertTrue(events[0]["detail"].startswith(broken + ":8: "), events[0]["detail"])
            self.assertEqual(events[1]["detail"], "SOFTWARE\\Turnpike")
        finally:
            os.unlink(broken)

    def test_missing_file_is_a_missing_key(self):
        done, lines = run("--registry", "/nonexistent/turnpike.reg", "--json", "/")
        self.assertEqual(done.returncode, 1)
        self.assertEqual([e["detail"] for e in lines[0]["start"]["events"]], ["SOFTWARE\\Turnpike"])

    def test_version_is_the_project_version_whatever_else_is_given(self):
        for arguments in (["--version"], ["--registry", "/nonexistent", "--version", "/"]):
            done, _ = run(*arguments)
            self.assertEqual((done.returncode, done.stdout.decode()),
                             (0, "turnpike-try %s\n" % os.environ["TURNPIKE_VERSION"]), arguments)

    def test_bad_arguments_exit_2_with_usage(self):
        for arguments in ([], ["--registry"], ["--header", "NoColon", "/"], ["--var", "=x", "/"], ["--bogus", "/"]):
            done, _ = run(*arguments)
            self.assertEqual(done.returncode, 2, arguments)
            self.assertIn(b"usage: turnpike-try", done.stderr)

    def test_output_is_valid_json_whatever_the_bytes(self):
        done = subprocess.run([TRY, "--registry", self.registry, "--json", "/\xe9/\x01\"\\".encode("latin-1")],
                              capture_output=True, timeout=60)
        request = json.loads(done.stdout.decode("utf-8").splitlines()[1])
        self.assertEqual(request["url"], "/\u00e9/\u0001\"\\")


if __name__ == "__main__":
    unittest.main()
