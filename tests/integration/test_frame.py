"""The module loaded into a real apache2: Accept-Encoding handling, bodies
passing both filters, and loads of broken configurations."""

import os
import shutil

from rizu_httpd import CONFIG_DIR, LOG_DIR, ServerTestCase, for_each_mpm, write_config

AE = {"Accept-Encoding": "gzip, deflate"}


def seen_headers(resp):
    text = resp.body.decode("latin-1")
    return text.split("--body--")[0]


@for_each_mpm
class FrameTest(ServerTestCase):

    def test_accept_encoding_removed_unless_disgzip_is_0(self):
        for ini, kept in (("", False), ("disgzip=1\n", False), ("[main]\n disgzip = 0 \n", True)):
            with self.subTest(ini=ini):
                h = self.start_server(ini=ini)
                seen = seen_headers(h.get("/cgi/env.cgi", headers=AE))
                if kept:
                    self.assertIn("HTTP_ACCEPT_ENCODING=gzip, deflate", seen)
                else:
                    self.assertNotIn("HTTP_ACCEPT_ENCODING", seen)
                self.assertIn("HTTP_HOST=127.0.0.1", seen)

    def test_post_body_passes_both_filters_unchanged(self):
        h = self.start_server(ini="")
        for body in (b"a=1&b=2", bytes(range(256)) * 40, b"\x00" * 5000 + b"tail",
                     "中文内容".encode("gbk") * 3000):
            r = h.post("/cgi/env.cgi", body, content_type="application/octet-stream")
            self.assertEqual(200, r.status)
            echoed = r.body.split(b"--body--\n", 1)[1]
            self.assertEqual(body, echoed)


@for_each_mpm
class BrokenConfigurationTest(ServerTestCase):
    """Whatever state the configuration is in, the load goes on and the
    server serves; the module writes nothing but its status page."""

    def test_broken_configurations(self):
        def unreadable_ini():
            # Unreadable means missing: disgzip takes its default 1.
            write_config("disgzip=0\n")
            os.chmod(os.path.join(CONFIG_DIR, "rizururuzarida.ini"), 0)

        def directories():
            write_config("chkgetkeyword=1\nblockip=1\n")
            for name in ("getkeyb.txt", "blockip.txt", "blockipshow.txt", "scriptname.txt"):
                os.makedirs(os.path.join(CONFIG_DIR, "config", name))

        binary_ini = (b"\x00\xff\xfe\x80binary\x01\x02=\x03\r\n" + b"x" * 5000 + b"\r\n"
                      b"chkgetkeyword=1\r\nblockip=1\r\ndisgzip=1")
        binary_files = {"getkeyb.txt": b"\xff\xfe\x81\n" + b"k" * 5000 + b"\n\x00\x00word\r\nok",
                        "blockip.txt": b"\x00\n" + b"9" * 5000 + b"\n10.9.9.9"}
        # (what, how it is made, the configuration files it leaves, or None
        # for no configuration directory)
        cases = [
            ("missing INI", lambda: write_config(None), []),
            ("missing configuration directory",
             lambda: (write_config(""), shutil.rmtree(CONFIG_DIR)), None),
            ("unreadable INI", unreadable_ini, []),
            ("binary bytes, long lines, CR LF and no final newline",
             lambda: write_config(binary_ini, binary_files), ["blockip.txt", "getkeyb.txt"]),
            ("directories where files are expected", directories,
             ["blockip.txt", "blockipshow.txt", "getkeyb.txt", "scriptname.txt"]),
            ("missing log directory", lambda: (write_config(""), shutil.rmtree(LOG_DIR)), []),
        ]
        h = self.httpd
        for what, make, config_files in cases:
            with self.subTest(what):
                make()
                log_dir = os.path.exists(LOG_DIR)
                h.restart(wait=log_dir)
                r = h.get("/cgi/env.cgi", headers=AE)
                self.assertEqual(200, r.status)
                self.assertNotIn("HTTP_ACCEPT_ENCODING", seen_headers(r))
                self.assertEqual(200, h.get("/index.html").status)
                if log_dir:
                    self.assertEqual(["rizururuzarida_config.html"], sorted(os.listdir(LOG_DIR)))
                else:
                    self.assertFalse(os.path.exists(LOG_DIR))
                config = os.path.join(CONFIG_DIR, "config")
                self.assertEqual(config_files,
                                 sorted(os.listdir(config)) if os.path.isdir(config) else None)
