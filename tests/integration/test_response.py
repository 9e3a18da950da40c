"""Response screening in a real server: the output filter, the response
keyword check, the GET block page and its log records."""

import os
import stat
import time

from rizu_httpd import (MODULES, ServerTestCase, clear_logs, for_each_mpm, gbk, html_log, log_files,
                        parse_responses, records)

BLOCK_PAGE = "<html><body>含有禁止的关键字：{!getkey!}{!url!}</body></html>"
BASE_INI = "ChkGetKeyWord=1\nBlockGetKeyWord=1\n"
BASE_FILES = {
    "scriptname.txt": ".html\n.cgi\n.htm\n",
    "getkeyc.txt": "禁词\n甲乙,丙丁\n一,二,三\nbadword\n",
    "getkeyb.txt": "记录词\nrecword\n",
    "getshow.txt": BLOCK_PAGE,
}


def page(body):
    return "<html><head><title>t</title></head><body>%s</body></html>" % body


@for_each_mpm
class ResponseTest(ServerTestCase):

    def serve(self, pages, ini=BASE_INI, files=None, extra_conf=""):
        merged = dict(BASE_FILES)
        merged.update(files or {})
        return self.start_server(ini=ini, files=merged, pages=pages, extra_conf=extra_conf)

    def assertBlocked(self, resp, key="禁词"):
        self.assertEqual(200, resp.status)
        self.assertEqual(gbk("<html><body>含有禁止的关键字：%s</body></html>" % key), resp.body)
        self.assertEqual("text/html; charset=gbk", resp.header("Content-Type"))

    def test_gbk_page_is_blocked_and_logged(self):
        body = page("这是正常的内容，" * 30 + "这里有禁词出现" + "后面的内容" * 30)
        h = self.serve({"a.html": body})
        r = h.get("/a.html")
        self.assertBlocked(r)
        self.assertEqual(str(len(r.body)), r.header("Content-Length"))
        recs = records()
        self.assertEqual(1, len(recs))
        rec = recs[0]
        self.assertEqual(19, len(rec))  # 18 fields and the empty rest after the last TAB
        self.assertEqual([gbk("拦截"), gbk("关键字"), gbk("禁词")], rec[2:5])
        self.assertEqual(b"GET", rec[7])
        self.assertEqual(b"/a.html", rec[11])
        self.assertIn(gbk("这里有禁词出现"), rec[17])
        log = html_log()
        self.assertIn(gbk("本次拦截关键字：禁词<br>"), log)
        self.assertIn(gbk("上下文："), log)
        for p in log_files("key*"):
            self.assertEqual(0o666, stat.S_IMODE(os.stat(p).st_mode))

    def test_utf8_page_is_blocked_with_the_gbk_key_and_logged_in_gbk(self):
        body = page("这是正常的内容，" * 30 + "这里有禁词出现")
        h = self.serve({"u.html": body.encode("utf-8")})
        self.assertBlocked(h.get("/u.html"))
        rec = records()[0]
        self.assertEqual(gbk("禁词"), rec[4])
        self.assertIn(gbk("禁词"), rec[17])  # the UTF-8 context is logged in GBK

    def test_pages_blocked_or_passed_and_their_events(self):
        # (what, page body, key that blocks or None, events as (action, key))
        block, rec = gbk("拦截"), gbk("记录")
        cases = [(t, "开头" + t + "结尾", "禁词", [(block, "禁词")])
                 for t in ("禁 词", "禁,词", "禁\r\n词", "禁&nbsp;词", "禁\t!?词")]
        cases += [
            ("capitals and blanks", "开头BAD word结尾", "badword", [(block, "badword")]),
            ("dashes", "开头b-a-d-w-o-r-d结尾", "badword", [(block, "badword")]),
            # An upper-case entity is not removed whole: its letters stay.
            ("upper-case entity", "禁&NBSP;词", None, []),
            ("record keyword", "普通内容" * 20 + "记录词" + "普通内容" * 20, None, [(rec, "记录词")]),
            ("record and block keyword: one block event", "记录词和禁词都在", "禁词",
             [(block, "禁词")]),
            ("one word of two", "只有甲乙在这里", None, []),
            ("two words far apart", "甲乙在前面，很远以后才有丙丁", "甲乙,丙丁", [(block, "甲乙,丙丁")]),
            ("three words in any order", "三在前，然后一，最后二", "一,二,三", [(block, "一,二,三")]),
            ("two words of three", "一和二但没有第3个", None, []),
        ]
        h = self.serve({})
        for i, (what, body, key, events) in enumerate(cases):
            with self.subTest(what):
                clear_logs()
                h.page("t%d.html" % i, page(body))
                r = h.get("/t%d.html" % i)
                if key:
                    self.assertBlocked(r, key)
                else:
                    self.assertEqual(gbk(page(body)), r.body)
                self.assertEqual([(a, gbk(k)) for a, k in events],
                                 [(x[2], x[4]) for x in records()])
        # A NUL byte early makes the page no text; a late one does not.
        for name, body, blocked in (("bin.html", b"ab\x00" + gbk("禁词") + b"x" * 2000, False),
                                    ("late.html", b"x" * 2000 + b"\x00" + gbk("禁词"), True)):
            h.page(name, body)
            r = h.get("/" + name)
            if blocked:
                self.assertBlocked(r)
            else:
                self.assertEqual(body, r.body)

    def test_exemption_list_and_script_test(self):
        files = {"getdna.txt": "127.0.0.1/free/\n*/wild*.html\n"}
        pages = {"free/a.html": page("禁词"), "wildcard.html": page("禁词"),
                 "x.txt": page("禁词"), "dir/index.html": page("禁词")}
        h = self.serve(pages, files=files)
        self.assertEqual(gbk(page("禁词")), h.get("/free/a.html").body)
        self.assertEqual(gbk(page("禁词")), h.get("/wildcard.html").body)
        self.assertEqual(gbk(page("禁词")), h.get("/x.txt").body)  # .txt is not a listed script
        self.assertBlocked(h.get("/dir/"))  # a directory counts as a script
        self.assertEqual(1, len(records()))

    def test_only_text_responses_to_get_are_examined(self):
        h = self.serve({"data.json": '{"k": "禁词"}'})
        h.page("j.html", page("禁词"))
        self.assertEqual(gbk('{"k": "禁词"}'), h.get("/data.json").body)
        r = h.request("HEAD", "/j.html")
        self.assertEqual(200, r.status)
        r = h.get("/cgi/echo.cgi?application/json", )
        self.assertEqual(200, r.status)
        body = gbk("返回禁词")
        r = h.post("/cgi/echo.cgi?text/html", body, content_type="text/plain")
        self.assertEqual(body, r.body)  # a POST response is not examined
        r = h.get("/cgi/echo.cgi?TEXT/HTML")
        self.assertEqual(200, r.status)
        self.assertEqual([], records())

    def test_block_page_without_template_is_empty(self):
        h = self.serve({"e.html": page("禁词")}, files={"getshow.txt": ""})
        r = h.get("/e.html")
        self.assertEqual(200, r.status)
        self.assertEqual(b"", r.body)
        self.assertEqual("0", r.header("Content-Length"))
        self.assertEqual(1, len(records()))

    def test_switches_off_examine_nothing(self):
        # A page of 40 KB passes the output filter unchanged.
        body = page("网页内容 " * 5000 + "禁词记录词")
        h = self.serve({"o.html": body}, ini="")
        self.assertEqual(gbk(body), h.get("/o.html").body)
        self.assertEqual([], records())

    def test_keyword_cut_by_buckets_and_brigades_is_found(self):
        # mod_bucketeer cuts the page at each 0x02 byte and passes the
        # brigade on at each 0x10: the keyword is found across every cut, and
        # the page still held is replaced whole.
        bucketeer = "<Location /bk>\n  SetOutputFilter BUCKETEER;o-kvr-resource-1\n</Location>\n"
        h = self.serve({"bk/split.html": gbk("前面的内容禁") + b"\x02" + gbk("词后面的内容"),
                        "bk/brigades.html": b"x" * 20 + b"\x10a" + gbk("禁") + b"\x10\x02" + gbk("词"),
                        "bk/tiny.html": b"a\x02b\x02c\x10d",
                        "bk/clean.html": gbk("禁") + b"\x02\x10" + gbk("止词")},
                       extra_conf=bucketeer, files={"getkeyc.txt": "禁词\nabcd\n"})
        self.assertBlocked(h.get("/bk/split.html"))
        self.assertBlocked(h.get("/bk/brigades.html"))
        self.assertBlocked(h.get("/bk/tiny.html"), "abcd")  # four pieces of one byte
        self.assertEqual(gbk("禁止词"), h.get("/bk/clean.html").body)
        self.assertEqual(3, len(records()))

    def test_block_after_part_was_sent_sends_nothing_more_and_closes(self):
        # 0x06 makes mod_bucketeer flush: the first part goes out (headers
        # with it) before the keyword is seen.
        bucketeer = "<Location /bk>\n  SetOutputFilter BUCKETEER;o-kvr-resource-1\n</Location>\n"
        first = gbk("第一部分内容" * 10)
        rest = gbk("第二部分有禁词") + b"\x06" + gbk("第三部分不应出现") + b"\x06" + gbk("第四部分")
        h = self.serve({"bk/late.html": first + b"\x06" + rest}, extra_conf=bucketeer)
        req = b"GET /bk/late.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\nGET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
        responses = parse_responses(h.raw(req))
        self.assertEqual(1, len(responses))  # the connection closed after the first
        r = responses[0]
        self.assertEqual(first + gbk("<html><body>含有禁止的关键字：禁词</body></html>"), r.body)
        self.assertNotIn(gbk("第三部分"), r.body)
        self.assertNotIn(gbk("第四部分"), r.body)

    def test_blocked_responses_keep_the_connection_sound(self):
        # A script's block, two static blocks, then a clean page, all on one
        # kept-alive connection: each answer is whole.
        h = self.serve({"cgi/out.cgi": "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\n\\r\\n'\n"
                        "printf '%s'\nsleep 0.2\nprintf 'more output after'\n" % "<p>禁词</p>",
                        "k1.html": page("禁词一"), "k2.html": page("badword")})
        req = b"".join(b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % p
                       for p in (b"/cgi/out.cgi", b"/k1.html", b"/k2.html"))
        req += b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
        responses = parse_responses(h.raw(req))
        self.assertEqual(4, len(responses))
        self.assertBlocked(responses[0])
        self.assertBlocked(responses[1])
        self.assertBlocked(responses[2], "badword")
        self.assertEqual(b"<html><body>hello</body></html>\n", responses[3].body)

    def test_the_discard_filter_named_by_a_configuration_does_nothing(self):
        # Only a block puts it to work; named in a configuration it passes
        # every response on as it is, and blocks still happen.
        h = self.serve({"n.html": page("正常"), "b.html": page("禁词")},
                       extra_conf="<Location />\n  AddOutputFilter kvr-discard-after-block html\n"
                                  "</Location>\n")
        self.assertEqual(gbk(page("正常")), h.get("/n.html").body)
        self.assertBlocked(h.get("/b.html"))
        self.assertEqual(gbk(page("正常")), h.get("/n.html").body)

    def test_an_unchanged_clean_file_goes_out_unread_and_a_changed_one_is_checked(self):
        status = ("LoadModule status_module %s/mod_status.so\n<Location /server-status>\n"
                  "  SetHandler server-status\n</Location>\n" % MODULES)
        clean = page("这是正常的内容，" * 40)
        h = self.serve({"still.html": clean, "moved.html": clean}, extra_conf=status)

        def known():
            for line in h.get("/server-status?auto").body.decode("latin-1").splitlines():
                if line.startswith("RizuResponsesKnownClean: "):
                    return int(line.split(": ")[1])
            self.fail("no count of known files")

        # A file written just now is checked every time: a write within the
        # same tick of the file system's clock would not move its times.
        fresh = h.page("fresh.html", clean)
        start = known()
        for _ in range(6):
            self.assertEqual(gbk(clean), h.get("/fresh.html").body)
        self.assertEqual(start, known())
        os.remove(fresh)

        # Still for a while: once a child has checked it, it sends it unread,
        # whole and the same.
        time.sleep(2.2)
        for _ in range(12):
            r = h.get("/still.html")
            self.assertEqual(gbk(clean), r.body)
            self.assertEqual(str(len(gbk(clean))), r.header("Content-Length"))
        self.assertGreater(known(), start)

        # The same length with a keyword in it, its times put back: the
        # change time moves all the same, and the new text is checked.
        # So is a file put in its place under the same name.
        changed = clean.replace("正常的内容", "有禁词内容", 1)
        self.assertEqual(len(gbk(changed)), len(gbk(clean)))
        for name, write in (("still.html", lambda p: open(p, "r+b")),
                            ("moved.html", None)):
            path = os.path.join(h.docroot, name)
            for _ in range(12):
                h.get("/" + name)
            times = os.stat(path)
            if write:
                with write(path) as f:
                    f.write(gbk(changed))
            else:
                h.page(name + ".new", changed)
                os.rename(path + ".new", path)
            os.utime(path, ns=(times.st_atime_ns, times.st_mtime_ns))
            for _ in range(12):
                self.assertBlocked(h.get("/" + name))
