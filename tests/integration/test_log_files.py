"""The files the module writes in its log directory, written by real server
children: links in their place, a full disk, request bytes that would break
the HTML log's lines."""

import os
import re
import signal
import subprocess
import time
import unittest

from rizu_httpd import ITEST_ROOT, LOG_DIR, ServerTestCase, gbk, log_files

BASE_INI = "BlockGetKeyWord=1\n"
BASE_FILES = {
    "scriptname.txt": ".html\n",
    "getkeyc.txt": "禁词\n",
    "getshow.txt": "<html><body>blocked: {!getkey!}</body></html>",
}
PAGE = "<html><body>" + "正常内容" * 20 + "这里有禁词出现" + "</body></html>"
STAMP = re.compile(rb"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - ")
PAGE_PATH = os.path.join(LOG_DIR, "rizururuzarida_config.html")


def hour_names(prefix, ext):
    """The hourly log names of this hour and the next (a run may cross it)."""
    now = time.time()
    return [prefix + time.strftime("%Y-%m-%d-%H", time.localtime(t)) + ext
            for t in (now, now + 3600)]


def text_lines():
    data = b"".join(open(p, "rb").read() for p in log_files("keyword_*.txt"))
    assert data.endswith(b"\r\n") or not data
    return [l for l in data.split(b"\r\n") if l]


def html_lines():
    out = []
    for p in log_files("keylog_*.html"):
        with open(p, "rb") as f:
            data = f.read()
        head_end = data.index(b"<body>\r\n") + len(b"<body>\r\n")
        out += [l for l in data[head_end:].split(b"\r\n") if l]
    return out


class LogFilesTest(ServerTestCase):

    def serve(self):
        h = self.start_server(BASE_INI, BASE_FILES, pages={"a.html": PAGE})
        self.assertEqual(gbk("<html><body>blocked: 禁词</body></html>"), h.get("/a.html").body)
        return h

    def replace_children(self, h):
        """Replaces the children without removing what stands at the status
        page's path, and waits until a new page has been written there."""
        mark = len(h.error_log())
        os.kill(h.pid, signal.SIGHUP)
        deadline = time.time() + 15
        while time.time() < deadline and "resuming normal operations" not in h.error_log()[mark:]:
            time.sleep(0.02)
        while time.time() < deadline and not (os.path.lexists(PAGE_PATH)
                                              and not os.path.islink(PAGE_PATH)):
            time.sleep(0.05)

    def test_links_in_the_log_directory_are_never_followed(self):
        h = self.serve()
        for p in log_files("key*"):
            os.remove(p)
        target = os.path.join(ITEST_ROOT, "not-a-log.txt")
        with open(target, "wb") as f:
            f.write(b"precious\n")
        os.chmod(target, 0o644)
        os.chown(target, *self.www_data())  # the children could write it
        self.addCleanup(os.remove, target)
        links = [os.path.join(LOG_DIR, n)
                 for n in hour_names("keyword_", ".txt") + hour_names("keylog_", ".html")]
        for l in links + [PAGE_PATH]:
            if os.path.lexists(l):
                os.remove(l)
            os.symlink(target, l)
        self.replace_children(h)
        self.assertEqual(gbk("<html><body>blocked: 禁词</body></html>"), h.get("/a.html").body)
        with open(target, "rb") as f:
            self.assertEqual(b"precious\n", f.read())
        self.assertEqual(0o644, os.stat(target).st_mode & 0o777)
        for l in links:
            self.assertTrue(os.path.islink(l))
        # The status page replaced its link.
        self.assertFalse(os.path.islink(PAGE_PATH))
        self.assertEqual(0o666, os.stat(PAGE_PATH).st_mode & 0o777)
        with open(PAGE_PATH, "rb") as f:
            self.assertIn(gbk("GET拦截类关键字"), f.read())

    @staticmethod
    def www_data():
        import pwd
        pw = pwd.getpwnam("www-data")
        return pw.pw_uid, pw.pw_gid

    def test_request_bytes_never_break_an_html_log_line(self):
        h = self.serve()
        # The request path is decoded before the module sees it: CR, LF and
        # TAB reach the address and the file path of the record.
        h.page("a\r\nforged\tline.html", PAGE)
        r = h.get("/a%0d%0aforged%09line.html?x=%0d%0a")
        self.assertEqual(gbk("<html><body>blocked: 禁词</body></html>"), r.body)
        lines = html_lines()
        self.assertEqual(10, len(lines))  # two records of five lines
        for l in lines:
            self.assertRegex(l, STAMP)
        self.assertEqual(2, sum(b"/a  forged line.html" in l for l in lines))
        for rec in text_lines():
            self.assertEqual(19, len(rec.split(b"\t")), rec)

    def test_a_full_disk_never_leaves_half_a_record(self):
        h = self.serve()
        res = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32k,mode=0777", "tmpfs", LOG_DIR],
                             capture_output=True)
        if res.returncode != 0:
            raise unittest.SkipTest("cannot mount a small tmpfs here: %s" % res.stderr)
        self.addCleanup(subprocess.run, ["umount", LOG_DIR])
        # Leave one page free: the records of the text log fill it, and the
        # one that runs over its end no longer fits.
        filler = os.path.join(LOG_DIR, "filler")
        with open(filler, "wb") as f:
            f.write(b"f" * (7 * 4096))
        query = "q=" + "x" * 1000
        for _ in range(8):
            self.assertEqual(200, h.get("/a.html?" + query).status)
        kept = len(text_lines())
        self.assertTrue(1 <= kept < 8, kept)
        os.remove(filler)
        for _ in range(2):
            h.get("/a.html?" + query)
        lines = text_lines()
        self.assertEqual(kept + 2, len(lines))
        for rec in lines:
            fields = rec.split(b"\t")
            self.assertEqual(19, len(fields), rec[:120])
            self.assertEqual(query.encode(), fields[12])
        for l in html_lines():
            self.assertRegex(l, STAMP)
