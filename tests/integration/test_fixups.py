"""Request screening in a real server: the fixups hook with every check, the
built-in pages, SQL fragments, and hostile request lines and headers."""

import os

from rizu_httpd import CGI_SCRIPT, ServerTestCase, for_each_mpm, gbk, html_log, records

GB2312 = "text/html; charset=gb2312"


@for_each_mpm
class FixupsTest(ServerTestCase):

    def serve(self, ini, files=None, **kw):
        pages = {"x.php": CGI_SCRIPT, "dir/index.html": "<p>dir</p>", "private/s.html": "<p>s</p>",
                 "public/p.html": "<p>p</p>"}
        pages.update(kw.pop("pages", {}))
        return self.start_server(ini=ini, files=files or {}, pages=pages, **kw)

    def assertPage(self, resp, message):
        self.assertEqual(200, resp.status)
        self.assertEqual(GB2312, resp.header("Content-Type"))
        self.assertIn(gbk(message), resp.body)

    def test_method_check(self):
        h = self.serve("chkreqmet=1\n")
        r = h.request("OPTIONS", "/index.html")
        self.assertPage(r, "当前服务器不允许此HTTP方法(OPTIONS)，暂时无法访问！")
        self.assertEqual(2, r.body.count(b"(OPTIONS)"))  # the visible line and the script comment
        self.assertPage(h.request("PUT", "/index.html", body=b"x"), "(PUT)")
        self.assertEqual(200, h.get("/index.html").status)
        self.assertEqual(200, h.request("HEAD", "/index.html").status)
        recs = records()
        self.assertEqual(2, len(recs))
        self.assertEqual([gbk("拦截"), b"HTTP_TYPE", b"OPTIONS"], recs[0][2:5])
        self.assertIn(gbk("本次拦截关键字：OPTIONS<br>"), html_log())

    def test_exempt_client_skips_every_check(self):
        # The request checks, and the screening of responses and bodies.
        h = self.serve("chkreqmet=1\ngcliip=1\nblockip=1\nurllen=5\nChkGetKeyWord=1\n"
                       "BlockGetKeyWord=1\nChkPostKeyWord=1\nBlockPostKeyWord=1\n",
                       {"gcliip.txt": "127.0.0.*\n", "blockip.txt": "127.0.0.1\n",
                        "scriptname.txt": ".html\n.php\n", "getkeyc.txt": "禁词\n",
                        "postkeyc.txt": "禁词\n", "getshow.txt": "blocked", "postshow.txt": "blocked"},
                       pages={"k.html": "<p>禁词</p>"})
        r = h.request("OPTIONS", "/index.html")
        self.assertNotIn(gbk("HTTP方法"), r.body)
        self.assertEqual(200, h.get("/index.html").status)
        self.assertEqual(gbk("<p>禁词</p>"), h.get("/k.html").body)
        r = h.post("/x.php", gbk("禁词"), content_type="text/plain")
        self.assertEqual(gbk("禁词"), r.body.split(b"--body--\n", 1)[1])
        self.assertEqual([], records())

    def test_address_length_at_its_bound(self):
        # "127.0.0.1" + "/index.html" is 20 bytes; "?a=1" makes 24.
        h = self.serve("urllen=24\n")
        self.assertEqual(b"<html><body>hello</body></html>\n", h.get("/index.html?a=1").body)
        r = h.get("/index.html?a=12")
        self.assertPage(r, "当前URL超过24个字符，暂时无法访问！")
        self.assertEqual(2, r.body.count(gbk("超过24个字符")))
        self.assertEqual([], records())  # nothing is logged

    def test_declared_post_size_at_its_bound(self):
        h = self.serve("postsize=100\n")
        r = h.post("/x.php", b"a" * 100, content_type="text/plain")
        self.assertIn(b"--body--", r.body)
        self.assertPage(h.post("/x.php", b"a" * 101, content_type="text/plain"),
                        "当前发送的内容超过100字节，暂时无法发送！")
        # A GET with a large declared body is not checked.
        r = h.request("GET", "/x.php", body=b"b" * 200)
        self.assertIn(b"--body--", r.body)

    def test_client_block_and_allow_lists(self):
        page = "<p>地址 {!blockip!} 被禁止 {!blockip!}</p>"
        h = self.serve("blockip=1\n", {"blockip.txt": "10.0.0.1\n127.0.0.*\n", "blockipshow.txt": page})
        r = h.get("/index.html")
        self.assertEqual(gbk("<p>地址 127.0.0.1 被禁止 127.0.0.1</p>"), r.body)
        self.assertEqual(GB2312, r.header("Content-Type"))
        h = self.serve("blockip=2\n", {"blockip.txt": "", "blockipshow.txt": page})
        self.assertIn(gbk("127.0.0.1"), h.get("/index.html").body)  # allow-only, empty list
        h = self.serve("blockip=2\n", {"blockip.txt": "127.0.0.1\n"})
        self.assertEqual(b"<html><body>hello</body></html>\n", h.get("/index.html").body)
        # A plain entry is a whole address, not a prefix.
        h = self.serve("blockip=1\n", {"blockip.txt": "127.0.0.10\n"})
        self.assertEqual(b"<html><body>hello</body></html>\n", h.get("/index.html").body)

    def test_post_client_list_applies_to_every_method(self):
        h = self.serve("postip=1\n", {"postip.txt": "127.0.0.1\n", "postipshow.txt": "no {!postip!}"})
        self.assertEqual(b"no 127.0.0.1", h.get("/index.html").body)

    def test_domain_allow_and_block_lists(self):
        files = {"beianbaidn.txt": "allowed.example\n*.good.example\n", "beianbaishow.txt": "bad host {!dn!}",
                 "beianheidn.txt": "evil.example\n", "beianheishow.txt": "blocked {!dn!}"}
        h = self.serve("chkbeianbaidn=1\n", files)
        self.assertEqual(b"bad host 127.0.0.1", h.get("/index.html").body)
        self.assertEqual(200, h.get("/index.html", headers={"Host": "ALLOWED.example"}).status)
        self.assertEqual(b"<html><body>hello</body></html>\n",
                         h.get("/index.html", headers={"Host": "www.good.example"}).body)
        self.assertEqual(b"bad host good.example", h.get("/index.html", headers={"Host": "good.example"}).body)
        # HTTP/1.0 without a host name passes.
        r = h.get("/index.html", version="HTTP/1.0", host=False)
        self.assertEqual(b"<html><body>hello</body></html>\n", r.body)
        h = self.serve("chkbeianheidn=1\n", files)
        self.assertEqual(b"blocked evil.example", h.get("/index.html", headers={"Host": "evil.example"}).body)
        self.assertEqual(200, h.get("/index.html").status)
        h = self.serve("chkbeianheidn=1\n", dict(files, **{"beianheishow.txt": "no placeholder"}))
        self.assertEqual(b"no placeholder", h.get("/index.html", headers={"Host": "evil.example"}).body)

    def test_sql_fragments_in_query_and_cookie(self):
        files = {"blocksql.txt": "union\n*drop*table*\n"}
        h = self.serve("blocksql=1\n", files)
        msg = "当前URL或COOKIES中包含特定的SQL语句，暂时无法访问！"
        self.assertPage(h.get("/x.php?id=1%20union"), msg)
        self.assertPage(h.get("/x.php?q=DROP%20TABLE"), msg)  # wildcard: case ignored
        self.assertIn(b"--body--", h.get("/x.php?id=UNION1").body)  # plain: case kept
        self.assertIn(b"--body--", h.get("/x.php?u%6eion").body)  # encoded: not decoded
        self.assertIn(b"--body--", h.get("/x.php?aunion").body)  # 6 bytes: never screened
        self.assertPage(h.get("/x.php?aaunion"), msg)  # 7 bytes: screened
        self.assertIn(b"<p>", h.get("/public/p.html?id=union").body)  # not a script
        self.assertPage(h.get("/dir/?x=union"), msg)  # a directory counts as a script
        self.assertPage(h.get("/x.php", headers={"Cookie": "sid=union"}), msg)
        self.assertEqual(5, len(records()))
        self.assertTrue(all(r[3] in (b"SQL_URL", b"SQL_COOKIES") for r in records()))

    def test_sql_record_mode_and_exemptions(self):
        files = {"blocksql.txt": "union\n", "blocksqldnurl.txt": "127.0.0.1/free\n"}
        h = self.serve("blocksql=2\nblocksqldnurl=1\n", files, pages={"free.php": CGI_SCRIPT})
        r = h.get("/x.php?a=union", headers={"Cookie": "c=union1"})
        self.assertIn(b"--body--", r.body)
        recs = records()
        self.assertEqual([b"SQL_URL", b"SQL_COOKIES"], [x[3] for x in recs])
        self.assertTrue(all(x[2] == gbk("记录") for x in recs))
        h.get("/free.php?a=union")
        self.assertEqual(2, len(records()))
        h = self.serve("blocksql=1\nblocksqlcookies=0\n", files)
        self.assertIn(b"--body--", h.get("/x.php", headers={"Cookie": "c=union1"}).body)

    def test_url_and_file_path_lists(self):
        docroot = self.httpd.docroot
        files = {"blockurl.txt": "127.0.0.1/public/\n*secret*\n/public/\n",
                 "keyfilepath.txt": (docroot + "/PRIVATE\n").replace("\\", "/")}
        h = self.serve("blockurl=1\nblockfilepath=1\n", files)
        msg = "当前URL中包含特定的URL语句，暂时无法访问！"
        self.assertPage(h.get("/public/p.html"), msg)
        self.assertPage(h.get("/index.html?secret=1"), msg)
        r = h.get("/private/s.html")
        self.assertPage(r, "当前试图访问特定的文件目录（%s/private）而被防火墙禁止！" % docroot.lower())
        self.assertEqual(b"<p>dir</p>", h.get("/dir/").body)
        recs = records()
        self.assertEqual([(gbk("拦截"), b"URL"), (gbk("拦截"), b"URL"), (gbk("拦截"), b"DIR")],
                         [(x[2], x[3]) for x in recs])
        # Record mode: the first URL entry is logged and the path list is met too.
        h = self.serve("blockurl=2\nblockfilepath=2\n",
                       dict(files, **{"blockurl.txt": "127.0.0.1/private\n127.0.0.1/priv\n"}))
        self.assertEqual(b"<p>s</p>", h.get("/private/s.html").body)
        recs = records()
        self.assertEqual([b"URL", b"DIR"], [x[3] for x in recs])
        self.assertEqual(b"127.0.0.1/private", recs[0][4])

    def test_first_check_that_blocks_stops_the_rest(self):
        h = self.serve("chkreqmet=1\nurllen=10\nblockurl=1\n", {"blockurl.txt": "*\n"})
        self.assertPage(h.request("DELETE", "/index.html"), "(DELETE)")
        self.assertPage(h.get("/index.html"), "超过10个字符")
        self.assertEqual(1, len(records()))  # only the method event

    def test_hostile_request_lines_and_headers(self):
        h = self.serve("chkreqmet=1\nurllen=9000\nblocksql=1\nblockurl=2\nblockfilepath=2\npostsize=10\n",
                       {"blocksql.txt": "union\n", "blockurl.txt": "*%*\n*\n", "keyfilepath.txt": "/\n"})
        long_path = "/" + "a" * 7000 + ".php"
        self.assertIn(h.get(long_path).status, (200, 403, 404, 414))
        self.assertIn(h.get("/x.php?" + "q" * 8000).status, (200, 414))
        r = h.get("/x.php", headers={"Cookie": "c=" + "x" * 8100 + "union"})
        self.assertIn(r.status, (200, 400))
        r = h.request("POST", "/x.php", headers={"Content-Length": "abc"}, body=None)
        self.assertIn(r.status, (200, 400))
        self.assertIn(h.request("gEt", "/index.html").status, (200, 405, 501))
        for path in ("/a%0d%0ab.html", "/a%09b%01c.html", "/%3Csvg%20onload%3Dx%3E.php", "/a%00b.html"):
            self.assertIn(h.get(path).status, (200, 400, 403, 404))
        # Every record is still one line of eighteen fields.
        for rec in records():
            self.assertEqual(19, len(rec))
        self.assertNotIn(b"<svg", html_log())
        # Nothing was written outside the log directory.
        from rizu_httpd import CONFIG_DIR
        self.assertEqual(["config", "rizururuzarida.ini"], sorted(os.listdir(CONFIG_DIR)))
