"""The module loaded into a real apache2: Accept-Encoding handling, bodies
passing both filters, and loads of broken configurations."""

import os
import shutil
import stat

from rizu_httpd import (CONFIG_DIR, LOG_DIR, ServerTestCase, for_each_mpm, put, write_config)

AE = {"Accept-Encoding": "gzip, deflate"}


def seen_headers(resp):
    text = resp.body.decode("latin-1")
    return text.split("--body--")[0]


@for_each_mpm
class FrameTest(ServerTestCase):

    def test_accept_encoding_removed_by_default(self):
        h = self.start_server(ini="")
        r = h.get("/cgi/env.cgi", headers=AE)
        self.assertEqual(200, r.status)
        self.assertNotIn("HTTP_ACCEPT_ENCODING", seen_headers(r))
        self.assertIn("HTTP_HOST=127.0.0.1", seen_headers(r))

    def test_accept_encoding_removed_with_disgzip_1_and_kept_with_0(self):
        h = self.start_server(ini="disgzip=1\n")
        self.assertNotIn("HTTP_ACCEPT_ENCODING", seen_headers(h.get("/cgi/env.cgi", headers=AE)))
        h = self.start_server(ini="[main]\n disgzip = 0 \n")
        self.assertIn("HTTP_ACCEPT_ENCODING=gzip, deflate",
                      seen_headers(h.get("/cgi/env.cgi", headers=AE)))

    def test_post_body_passes_both_filters_unchanged(self):
        h = self.start_server(ini="")
        for body in (b"a=1&b=2", bytes(range(256)) * 40, b"\x00" * 5000 + b"tail",
                     "中文内容".encode("gbk") * 3000):
            r = h.post("/cgi/env.cgi", body, content_type="application/octet-stream")
            self.assertEqual(200, r.status)
            echoed = r.body.split(b"--body--\n", 1)[1]
            self.assertEqual(body, echoed)

    def test_static_page_passes_output_filter_unchanged(self):
        page = "<html><body>" + "网页内容 " * 5000 + "</body></html>"
        h = self.start_server(ini="", pages={"big.html": page})
        r = h.get("/big.html")
        self.assertEqual(200, r.status)
        self.assertEqual(page.encode("gbk"), r.body)

    def test_status_page_is_written_with_mode_0666(self):
        self.start_server(ini="")
        path = os.path.join(LOG_DIR, "rizururuzarida_config.html")
        self.assertTrue(os.path.exists(path))
        self.assertEqual(0o666, stat.S_IMODE(os.stat(path).st_mode))


@for_each_mpm
class BrokenConfigurationTest(ServerTestCase):
    """Whatever state the configuration is in, the load goes on and the
    server serves; the module writes nothing but its status page."""

    def check_serves_and_writes_nothing_else(self, config_files_before):
        h = self.httpd
        r = h.get("/cgi/env.cgi", headers=AE)
        self.assertEqual(200, r.status)
        self.assertNotIn("HTTP_ACCEPT_ENCODING", seen_headers(r))
        self.assertEqual(200, h.get("/index.html").status)
        self.assertEqual(["rizururuzarida_config.html"], sorted(os.listdir(LOG_DIR)))
        after = sorted(os.listdir(os.path.join(CONFIG_DIR, "config"))) \
            if os.path.isdir(os.path.join(CONFIG_DIR, "config")) else None
        self.assertEqual(config_files_before, after)

    def test_missing_ini(self):
        self.start_server(ini=None)
        self.check_serves_and_writes_nothing_else([])

    def test_missing_config_directory(self):
        write_config("")
        shutil.rmtree(CONFIG_DIR)
        self.httpd.restart()
        self.check_serves_and_writes_nothing_else(None)

    def test_unreadable_ini(self):
        write_config("disgzip=0\n")
        os.chmod(os.path.join(CONFIG_DIR, "rizururuzarida.ini"), 0)
        self.httpd.restart()
        # Unreadable means missing: disgzip takes its default 1.
        self.check_serves_and_writes_nothing_else([])

    def test_missing_log_directory(self):
        write_config("")
        shutil.rmtree(LOG_DIR)
        self.httpd.restart(wait=False)
        r = self.httpd.get("/cgi/env.cgi", headers=AE)
        self.assertEqual(200, r.status)
        self.assertNotIn("HTTP_ACCEPT_ENCODING", seen_headers(r))
        self.assertFalse(os.path.exists(LOG_DIR))

    def test_binary_long_lines_crlf_and_no_final_newline(self):
        ini = (b"\x00\xff\xfe\x80binary\x01\x02=\x03\r\n" + b"x" * 5000 + b"\r\n"
               b"chkgetkeyword=1\r\nblockip=1\r\ndisgzip=1")
        files = {"getkeyb.txt": b"\xff\xfe\x81\n" + b"k" * 5000 + b"\n\x00\x00word\r\nok",
                 "blockip.txt": b"\x00\n" + b"9" * 5000 + b"\n10.9.9.9"}
        self.start_server(ini=ini, files=files)
        self.check_serves_and_writes_nothing_else(["blockip.txt", "getkeyb.txt"])

    def test_directory_where_files_are_expected(self):
        write_config("chkgetkeyword=1\nblockip=1\n")
        for name in ("getkeyb.txt", "blockip.txt", "blockipshow.txt", "scriptname.txt"):
            os.makedirs(os.path.join(CONFIG_DIR, "config", name))
        self.httpd.restart()
        self.check_serves_and_writes_nothing_else(
            ["blockip.txt", "blockipshow.txt", "getkeyb.txt", "scriptname.txt"])
