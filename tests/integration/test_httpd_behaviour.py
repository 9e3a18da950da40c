"""The server's own behaviour with the module in it: sub-requests and
internal redirects, TRACE, block pages that are whole and never cached, the
client address behind a trusted proxy, scripts with path info, and
compression for clients that ask for it."""

import gzip
import os
import re

from rizu_httpd import (MODULES, ECHO_SCRIPT, Httpd, ServerTestCase, for_each_mpm, gbk, records,
                        write_config)

GB2312 = "text/html; charset=gb2312"
BLOCK_PAGE = "<html><body>含有禁止的关键字：{!getkey!}</body></html>"
POST_PAGE = "<html><body>提交的内容含有：{!postkey!}</body></html>"
KEYWORD_FILES = {
    "scriptname.txt": ".html\n.php\n",
    "getkeyc.txt": "禁词\n",
    "postkeyc.txt": "禁帖\n",
    "getshow.txt": BLOCK_PAGE,
    "postshow.txt": POST_PAGE,
}
KEYWORD_INI = "ChkGetKeyWord=1\nBlockGetKeyWord=1\nBlockPostKeyWord=1\n"

# A CGI script that serves a file of its directory as text/html.
CAT_SCRIPT = """#!/bin/sh
printf 'Content-Type: text/html; charset=gbk\\r\\n\\r\\n'
cat %s
"""
# A CGI script that names its own validator, so that the server would
# answer a matching If-None-Match with 304 without the body.
ETAG_SCRIPT = """#!/bin/sh
printf 'Content-Type: text/html; charset=gbk\\r\\nETag: "v1"\\r\\n\\r\\n'
cat blocked.html
"""


COMMON = ("的一是在不了有和人这中大为上个国我以要他时来用们生到作地于出就分对成会可主发年动同工"
          "也能下过子说产种面而方后多定行学法所民得经十三之进着等部度家电力里如水化高自二理起小"
          "物现实加量都两体制机当使点从业本去把性好应开它合还因由其些然前外天政四日那社义事平形"
          "相全表间样与关各重新线内数正心反你明看原又么利比或但质气第向道命此变条只没结解问意建")


def gbk_page(size, middle=""):
    """About `size` bytes of GBK text in an HTML page, in paragraphs of
    characters drawn with a fixed seed, so that it compresses like prose."""
    import random
    rnd = random.Random(17)
    parts, n = [], 0
    while n < size:
        p = "<p>%s。</p>\n" % "".join(rnd.choice(COMMON) for _ in range(rnd.randint(20, 80)))
        parts.append(p)
        n += len(gbk(p))
    parts.insert(len(parts) // 2, middle)
    return "<html><head><title>页面</title></head><body>\n%s</body></html>\n" % "".join(parts)


CLEAN = gbk_page(8000)
BLOCKED = gbk_page(8000, "<p>这里有禁词出现</p>")
BIG_CLEAN = gbk_page(64 * 1024)
BIG_BLOCKED = gbk_page(64 * 1024, "<p>这里有禁词出现</p>")

PAGES = {
    "clean.html": CLEAN,
    "blocked.html": BLOCKED,
    "big.txt": BIG_CLEAN,
    "bigblocked.txt": BIG_BLOCKED,
    "big.php": CAT_SCRIPT % "big.txt",
    "bigblocked.php": CAT_SCRIPT % "bigblocked.txt",
    "page.php": CAT_SCRIPT % "blocked.html",
    "etag.php": ETAG_SCRIPT,
    "echo.php": ECHO_SCRIPT,
    "dir/index.html": "<p>dir index</p>\n",
    "list/a.html": "<p>a</p>\n",
    "list/b.html": "<p>b</p>\n",
    "list/c.txt": "c\n",
    "list/d.txt": "d\n",
    "err.html": "<p>not here</p>\n",
    "rw/new.html": "<p>new</p>\n",
    "deny/p.html": "<p>p</p>\n",
}


def server_conf(docroot, module):
    """Modules and directives of both servers; the module's filters at the
    server's top level."""
    lines = ["LoadModule %s_module %s/mod_%s.so" % (m, MODULES, m)
             for m in ("autoindex", "remoteip", "filter", "deflate", "brotli", "rewrite",
                       "authz_host")]
    lines += [
        "RemoteIPHeader X-Forwarded-For",
        "RemoteIPTrustedProxy 127.0.0.1",
        "AddOutputFilterByType DEFLATE text/html",
        "AddOutputFilterByType BROTLI_COMPRESS text/html",
        "ErrorDocument 404 /err.html",
        "TraceEnable on",
        "<Directory %s/list>" % docroot,
        "  Options +Indexes",
        "</Directory>",
        "<Directory %s/rw>" % docroot,
        "  RewriteEngine On",
        "  RewriteBase /rw/",
        "  RewriteRule ^old\\.html$ new.html",
        "</Directory>",
        "<Directory %s/deny>" % docroot,
        "  <RequireAll>",
        "    Require all granted",
        "    Require not ip 203.0.113.7",
        "  </RequireAll>",
        "</Directory>",
    ]
    if module:
        lines += ["SetOutputFilter o-kvr-resource-1", "SetInputFilter i-kvr-resource-1"]
    return "\n".join(lines) + "\n"


def inflate(resp):
    enc = resp.header("Content-Encoding")
    if enc == "gzip":
        return gzip.decompress(resp.body)
    if enc is None:
        return resp.body
    raise AssertionError("unexpected encoding %s" % enc)


@for_each_mpm
class HttpdBehaviourTest(ServerTestCase):

    def serve(self, ini="", files=None):
        merged = dict(KEYWORD_FILES)
        merged.update(files or {})
        h = self.httpd
        return self.start_server(ini=KEYWORD_INI + ini, files=merged, pages=PAGES, filters=False,
                                 extra_conf=server_conf(h.docroot, True))

    def assertWholeBlockPage(self, resp, body):
        self.assertEqual(200, resp.status, resp)
        self.assertEqual(gbk(body), inflate(resp))
        self.assertEqual("no-store", resp.header("Cache-Control"))
        for name in ("ETag", "Last-Modified", "Accept-Ranges", "Content-Range", "Expires"):
            self.assertIsNone(resp.header(name), name)

    def assertGetBlocked(self, resp):
        self.assertWholeBlockPage(resp, "<html><body>含有禁止的关键字：禁词</body></html>")

    # --- sub-requests and internal redirects -----------------------------
    def test_index_lookup_is_not_screened_as_the_client_request(self):
        # "127.0.0.1/dir/" is 14 bytes; httpd's lookup of /dir/index.html is
        # longer, but the client asked for the directory.
        h = self.serve("urllen=14\n")
        r = h.get("/dir/")
        self.assertEqual(200, r.status)
        self.assertEqual(b"<p>dir index</p>\n", inflate(r))
        self.assertIn(gbk("URL长度超过限制"), h.get("/dir/index.html").body)

    def test_listing_entries_are_neither_screened_nor_logged(self):
        h = self.serve("blockurl=2\nblockfilepath=2\n",
                       {"blockurl.txt": "127.0.0.1/*\n", "keyfilepath.txt": "*list*\n"})
        r = h.get("/list/")
        self.assertEqual(200, r.status)
        listing = inflate(r)
        for name in (b"a.html", b"b.html", b"c.txt", b"d.txt"):
            self.assertIn(name, listing)
        recs = records()
        # One URL record for the client's address; a directory has no file
        # path to screen, and the four entries nobody requested write nothing.
        self.assertEqual([[b"URL", gbk("记录"), b"/list/"]], [[x[3], x[2], x[11]] for x in recs])

    def test_error_document_is_not_screened_and_a_rewrite_is(self):
        h = self.serve("blockurl=1\n", {"blockurl.txt": "127.0.0.1/err.html\n127.0.0.1/rw/new.html\n"})
        r = h.get("/missing.html")
        self.assertEqual(404, r.status)
        self.assertEqual(b"<p>not here</p>\n", r.body)
        # A rewrite chooses what runs: its target meets the lists.
        self.assertIn(gbk("禁止URL语句"), h.get("/rw/old.html").body)
        self.assertEqual([b"/rw/new.html"], [x[11] for x in records()])

    # --- TRACE ------------------------------------------------------------
    def test_trace_is_refused_like_any_listed_method(self):
        h = self.serve("chkreqmet=1\n")
        r = h.request("TRACE", "/clean.html")
        self.assertEqual(200, r.status)
        self.assertEqual(GB2312, r.header("Content-Type"))
        self.assertIn(gbk("当前服务器不允许此HTTP方法(TRACE)，暂时无法访问！"), r.body)
        self.assertNotIn(b"TRACE /clean.html", r.body)
        self.assertEqual([[gbk("拦截"), b"HTTP_TYPE", b"TRACE"]], [x[2:5] for x in records()])

    def test_trace_of_an_exempt_client_or_without_the_method_check_is_echoed(self):
        for ini, files in (("chkreqmet=1\ngcliip=1\n", {"gcliip.txt": "127.0.0.1\n"}),
                           ("chkreqmet=0\n", {})):
            h = self.serve(ini, files)
            r = h.request("TRACE", "/clean.html")
            self.assertEqual(200, r.status)
            self.assertEqual("message/http", r.header("Content-Type"))
            self.assertTrue(r.body.startswith(b"TRACE /clean.html HTTP/1.1"), r.body)
            self.assertEqual([], records())

    # --- block pages ------------------------------------------------------
    def test_block_pages_are_whole_and_never_cached_for_ranges_and_validators(self):
        h = self.serve()
        head = h.request("HEAD", "/blocked.html")  # HEAD is not screened
        etag, modified = head.header("ETag"), head.header("Last-Modified")
        self.assertTrue(etag and modified)
        for headers in ({"Range": "bytes=0-10"}, {"Range": "bytes=100000-"},
                        {"If-None-Match": etag}, {"If-Modified-Since": modified},
                        {"If-None-Match": etag, "Range": "bytes=0-10"},
                        {"Accept-Encoding": "gzip", "If-None-Match": etag}):
            with self.subTest(headers=headers):
                self.assertGetBlocked(h.get("/blocked.html", headers=headers))
        # A script's own validator: the server would answer 304 for it.
        self.assertGetBlocked(h.get("/etag.php", headers={"If-None-Match": '"v1"'}))

    def test_clean_pages_keep_ranges_and_conditional_answers(self):
        h = self.serve()
        head = h.request("HEAD", "/clean.html")
        etag, modified = head.header("ETag"), head.header("Last-Modified")
        r = h.get("/clean.html", headers={"Range": "bytes=0-10"})
        self.assertEqual(206, r.status)
        self.assertEqual(gbk(CLEAN)[:11], r.body)
        for headers in ({"If-None-Match": etag}, {"If-Modified-Since": modified}):
            r = h.get("/clean.html", headers=headers)
            self.assertEqual(304, r.status)
            self.assertEqual(b"", r.body)
            self.assertEqual(etag, r.header("ETag"))
        self.assertEqual(200, h.get("/clean.html", headers={"If-None-Match": '"other"'}).status)

    def test_request_check_and_post_pages_are_whole_and_never_cached(self):
        h = self.serve("blockurl=1\n", {"blockurl.txt": "127.0.0.1/clean.html\n"})
        r = h.get("/clean.html", headers={"Range": "bytes=0-10"})
        self.assertEqual(200, r.status)
        self.assertIn(gbk("禁止URL语句"), r.body)
        self.assertTrue(r.body.endswith(b"</html>\r\n"))
        self.assertEqual("no-store", r.header("Cache-Control"))
        self.assertIsNone(r.header("Accept-Ranges"))
        r = h.post("/echo.php?text/html", gbk("内容=禁帖"), headers={"Range": "bytes=0-5"})
        self.assertWholeBlockPage(r, "<html><body>提交的内容含有：禁帖</body></html>")

    # --- the client address behind a trusted proxy --------------------------
    def test_client_lists_and_logs_use_the_forwarded_client_address(self):
        h = self.serve("blockip=1\nblockurl=2\n",
                       {"blockip.txt": "203.0.113.7\n", "blockipshow.txt": "拒绝{!blockip!}",
                        "blockurl.txt": "127.0.0.1/dir/*\n"})
        r = h.get("/dir/index.html", headers={"X-Forwarded-For": "203.0.113.7"})
        self.assertEqual(gbk("拒绝203.0.113.7"), r.body)
        for headers in ({}, {"X-Forwarded-For": "198.51.100.9"}):
            self.assertEqual(b"<p>dir index</p>\n", h.get("/dir/index.html", headers=headers).body)
        self.assertEqual([b"127.0.0.1", b"198.51.100.9"], [x[5] for x in records()])
        # httpd's own access control sees the same client.
        r = h.get("/deny/p.html", headers={"X-Forwarded-For": "203.0.113.7"})
        self.assertEqual(403, r.status)
        r = h.get("/deny/p.html", headers={"X-Forwarded-For": "198.51.100.9"})
        self.assertEqual(200, r.status)

    def test_exempt_forwarded_client_keeps_accept_encoding(self):
        h = self.serve("gcliip=1\n", {"gcliip.txt": "203.0.113.7\n"})
        hdrs = {"Accept-Encoding": "gzip", "X-Forwarded-For": "203.0.113.7"}
        self.assertIn(b"HTTP_ACCEPT_ENCODING=gzip", h.get("/cgi/env.cgi", headers=hdrs).body)
        hdrs["X-Forwarded-For"] = "198.51.100.9"
        self.assertNotIn(b"HTTP_ACCEPT_ENCODING", h.get("/cgi/env.cgi", headers=hdrs).body)

    # --- path info ----------------------------------------------------------
    def test_path_info_does_not_hide_a_script(self):
        h = self.serve("blocksql=1\n", {"blocksql.txt": "union\n"})
        self.assertGetBlocked(h.get("/page.php/x"))
        self.assertGetBlocked(h.get("/page.php/x.png"))
        r = h.post("/echo.php/x?text/plain", gbk("内容=禁帖"))
        self.assertWholeBlockPage(r, "<html><body>提交的内容含有：禁帖</body></html>")
        self.assertIn(gbk("禁止SQL语句"), h.get("/big.php/x?id=1%20union").body)

    # --- compression --------------------------------------------------------
    def test_screened_responses_are_compressed_for_clients_that_ask(self):
        h = self.serve()
        r = h.get("/big.php", headers={"Accept-Encoding": "gzip"})
        self.assertEqual(200, r.status)
        self.assertEqual("gzip", r.header("Content-Encoding"))
        self.assertEqual(gbk(BIG_CLEAN), gzip.decompress(r.body))
        plain = h.get("/big.php")
        self.assertIsNone(plain.header("Content-Encoding"))
        print("\n64 KiB GBK page: %d bytes plain, %d gzip (x%.2f)"
              % (len(plain.body), len(r.body), len(plain.body) / len(r.body)))
        self.assertGetBlocked(h.get("/bigblocked.php", headers={"Accept-Encoding": "gzip"}))
        r = h.get("/big.php", headers={"Accept-Encoding": "br"})
        self.assertEqual("br", r.header("Content-Encoding"))
        self.assertLess(len(r.body), len(plain.body))
        # The handler still never sees the header.
        r = h.get("/cgi/env.cgi", headers={"Accept-Encoding": "gzip, br"})
        self.assertNotIn(b"HTTP_ACCEPT_ENCODING", r.body)
        self.assertIn(b"REQUEST_METHOD=GET", r.body)


class SameAsWithoutModuleTest(ServerTestCase):
    """The server's own answers for compression, ranges, conditional
    requests, directory indexes and TRACE, with the module loaded (its
    filters at the top level, disgzip=1, keyword checks on) and without."""

    @classmethod
    def setUpClass(cls):
        write_config(KEYWORD_INI + "disgzip=1\n", KEYWORD_FILES)
        cls.httpd = Httpd(name="with-module", filters=False)
        cls.plain = Httpd(name="without-module", filters=False, module=False)
        for h in (cls.httpd, cls.plain):
            h.extra_conf = server_conf(h.docroot, h.module)
            h.start()
            for name, content in PAGES.items():
                h.page(name, content, 0o755 if name.endswith(".php") else 0o644)
            # Both servers' files carry the same times, so that validators
            # and listings are alike.
            for name in PAGES:
                os.utime(os.path.join(h.docroot, name), (1700000000, 1700000000))

    @classmethod
    def tearDownClass(cls):
        cls.httpd.stop()
        cls.plain.stop()

    # The framing may differ: a screened response that arrives slowly goes
    # on in pieces, and is then sent chunked.
    IGNORED = {"date", "server", "keep-alive", "connection", "content-length", "transfer-encoding"}

    def exchange(self, h, method, path, headers):
        r = h.request(method, path, headers=headers)
        kept = sorted((k.lower(), v) for k, v in r.headers if k.lower() not in self.IGNORED)
        # Each multipart answer has a boundary of its own.
        boundary = re.search(r"boundary=(\w+)", r.header("Content-Type", ""))
        # Compressed in pieces the bytes differ; what they hold may not.
        body = gzip.decompress(r.body) if r.header("Content-Encoding") == "gzip" else r.body
        if boundary:
            body = body.replace(boundary.group(1).encode(), b"BOUNDARY")
            kept = [(k, v.replace(boundary.group(1), "BOUNDARY")) for k, v in kept]
        return r.status, kept, body

    def test_same_answers(self):
        etag = self.plain.request("HEAD", "/clean.html").header("ETag")
        modified = self.plain.request("HEAD", "/clean.html").header("Last-Modified")
        cases = [
            ("GET", "/clean.html", {}),
            ("GET", "/clean.html", {"Accept-Encoding": "gzip"}),
            ("GET", "/clean.html", {"Accept-Encoding": "br"}),
            ("GET", "/big.php", {"Accept-Encoding": "gzip"}),
            ("GET", "/clean.html", {"Range": "bytes=0-10"}),
            ("GET", "/clean.html", {"Range": "bytes=0-10,20-30"}),
            ("GET", "/clean.html", {"Range": "bytes=100000-"}),
            ("GET", "/clean.html", {"Range": "bytes=0-10", "If-Range": etag}),
            ("GET", "/clean.html", {"Range": "bytes=0-10", "If-Range": '"old"'}),
            ("GET", "/clean.html", {"If-None-Match": etag}),
            ("GET", "/clean.html", {"If-None-Match": etag, "Accept-Encoding": "gzip"}),
            ("GET", "/clean.html", {"If-Modified-Since": modified}),
            ("GET", "/clean.html", {"If-None-Match": '"other"'}),
            ("GET", "/clean.html", {"If-Match": '"other"'}),
            ("HEAD", "/clean.html", {"If-None-Match": etag}),
            ("GET", "/dir/", {}),
            ("GET", "/dir", {}),
            ("GET", "/list/", {}),
            ("GET", "/list/?C=M;O=D", {"Accept-Encoding": "gzip"}),
            ("GET", "/missing.html", {}),
            ("TRACE", "/clean.html", {"X-Test": "1"}),
        ]
        for method, path, headers in cases:
            with self.subTest(method=method, path=path, headers=headers):
                want = self.exchange(self.plain, method, path, headers)
                got = self.exchange(self.httpd, method, path, headers)
                if path.startswith("/list/") or path == "/dir":
                    # The listing and the redirect name each server's port.
                    want = (want[0], [x for x in want[1] if x[0] != "location"],
                            want[2].replace(str(self.plain.port).encode(), b"PORT"))
                    got = (got[0], [x for x in got[1] if x[0] != "location"],
                           got[2].replace(str(self.httpd.port).encode(), b"PORT"))
                self.assertEqual(want[:2], got[:2])
                self.assertEqual(want[2], got[2])
