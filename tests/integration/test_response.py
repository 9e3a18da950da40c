"""Response screening in a real server: the output filter, the response
keyword check, the GET block page and its log records."""

import os
import socket
import stat

from rizu_httpd import (LOG_DIR, ServerTestCase, for_each_mpm, gbk, log_files, parse_responses)

BLOCK_PAGE = "<html><body>含有禁止的关键字：{!getkey!}{!url!}</body></html>"
BASE_INI = "ChkGetKeyWord=1\nBlockGetKeyWord=1\n"
BASE_FILES = {
    "scriptname.txt": ".html\n.cgi\n.htm\n",
    "getkeyc.txt": "禁词\n甲乙,丙丁\n一,二,三\nbadword\n",
    "getkeyb.txt": "记录词\nrecword\n",
    "getshow.txt": BLOCK_PAGE,
}


def text_records():
    out = []
    for path in log_files("keyword_*.txt"):
        with open(path, "rb") as f:
            data = f.read()
        out += [l for l in data.split(b"\r\n") if l]
    return [l.split(b"\t") for l in out]


def html_log():
    return b"".join(open(p, "rb").read() for p in log_files("keylog_*.html"))


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
        recs = text_records()
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
        rec = text_records()[0]
        self.assertEqual(gbk("禁词"), rec[4])
        self.assertIn(gbk("禁词"), rec[17])  # the UTF-8 context is logged in GBK

    def test_keywords_across_blanks_punctuation_breaks_and_nbsp(self):
        pages = {"s%d.html" % i: page("开头" + t + "结尾") for i, t in enumerate(
            ["禁 词", "禁,词", "禁\r\n词", "禁&nbsp;词", "禁\t!?词", "BAD word", "b-a-d-w-o-r-d"])}
        h = self.serve(pages)
        for i, t in enumerate(pages):
            r = h.get("/s%d.html" % i)
            key = "badword" if i >= 5 else "禁词"
            self.assertBlocked(r, key)
        # An upper-case entity is not removed whole: its letters stay.
        h.page("n.html", page("禁&NBSP;词"))
        self.assertEqual(gbk(page("禁&NBSP;词")), h.get("/n.html").body)

    def test_record_keyword_passes_and_is_logged(self):
        body = page("普通内容" * 20 + "记录词" + "普通内容" * 20)
        h = self.serve({"r.html": body})
        r = h.get("/r.html")
        self.assertEqual(gbk(body), r.body)
        recs = text_records()
        self.assertEqual(1, len(recs))
        self.assertEqual(gbk("记录"), recs[0][2])
        self.assertEqual(gbk("记录词"), recs[0][4])

    def test_block_and_record_keyword_gives_one_block_event(self):
        h = self.serve({"b.html": page("记录词和禁词都在")})
        self.assertBlocked(h.get("/b.html"))
        recs = text_records()
        self.assertEqual(1, len(recs))
        self.assertEqual(gbk("拦截"), recs[0][2])

    def test_keys_of_several_words(self):
        h = self.serve({"one.html": page("只有甲乙在这里"),
                        "two.html": page("甲乙在前面，很远以后才有丙丁"),
                        "three.html": page("三在前，然后一，最后二"),
                        "part.html": page("一和二但没有第3个")})
        self.assertEqual(gbk(page("只有甲乙在这里")), h.get("/one.html").body)
        self.assertBlocked(h.get("/two.html"), "甲乙,丙丁")
        self.assertBlocked(h.get("/three.html"), "一,二,三")
        self.assertEqual(200, h.get("/part.html").status)
        self.assertEqual(gbk(page("一和二但没有第3个")), h.get("/part.html").body)

    def test_exemption_list_and_script_test(self):
        files = {"getdna.txt": "127.0.0.1/free/\n*/wild*.html\n"}
        pages = {"free/a.html": page("禁词"), "wildcard.html": page("禁词"),
                 "x.txt": page("禁词"), "dir/index.html": page("禁词")}
        h = self.serve(pages, files=files)
        self.assertEqual(gbk(page("禁词")), h.get("/free/a.html").body)
        self.assertEqual(gbk(page("禁词")), h.get("/wildcard.html").body)
        self.assertEqual(gbk(page("禁词")), h.get("/x.txt").body)  # .txt is not a listed script
        self.assertBlocked(h.get("/dir/"))  # a directory counts as a script
        self.assertEqual(1, len(text_records()))

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
        self.assertEqual([], text_records())

    def test_exempt_client(self):
        h = self.serve({"c.html": page("禁词")}, ini=BASE_INI + "gcliip=1\n",
                       files={"gcliip.txt": "127.0.0.*\n"})
        self.assertEqual(gbk(page("禁词")), h.get("/c.html").body)

    def test_block_page_without_template_is_empty(self):
        h = self.serve({"e.html": page("禁词")}, files={"getshow.txt": ""})
        r = h.get("/e.html")
        self.assertEqual(200, r.status)
        self.assertEqual(b"", r.body)
        self.assertEqual("0", r.header("Content-Length"))
        self.assertEqual(1, len(text_records()))

    def test_switches_off_examine_nothing(self):
        h = self.serve({"o.html": page("禁词记录词")}, ini="")
        self.assertEqual(gbk(page("禁词记录词")), h.get("/o.html").body)
        self.assertEqual([], text_records())

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
        self.assertEqual(3, len(text_records()))

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

    def test_block_of_a_cgi_response_keeps_the_connection_sound(self):
        h = self.serve({"cgi/out.cgi": "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\n\\r\\n'\n"
                        "printf '%s'\nsleep 0.2\nprintf 'more output after'\n" % "<p>禁词</p>"})
        req = (b"GET /cgi/out.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
               b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        responses = parse_responses(h.raw(req))
        self.assertEqual(2, len(responses))
        self.assertBlocked(responses[0])
        self.assertEqual(b"<html><body>hello</body></html>\n", responses[1].body)

    def test_the_discard_filter_named_by_a_configuration_does_nothing(self):
        # Only a block puts it to work; named in a configuration it passes
        # every response on as it is, and blocks still happen.
        h = self.serve({"n.html": page("正常"), "b.html": page("禁词")},
                       extra_conf="<Location />\n  AddOutputFilter kvr-discard-after-block html\n"
                                  "</Location>\n")
        self.assertEqual(gbk(page("正常")), h.get("/n.html").body)
        self.assertBlocked(h.get("/b.html"))
        self.assertEqual(gbk(page("正常")), h.get("/n.html").body)

    def test_two_blocked_pages_on_one_connection(self):
        h = self.serve({"k1.html": page("禁词一"), "k2.html": page("badword")})
        req = (b"GET /k1.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
               b"GET /k2.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        responses = parse_responses(h.raw(req))
        self.assertEqual(2, len(responses))
        self.assertBlocked(responses[0])
        self.assertBlocked(responses[1], "badword")

    def test_nul_bytes_early_make_a_bucket_not_text(self):
        h = self.serve({"bin.html": b"ab\x00" + gbk("禁词") + b"x" * 2000,
                        "late.html": b"x" * 2000 + b"\x00" + gbk("禁词")})
        self.assertEqual(b"ab\x00" + gbk("禁词") + b"x" * 2000, h.get("/bin.html").body)
        self.assertBlocked(h.get("/late.html"))
