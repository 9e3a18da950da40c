"""rizu-check and the install step, run as an operator would run them."""

import os
import subprocess
import tempfile
import unittest

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.dirname(os.environ.get("RIZU_MODULE", ""))
CHECK = os.path.join(BUILD, "rizu-check")


def put(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(text.encode("gbk") if isinstance(text, str) else text)


class RizuCheckTest(unittest.TestCase):

    def run_check(self, *args):
        res = subprocess.run([CHECK] + list(args), capture_output=True)
        return res.returncode, res.stdout.decode("utf-8", "replace"), res.stderr.decode("utf-8", "replace")

    def test_sample_configuration_loads_without_warnings(self):
        rc, out, _ = self.run_check("--config", os.path.join(TOP, "conf"))
        self.assertEqual(0, rc, out)
        self.assertIn("GET拦截类关键字", out)
        self.assertIn("演示禁词", out)

    def test_warnings_name_file_line_and_reason(self):
        with tempfile.TemporaryDirectory() as d:
            put(d + "/rizururuzarida.ini", "ChkGetKeyWord=1\nChkPostKeyWord=1\nblockurl=1\n")
            put(d + "/config/getkeyb.txt",
                "; a comment that is long enough to be longer than thirty-one bytes\n"
                "好词\nx\n" + "长" * 16 + "\n好词\n,开头\na,b,c,d\n有@号\n词,x\n門谸豛\n丂\n")
            put(d + "/config/postkeybex.txt", b"\xff\xfeab\n")
            put(d + "/config/blockurl.txt", "/admin/\n*/ok/*\nhost/x\n")
            rc, out, _ = self.run_check("--config", d)
            self.assertEqual(1, rc)
            for expect in ("config/getkeyb.txt:3: ignored, shorter than 2 bytes",
                           "config/getkeyb.txt:4: ignored, too long",
                           "config/getkeyb.txt:5: ignored, a duplicate",
                           "config/getkeyb.txt:6: begins with a comma",
                           "config/getkeyb.txt:7: more than three words",
                           "config/getkeyb.txt:8: holds punctuation",
                           "config/getkeyb.txt:9: a word of one byte",
                           "config/getkeyb.txt:11: a word of one byte",
                           "config/postkeybex.txt:1: not valid GBK",
                           "config/blockurl.txt:1: begins with \"/\""):
                self.assertIn(expect, out)
            self.assertNotIn("getkeyb.txt:1:", out)
            # Characters whose second bytes are capitals or punctuation are
            # neither warned about nor shown changed.
            self.assertNotIn("getkeyb.txt:10:", out)
            self.assertNotIn("blockurl.txt:2:", out)

    def test_capacity(self):
        with tempfile.TemporaryDirectory() as d:
            put(d + "/rizururuzarida.ini", "gcliip=1\n")
            put(d + "/config/gcliip.txt", "".join("10.0.%d.%d\n" % (i // 256, i % 256) for i in range(502)))
            rc, out, _ = self.run_check("--config", d)
            self.assertEqual(1, rc)
            self.assertIn("config/gcliip.txt:501: ignored, the table is full", out)
            self.assertIn("config/gcliip.txt:502: ignored, the table is full", out)

    def test_screening_files(self):
        with tempfile.TemporaryDirectory() as d:
            put(d + "/rizururuzarida.ini", "ChkGetKeyWord=1\nBlockGetKeyWord=1\nBlockPostKeyWord=1\n")
            put(d + "/config/getkeyc.txt", "禁词\n")
            put(d + "/config/getkeyb.txt", "记录词\n")
            put(d + "/config/postkeyc.txt", "贴禁词\n")
            put(d + "/page.html", "<p>这里有 禁,词</p>")
            put(d + "/rec.html", "<p>记录词</p>")
            put(d + "/utf8.html", "<p>这里有禁词</p>".encode("utf-8"))
            put(d + "/clean.html", "<p>干净</p>")
            put(d + "/body.txt", "内容 贴 禁 词")
            rc, out, _ = self.run_check("--config", d, "--get", d + "/page.html", "--get", d + "/rec.html",
                                        "--get", d + "/utf8.html", "--get", d + "/clean.html",
                                        "--post", d + "/body.txt")
            self.assertEqual(0, rc, out)
            self.assertIn("page.html: blocked by \"禁词\" (GET block table, GBK form); context: p这里有禁词p", out)  # from the filtered text
            self.assertIn("rec.html: recorded for \"记录词\"", out)
            self.assertIn("utf8.html: blocked by \"禁词\" (GET block table, UTF-8 form)", out)
            self.assertIn("clean.html: passes", out)
            self.assertIn("body.txt: blocked by \"贴禁词\" (POST table c (smart block), GBK pass)", out)

    def test_files_the_load_cannot_take_as_they_stand(self):
        with tempfile.TemporaryDirectory() as d:
            put(d + "/rizururuzarida.ini",
                b"\xef\xbb\xbfChkGetKeyWord=1\rBlockGetKeyWord=1\rChkPostKeyWord=1\r"
                b"BlockPostKeyWord=1\rgcliip=1\rblockurl=1\n")
            put(d + "/config/getkeyc.txt", "禁词\n关键字\n".encode("utf-8"))
            put(d + "/config/getkeyb.txt", "好词\n" + "x" * 1500 + "\n;" + "c" * 1500 + "\n")
            put(d + "/config/postkeyb.txt", "关键字\n".encode("utf-8") + b"\xf0\x9f\x98\x80\n")
            put(d + "/config/postkeyc.txt", "贴禁词\r贴坏词\r")
            os.symlink("/dev/zero", d + "/config/blockurl.txt")
            os.mkfifo(d + "/config/gcliip.txt")
            rc, out, _ = self.run_check("--config", d)
            self.assertEqual(1, rc)
            for expect in (
                    "rizururuzarida.ini:1: begins with a UTF-8 byte-order mark: passed over",
                    "rizururuzarida.ini:1: lines end with CR alone: each CR is taken as a line end",
                    "config/getkeyc.txt:1: saved as UTF-8, not GBK: read as UTF-8 and converted to GBK",
                    "config/getkeyb.txt:2: a line of 1500 bytes: only its first 999 bytes are read",
                    "config/postkeyb.txt:1: saved as UTF-8",
                    "config/postkeyb.txt:2: holds a character that GBK does not have: line ignored",
                    "config/postkeyc.txt:1: lines end with CR alone",
                    "config/blockurl.txt: is a character device, not a regular file: not read",
                    "config/gcliip.txt: is a FIFO, not a regular file: not read"):
                self.assertIn(expect, out)
            self.assertNotIn("getkeyb.txt:3:", out)  # a long comment loses nothing
            self.assertIn("禁词 / 关键字 /", out)  # the UTF-8 file's keywords, as GBK ones show
            self.assertIn("贴禁词 / 贴坏词 /", out)

    def test_files_it_may_not_read(self):
        import pwd
        nobody = pwd.getpwnam("www-data")
        if os.geteuid() != 0:
            self.skipTest("needs root to run the check as another user")
        with tempfile.TemporaryDirectory() as d:
            os.chmod(d, 0o755)
            put(d + "/rizururuzarida.ini", "ChkGetKeyWord=1\n")
            put(d + "/config/getkeyb.txt", "好词\n")
            for p in (d + "/rizururuzarida.ini", d + "/config"):
                os.chmod(p, 0o755)
            os.chmod(d + "/config/getkeyb.txt", 0o600)
            res = subprocess.run([CHECK, "--config", d], capture_output=True, user=nobody.pw_uid,
                                 group=nobody.pw_gid)
            if res.returncode == 126 or b"Permission denied" in res.stderr:
                self.skipTest("the check cannot be run as www-data from here")
            out = res.stdout.decode("utf-8", "replace")
            self.assertEqual(1, res.returncode, out)
            self.assertIn("config/getkeyb.txt: cannot be read (Permission denied): not loaded", out)

    def test_unreadable_configuration(self):
        rc, _, err = self.run_check("--config", "/nonexistent/dir")
        self.assertEqual(2, rc)
        self.assertIn("not a directory", err)
        with tempfile.TemporaryDirectory() as d:
            rc, _, err = self.run_check("--config", d)
            self.assertEqual(2, rc)
        self.assertEqual(2, self.run_check("--bogus")[0])


class InstallTest(unittest.TestCase):

    def test_install_writes_module_files_and_never_overwrites(self):
        with tempfile.TemporaryDirectory() as dest:
            env = dict(os.environ, DESTDIR=dest)
            cfg = os.environ["RIZU_CONFIG_DIR"]
            res = subprocess.run(["cmake", "--install", BUILD], env=env, capture_output=True, text=True)
            self.assertEqual(0, res.returncode, res.stderr)
            mods = dest + "/etc/apache2/mods-available/"
            with open(mods + "rizururuzarida.load") as f:
                self.assertRegex(f.read(), r"^LoadModule rizururuzarida_module /.*/mod_rizururuzarida\.so\n$")
            self.assertTrue(os.path.exists(mods + "rizururuzarida.conf"))
            self.assertTrue(os.path.exists(dest + cfg + "rizururuzarida.ini"))
            self.assertTrue(os.path.exists(dest + cfg + "config/getshow.txt"))
            self.assertTrue(os.path.isdir(dest + os.environ["RIZU_LOG_DIR"]))
            libexec = subprocess.run(["apxs", "-q", "LIBEXECDIR"], capture_output=True, text=True).stdout.strip()
            self.assertTrue(os.path.exists(dest + libexec + "/mod_rizururuzarida.so"))
            # An operator's files stay as they are.
            with open(dest + cfg + "rizururuzarida.ini", "w") as f:
                f.write("mine\n")
            with open(mods + "rizururuzarida.conf", "w") as f:
                f.write("# mine\n")
            subprocess.run(["cmake", "--install", BUILD], env=env, capture_output=True, check=True)
            with open(dest + cfg + "rizururuzarida.ini") as f:
                self.assertEqual("mine\n", f.read())
            with open(mods + "rizururuzarida.conf") as f:
                self.assertEqual("# mine\n", f.read())
