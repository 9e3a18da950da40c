"""Configuration files that a server child cannot take as they stand: files
it may not read, special files, files saved as UTF-8, over-long lines. The
children still start and serve, and the server's error log names the file."""

import os
import time

from rizu_httpd import CONFIG_DIR, ServerTestCase, alive, for_each_mpm, gbk

BLOCK_PAGE = "<html><body>blocked: {!getkey!}</body></html>"
BASE = {"scriptname.txt": ".html\n", "getshow.txt": BLOCK_PAGE}
BLOCKED = gbk("<html><body>blocked: 禁词</body></html>")
PAGE = gbk("<html><body>这里有禁词出现</body></html>")


def cfg(name):
    return os.path.join(CONFIG_DIR, "config", name)


@for_each_mpm
class SpecialFilesTest(ServerTestCase):

    def test_devices_fifos_and_directories_are_refused_and_named(self):
        h = self.start_server("BlockGetKeyWord=1\nChkPostKeyWord=1\nblockurl=1\n",
                              BASE, pages={"a.html": PAGE}, wait=False)
        # Replaced behind the server's back, then the children restarted.
        os.symlink("/dev/zero", cfg("getkeyc.txt"))
        os.mkfifo(cfg("postkeyb.txt"))
        os.symlink("/dev/urandom", cfg("blockurl.txt"))
        os.mkdir(cfg("postkeybex.txt"))
        h.restart()
        started = time.time()
        r = h.get("/a.html")
        self.assertEqual(200, r.status)
        self.assertEqual(PAGE, r.body)  # no keywords loaded: the page passes
        self.assertLess(time.time() - started, 5)
        log = self.error_log_since_start()
        for name, kind in (("getkeyc.txt", "a character device"), ("postkeyb.txt", "a FIFO"),
                           ("blockurl.txt", "a character device"),
                           ("postkeybex.txt", "a directory")):
            self.assertIn("%s: is %s, not a regular file: not read" % (cfg(name), kind), log)

    def test_an_ini_linked_to_a_device_turns_everything_off_and_the_server_stops(self):
        h = self.start_server(None, pages={"a.html": PAGE}, wait=False)
        os.symlink("/dev/zero", os.path.join(CONFIG_DIR, "rizururuzarida.ini"))
        h.restart()
        self.assertEqual(200, h.get("/a.html").status)
        self.assertIn("rizururuzarida.ini: is a character device", self.error_log_since_start())
        # The children answer SIGTERM: the server stops at once.
        pid = h.pid
        started = time.time()
        h.stop()
        self.assertLess(time.time() - started, 5)
        self.assertFalse(alive(pid))
        h.start()

    def test_a_link_to_a_regular_file_is_read(self):
        h = self.start_server("BlockGetKeyWord=1\n", dict(BASE, **{"words/kept.txt": "禁词\n"}),
                              pages={"a.html": PAGE}, wait=False)
        os.symlink(cfg("words/kept.txt"), cfg("getkeyc.txt"))
        h.restart()
        self.assertEqual(BLOCKED, h.get("/a.html").body)
        self.assertNotIn("mod_rizururuzarida", self.error_log_since_start())


class UnreadableFilesTest(ServerTestCase):

    def test_files_the_children_may_not_read_are_named_and_missing_ones_are_not(self):
        h = self.start_server("BlockGetKeyWord=1\nblockip=1\n",
                              dict(BASE, **{"getkeyc.txt": "禁词\n"}),
                              pages={"a.html": PAGE}, wait=False)
        os.chmod(cfg("getkeyc.txt"), 0o600)  # root's; the children are www-data
        h.restart()
        self.assertEqual(PAGE, h.get("/a.html").body)
        log = self.error_log_since_start()
        self.assertIn("%s: cannot be read (Permission denied): not loaded" % cfg("getkeyc.txt"),
                      log)
        self.assertNotIn("blockip.txt", log)  # missing: nothing to say
        self.assertNotIn("blockipshow.txt", log)

    def test_an_unreadable_ini_is_named(self):
        h = self.start_server("BlockGetKeyWord=1\n",
                              dict(BASE, **{"getkeyc.txt": "禁词\n"}),
                              pages={"a.html": PAGE}, wait=False)
        ini = os.path.join(CONFIG_DIR, "rizururuzarida.ini")
        os.chmod(ini, 0o600)
        h.restart()
        self.assertEqual(PAGE, h.get("/a.html").body)
        self.assertIn("%s: cannot be read (Permission denied)" % ini, self.error_log_since_start())
        os.chmod(ini, 0o644)
        h.restart()
        self.assertEqual(BLOCKED, h.get("/a.html").body)


class FileFormsTest(ServerTestCase):

    def test_keyword_file_saved_as_utf8_blocks_gbk_and_utf8_pages_and_is_named(self):
        h = self.start_server("BlockGetKeyWord=1\n",
                              dict(BASE, **{"getkeyc.txt": "禁词\n关键字\n".encode("utf-8")}),
                              pages={"a.html": PAGE,
                                     "u.html": "<html><body>这里有禁词出现</body></html>"
                                     .encode("utf-8")})
        self.assertEqual(BLOCKED, h.get("/a.html").body)
        self.assertEqual(BLOCKED, h.get("/u.html").body)
        self.assertIn("%s:1: saved as UTF-8, not GBK: read as UTF-8 and converted to GBK"
                      % cfg("getkeyc.txt"), self.error_log_since_start())

    def test_byte_order_mark_cr_line_ends_and_long_lines(self):
        tail = "x" * 100000 + "禁词"  # its last four bytes are no keyword
        h = self.start_server(b"\xef\xbb\xbfBlockGetKeyWord=1\rblockurl=0\r",
                              dict(BASE, **{"getkeyc.txt": tail + "\r\n坏字\r"}),
                              pages={"a.html": PAGE, "b.html": "<p>坏字</p>"})
        self.assertEqual(PAGE, h.get("/a.html").body)
        self.assertEqual(gbk("<html><body>blocked: 坏字</body></html>"), h.get("/b.html").body)
        log = self.error_log_since_start()
        self.assertIn("%s:1: a line of 100004 bytes: only its first 999 bytes are read"
                      % cfg("getkeyc.txt"), log)
        # Read as meant: nothing to say about the mark and the line ends.
        self.assertNotIn("byte-order", log)
        self.assertNotIn("CR alone", log)
