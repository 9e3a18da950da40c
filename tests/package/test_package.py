"""Builds the Debian package and runs it on this machine as an operator would:
install, configtest, pages from the system's httpd, upgrade over edited
conffiles, remove, purge.

It changes the machine's package state, so it runs only as root, only where
the package and its configuration directory are not there yet, and (unless
RIZU_PACKAGE_TEST=1) only where the system's httpd is not running, since
installing the package enables the module and reloads a running server. The
pages come from the system's apache2 binary and its mods-enabled, started on
a free loopback port with a pid file, logs and documents of its own; nothing
else of the system's server is touched. The package is purged at the end,
whatever happened.
"""

import glob
import hashlib
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

SOURCE_DIR = os.environ.get("RIZU_SOURCE_DIR", "")
OUT_DIR = os.environ.get("RIZU_PACKAGE_OUT", "")
PACKAGE = "libapache2-mod-rizururuzarida"
CONFIG_DIR = "/etc/rizururuzarida"
LOG_DIR = "/var/log/rizururuzarida"
MODS_AVAILABLE = "/etc/apache2/mods-available"
MODS_ENABLED = "/etc/apache2/mods-enabled"
MODULE_SO = "/usr/lib/apache2/modules/mod_rizururuzarida.so"
APT_ENV = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
# An upgrade must never stop to ask in a test; keeping the operator's file
# is what an operator who is asked usually answers.
KEEP_OLD = ["-o", "Dpkg::Options::=--force-confdef", "-o", "Dpkg::Options::=--force-confold"]


def run(cmd, check=True, **kw):
    res = subprocess.run(cmd, capture_output=True, text=True, **kw)
    if check and res.returncode != 0:
        raise AssertionError("%s failed (%d):\n%s\n%s" % (" ".join(cmd), res.returncode,
                                                          res.stdout[-3000:], res.stderr[-3000:]))
    return res


def package_status():
    res = run(["dpkg-query", "-W", "-f=${Status}", PACKAGE], check=False)
    status = res.stdout.strip()
    return "" if res.returncode != 0 or status.endswith("not-installed") else status


def system_httpd_running():
    for pidfile in glob.glob("/var/run/apache2*/apache2.pid") + glob.glob("/run/apache2*/apache2.pid"):
        try:
            with open(pidfile) as f:
                os.kill(int(f.read().strip()), 0)
            return True
        except (OSError, ValueError):
            pass
    return False


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def http_get(port, path):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % path).encode())
        data = b""
        while True:
            b = s.recv(65536)
            if not b:
                break
            data += b
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split()[1]), body


def purge():
    if package_status():
        run(["dpkg", "--purge", PACKAGE], check=False, env=APT_ENV)


class SystemHttpd:
    """The system's apache2 with the system's mods-enabled, on a port, pid
    file, logs and document root of its own."""

    def __init__(self, root):
        self.root = root
        self.port = free_port()
        self.pid = None

    def start(self, pages):
        docs = os.path.join(self.root, "htdocs")
        os.makedirs(docs)
        for name, content in pages.items():
            with open(os.path.join(docs, name), "wb") as f:
                f.write(content)
        os.chmod(self.root, 0o755)
        os.chmod(docs, 0o755)
        conf = os.path.join(self.root, "httpd.conf")
        with open(conf, "w") as f:
            f.write("\n".join([
                "ServerRoot /etc/apache2",
                "Include mods-enabled/*.load",
                "Include mods-enabled/*.conf",
                "ServerName 127.0.0.1",
                "Listen 127.0.0.1:%d" % self.port,
                "PidFile %s/httpd.pid" % self.root,
                "ErrorLog %s/error.log" % self.root,
                "Mutex file:%s default" % self.root,
                "User www-data",
                "Group www-data",
                "AddDefaultCharset Off",
                "DocumentRoot %s" % docs,
                "<Directory %s>" % docs,
                "  Require all granted",
                "  AllowOverride None",
                "  SetOutputFilter o-kvr-resource-1",
                "  SetInputFilter i-kvr-resource-1",
                "</Directory>",
            ]) + "\n")
        env = dict(os.environ, APACHE_RUN_DIR=self.root, APACHE_LOCK_DIR=self.root,
                   APACHE_LOG_DIR=self.root, APACHE_PID_FILE=self.root + "/httpd.pid",
                   APACHE_RUN_USER="www-data", APACHE_RUN_GROUP="www-data")
        run(["/usr/sbin/apache2", "-f", conf, "-k", "start"], env=env)
        deadline = time.time() + 15
        while time.time() < deadline:
            try:
                with open(os.path.join(self.root, "httpd.pid")) as f:
                    self.pid = int(f.read().strip())
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    break
            except (OSError, ValueError):
                time.sleep(0.05)
        else:
            raise AssertionError("apache2 is not answering: " + self.error_log())

    def error_log(self):
        try:
            with open(os.path.join(self.root, "error.log"), errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        if self.pid is None:
            return
        try:
            os.kill(self.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        deadline = time.time() + 15
        while time.time() < deadline and os.path.exists("/proc/%d" % self.pid):
            time.sleep(0.05)
        self.pid = None


def repack(deb, workdir, version, change_ini):
    """The built package as a later version whose sample INI file differs,
    to upgrade over an operator's edits without building twice."""
    tree = os.path.join(workdir, "repack")
    shutil.rmtree(tree, ignore_errors=True)
    run(["dpkg-deb", "-R", deb, tree])
    ctl = os.path.join(tree, "DEBIAN", "control")
    with open(ctl) as f:
        lines = [("Version: " + version) if l.startswith("Version:") else l
                 for l in f.read().splitlines()]
    with open(ctl, "w") as f:
        f.write("\n".join(lines) + "\n")
    ini_rel = "etc/rizururuzarida/rizururuzarida.ini"
    with open(os.path.join(tree, ini_rel), "ab") as f:
        f.write(change_ini)
    with open(os.path.join(tree, ini_rel), "rb") as f:
        digest = hashlib.md5(f.read()).hexdigest()
    sums = os.path.join(tree, "DEBIAN", "md5sums")
    if os.path.exists(sums):
        with open(sums) as f:
            lines = [(digest + "  " + ini_rel) if l.endswith("  " + ini_rel) else l
                     for l in f.read().splitlines()]
        with open(sums, "w") as f:
            f.write("\n".join(lines) + "\n")
    out = os.path.join(workdir, "%s_%s.deb" % (PACKAGE, version))
    run(["dpkg-deb", "--root-owner-group", "-b", tree, out])
    return out


class PackageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not SOURCE_DIR or not OUT_DIR:
            raise unittest.SkipTest("RIZU_SOURCE_DIR or RIZU_PACKAGE_OUT is not set: run through ctest")
        if os.geteuid() != 0:
            raise unittest.SkipTest("installs a package: needs root")
        for tool in ("dpkg-buildpackage", "apt-get", "lintian", "apache2ctl"):
            if not shutil.which(tool):
                raise unittest.SkipTest(tool + " is missing (scripts/test installs it)")
        if package_status():
            raise unittest.SkipTest(PACKAGE + " is installed here: not replacing it")
        if os.path.exists(CONFIG_DIR) or os.path.exists(LOG_DIR):
            raise unittest.SkipTest(CONFIG_DIR + " or " + LOG_DIR + " exists: not touching it")
        if system_httpd_running() and os.environ.get("RIZU_PACKAGE_TEST") != "1":
            raise unittest.SkipTest("the system's httpd runs and installing would reload it "
                                    "(RIZU_PACKAGE_TEST=1 allows it)")
        res = run([os.path.join(SOURCE_DIR, "scripts", "package"), OUT_DIR], check=False)
        if res.returncode != 0:
            raise AssertionError("scripts/package failed:\n" + res.stdout[-4000:] + res.stderr[-4000:])
        cls.build_output = res.stdout
        cls.deb = res.stdout.strip().splitlines()[-1]
        cls.work = tempfile.mkdtemp(prefix="rizu-package-")
        os.chmod(cls.work, 0o755)  # the server's children read the pages below it

    @classmethod
    def tearDownClass(cls):
        purge()
        shutil.rmtree(cls.work, ignore_errors=True)

    def apt(self, *args):
        return run(["apt-get", "-y", "-q"] + list(args), env=APT_ENV)

    def test_install_serve_upgrade_remove_purge(self):
        self.assertRegex(os.path.basename(self.deb), r"^%s_[^_]+_[a-z0-9]+\.deb$" % PACKAGE)
        self.assertNotRegex(self.build_output, r"(?m)^E: ", "lintian reports errors")
        self.apt("install", self.deb)
        self.addCleanup(purge)

        with self.subTest("installed as Debian installs modules"):
            self.assertEqual("install ok installed", package_status())
            self.assertTrue(os.path.isfile(MODULE_SO))
            self.assertTrue(os.access("/usr/bin/rizu-check", os.X_OK))
            self.assertEqual(os.path.join(MODS_AVAILABLE, "rizururuzarida.load"),
                             os.path.realpath(os.path.join(MODS_ENABLED, "rizururuzarida.load")))
            conffiles = run(["dpkg-query", "-W", "-f=${Conffiles}", PACKAGE]).stdout
            for f in (CONFIG_DIR + "/rizururuzarida.ini", CONFIG_DIR + "/config/getkeyc.txt",
                      CONFIG_DIR + "/config/getshow.txt", MODS_AVAILABLE + "/rizururuzarida.load",
                      MODS_AVAILABLE + "/rizururuzarida.conf"):
                self.assertIn(" %s " % f, conffiles)
            self.assertEqual("www-data", pwd.getpwuid(os.stat(LOG_DIR).st_uid).pw_name)
            check = run(["rizu-check"], check=False)
            self.assertIn(check.returncode, (0, 1), check.stderr)
            self.assertIn("configuration %s/" % CONFIG_DIR, check.stdout)

        with self.subTest("the system's configuration loads the module"):
            self.assertIn("Syntax OK", run(["apache2ctl", "configtest"]).stderr)
            self.assertIn("rizururuzarida_module", run(["apache2ctl", "-M"]).stdout)

        clean = "<html><body><p>天气很好。</p></body></html>\n".encode("gbk")
        blocked = "<html><body><p>演示 禁词</p></body></html>\n".encode("gbk")
        httpd = SystemHttpd(os.path.join(self.work, "server"))
        self.addCleanup(httpd.stop)
        httpd.start({"clean.html": clean, "blocked.html": blocked})
        with self.subTest("a clean and a blocked page"):
            self.assertEqual((200, clean), http_get(httpd.port, "/clean.html"))
            status, body = http_get(httpd.port, "/blocked.html")
            self.assertEqual(200, status)
            self.assertIn("本网页含有禁止的关键字".encode("gbk"), body)
            self.assertNotIn(blocked, body)
        httpd.stop()
        with self.subTest("the children write their logs as www-data"):
            self.assertTrue(os.path.exists(LOG_DIR + "/rizururuzarida_config.html"))
            logs = glob.glob(LOG_DIR + "/keylog_*.html")
            self.assertTrue(logs, os.listdir(LOG_DIR))
            self.assertEqual("www-data", pwd.getpwuid(os.stat(logs[0]).st_uid).pw_name)

        # An operator edits two conffiles; the next version changes one of them.
        ini_edit = b"\r\n; operator's edit\r\n"
        keyword_edit = "\r\n运营者的词\r\n".encode("gbk")
        with open(CONFIG_DIR + "/rizururuzarida.ini", "ab") as f:
            f.write(ini_edit)
        with open(CONFIG_DIR + "/config/getkeyc.txt", "ab") as f:
            f.write(keyword_edit)
        newer = repack(self.deb, self.work, run(["dpkg-query", "-W", "-f=${Version}", PACKAGE])
                       .stdout + "+1", b"; a later sample\r\n")
        self.apt(*KEEP_OLD, "install", newer)
        with self.subTest("an upgrade keeps the operator's edits"):
            with open(CONFIG_DIR + "/rizururuzarida.ini", "rb") as f:
                self.assertTrue(f.read().endswith(ini_edit))
            with open(CONFIG_DIR + "/config/getkeyc.txt", "rb") as f:
                self.assertTrue(f.read().endswith(keyword_edit))
            # Both sides changed the INI file: dpkg asked, kept the operator's
            # and put the new one beside it.
            self.assertTrue(os.path.exists(CONFIG_DIR + "/rizururuzarida.ini.dpkg-dist"))
            self.assertFalse(os.path.exists(CONFIG_DIR + "/config/getkeyc.txt.dpkg-dist"))
            self.assertTrue(os.path.islink(os.path.join(MODS_ENABLED, "rizururuzarida.load")))

        self.apt("remove", PACKAGE)
        with self.subTest("remove keeps the configuration"):
            self.assertEqual("deinstall ok config-files", package_status())
            self.assertFalse(os.path.exists(MODULE_SO))
            self.assertFalse(os.path.exists("/usr/bin/rizu-check"))
            self.assertFalse(os.path.lexists(os.path.join(MODS_ENABLED, "rizururuzarida.load")))
            with open(CONFIG_DIR + "/rizururuzarida.ini", "rb") as f:
                self.assertTrue(f.read().endswith(ini_edit))
            self.assertTrue(os.path.exists(MODS_AVAILABLE + "/rizururuzarida.load"))
            self.assertIn("Syntax OK", run(["apache2ctl", "configtest"]).stderr)

        self.apt("purge", PACKAGE)
        with self.subTest("purge leaves nothing"):
            self.assertEqual("", package_status())
            for path in (CONFIG_DIR, LOG_DIR, MODS_AVAILABLE + "/rizururuzarida.load",
                         MODS_AVAILABLE + "/rizururuzarida.conf"):
                self.assertFalse(os.path.lexists(path), path)


if __name__ == "__main__":
    unittest.main()
