"""The Debian packages on this machine, as an administrator meets them: built
by scripts/package (dpkg-buildpackage, then lintian), installed with
`apt-get install ./...deb`, the module enabled with a2enmod and signing on
in an Apache of the test's own against the test CAS server, upgraded over
itself with an edited conffile, removed, then purged.

    test_debian_package.py OUT_DIR

Runs as root only (exit 77, skipped, otherwise, or when the packages are
already installed: the machine's own are not the test's to remove). Whatever
happens it leaves the machine as it found it: the packages purged, the
module a2enmod enabled as a dependency disabled again. The system's Apache
is neither started nor reconfigured; the test's Apache reads the module's
files from /etc/apache2/mods-enabled and nothing else of it.
"""

import hashlib
import os
import re
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "apache"))
from apache_harness import SOURCE_ROOT, Apache, Browser, CasProcess  # noqa: E402

SKIP = 77
PACKAGES = ("libapache2-mod-turnpike", "turnpike-tools")
VERSION = os.environ.get("TURNPIKE_VERSION", "")
CONFFILE = "/etc/turnpike/turnpike.reg"
MODS = "/etc/apache2/mods-enabled"
# Where a package or its scripts could leave something; what dpkg and apt
# keep about packages, and caches and logs, change with every installation.
WATCHED = ("/etc", "/usr", "/var/lib", "/opt", "/srv")
IGNORED = ("/var/lib/dpkg", "/var/lib/apt", "/var/lib/systemd", "/var/lib/ucf")
APT = ["apt-get", "-y", "-q", "-o", "DPkg::Lock::Timeout=300"]
OUT = None


def run(*command, check=True):
    done = subprocess.run(command, capture_output=True, text=True, timeout=600,
                          env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
    if check and done.returncode != 0:
        raise AssertionError("%s failed:\n%s%s" % (" ".join(command), done.stdout, done.stderr))
    return done


def status(package):
    """dpkg's state of a package: "installed", "config-files", "not-installed"."""
    done = run("dpkg-query", "-W", "-f=${db:Status-Status}", package, check=False)
    return done.stdout or "not-installed"


def files():
    paths = set()
    for top in WATCHED:
        for folder, folders, names in os.walk(top):
            if folder.startswith(IGNORED):
                folders[:] = []
                continue
            paths.update(os.path.join(folder, name) for name in folders + names)
    return paths


def apache_configuration():
    """Every file and link under /etc/apache2 with its content or target."""
    found = {}
    for folder, _, names in os.walk("/etc/apache2"):
        for name in names:
            path = os.path.join(folder, name)
            if os.path.islink(path):
                found[path] = "-> " + os.readlink(path)
            else:
                with open(path, "rb") as handle:
                    found[path] = hashlib.sha256(handle.read()).hexdigest()
    return found


def not_owned(paths):
    """The paths no installed package lists (another package may have been
    installed meanwhile on a shared machine); Python's byte-code caches, which
    no package lists, are left out."""
    left = sorted(path for path in paths if "/__pycache__" not in path)
    if not left:
        return []
    owned = run("dpkg-query", "-S", *left, check=False).stdout
    owned = {line.split(": ", 1)[1] for line in owned.splitlines() if ": " in line}
    return [path for path in left if path not in owned]


class DebianPackage(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        done = subprocess.run([os.path.join(SOURCE_ROOT, "scripts", "package"), "--out", OUT, "deb"],
                              capture_output=True, text=True, timeout=1200)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        # lintian's verdict: errors fail the build above; warnings are shown.
        print(done.stdout)
        arch = run("dpkg", "--print-architecture").stdout.strip()
        self.debs = [os.path.join(OUT, "%s_%s_%s.deb" % (package, VERSION, arch))
                     for package in PACKAGES]
        self.before = files()
        self.apache_before = apache_configuration()
        self.shmcb_was_enabled = os.path.lexists(os.path.join(MODS, "socache_shmcb.load"))

    def tearDown(self):
        # Also after a failure half-way: nothing of the test stays.
        installed = [package for package in PACKAGES if status(package) != "not-installed"]
        if installed:
            run("dpkg", "--purge", *installed, check=False)
        if not self.shmcb_was_enabled:
            run("a2dismod", "-m", "-p", "-q", "socache_shmcb", check=False)

    def test_install_sign_on_upgrade_remove_purge(self):
        # Nothing in them names this machine's source or build folders.
        with tempfile.TemporaryDirectory() as unpacked:
            for deb in self.debs:
                run("dpkg-deb", "-x", deb, unpacked)
            found = run("grep", "-rlF", "-e", SOURCE_ROOT, "-e", OUT, unpacked, check=False)
            self.assertEqual(found.stdout, "")

        run(*APT, "install", *self.debs)
        listed = set()
        for package in PACKAGES:
            self.assertEqual(status(package), "installed")
            listed.update(run("dpkg", "-L", package).stdout.split())

        # As installed: the version everywhere, a man page, and a configuration
        # that protects nothing and says why the filter will not start.
        self.assertEqual(run("turnpike-try", "--version").stdout, "turnpike-try %s\n" % VERSION)
        self.assertIn("/usr/share/man/man1/turnpike-try.1.gz", listed)
        refused = run("turnpike-try", "/secure/", check=False)
        self.assertEqual(refused.returncode, 1)
        self.assertIn("please set up one or more paths in: SOFTWARE\\Turnpike\\Paths", refused.stdout)

        # a2enmod enables the module and the cache it needs.
        run("a2enmod", "turnpike")
        for name in ("turnpike.load", "turnpike.conf", "socache_shmcb.load"):
            self.assertTrue(os.path.exists(os.path.join(MODS, name)), name)

        with CasProcess() as cas:
            # The administrator's edit: a CAS server and a path to protect.
            with open(CONFFILE) as handle:
                text = handle.read()
            edited = re.sub(r'"ServerURL"="[^"]*"', '"ServerURL"="%s"' % cas.url, text)
            edited = edited.replace(';"1"="/secure/"', '"1"="/secure/"')
            self.assertNotEqual(edited, text)
            with open(CONFFILE, "w") as handle:
                handle.write(edited)
            self.sign_on(cas)

            run(*APT, "install", "--reinstall", *self.debs)
            with open(CONFFILE) as handle:
                self.assertEqual(handle.read(), edited, "the edited conffile was not kept")
            self.assertFalse([name for name in os.listdir("/etc/turnpike") if name != "turnpike.reg"])
            self.sign_on(cas)

        # Removed: the programs go, the configuration stays, and the module is
        # no longer enabled (the system's Apache would not start without it).
        run(*APT, "remove", *PACKAGES)
        # turnpike-tools has no configuration, so nothing of it is kept.
        self.assertEqual([status(package) for package in PACKAGES], ["config-files", "not-installed"])
        with open(CONFFILE) as handle:
            self.assertEqual(handle.read(), edited)
        for path in ("/usr/lib/apache2/modules/mod_turnpike.so", "/usr/bin/turnpike-try",
                     os.path.join(MODS, "turnpike.load"), os.path.join(MODS, "turnpike.conf")):
            self.assertFalse(os.path.lexists(path), path)

        # Purged: the configuration goes too, and nothing is left behind.
        run(*APT, "purge", *PACKAGES)
        for package in PACKAGES:
            self.assertEqual(status(package), "not-installed")
        self.assertFalse(os.path.lexists("/etc/turnpike"))
        self.tearDown()
        self.assertEqual(not_owned(files() - self.before), [])
        self.assertEqual(apache_configuration(), self.apache_before)

    def sign_on(self, cas):
        """An Apache of its own that loads the module as a2enmod enabled it."""
        apache = Apache(None, extra_lines=['Include "%s/turnpike.load"' % MODS,
                                           'Include "%s/turnpike.conf"' % MODS])
        try:
            apache.start()
            status, _, body, _ = Browser(apache, cas.url).get("/secure/index.shtml")
            self.assertEqual(status, 200, apache.logs())
            self.assertIn(b'<span id="user">alice</span>', body)
            self.assertIn("] mod_turnpike/%s configured\n" % VERSION, apache.error_log_text())
        finally:
            apache.cleanup()


if __name__ == "__main__":
    OUT = os.path.abspath(sys.argv.pop(1))
    if os.geteuid() != 0:
        print("skipped: installing packages needs root")
        sys.exit(SKIP)
    if any(status(package) != "not-installed" for package in PACKAGES):
        print("skipped: %s already on this machine" % " or ".join(PACKAGES))
        sys.exit(SKIP)
    unittest.main(verbosity=2)
