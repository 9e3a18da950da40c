"""POST body screening in a real server: the input filter, the POST keyword
check, the POST block page and its log records."""

import urllib.parse

from rizu_httpd import (CGI_SCRIPT, ServerTestCase, clear_logs, for_each_mpm, gbk, parse_responses,
                        records)

POST_PAGE = "<html><body>提交的内容含有：{!postkey!}</body></html>"
BASE_INI = "ChkPostKeyWord=1\nBlockPostKeyWord=1\n"
BASE_FILES = {
    "scriptname.txt": ".cgi\n",
    "postkeyc.txt": "禁词\n甲乙,丙丁\n",
    "postkeycex.txt": "原样词\n",
    "postkeyb.txt": "记一\n记二\n记三\n记四\nascii\n",
    "postkeybex.txt": "普通\n",
    "postshow.txt": POST_PAGE,
}
FORM = "application/x-www-form-urlencoded"


def echoed(resp):
    return resp.body.split(b"--body--\n", 1)[1]


@for_each_mpm
class PostTest(ServerTestCase):

    def serve(self, ini=BASE_INI, files=None, **kw):
        merged = dict(BASE_FILES)
        merged.update(files or {})
        return self.start_server(ini=ini, files=merged, **kw)

    def assertBlocked(self, resp, key="禁词"):
        self.assertEqual(200, resp.status)
        self.assertEqual(gbk("<html><body>提交的内容含有：%s</body></html>" % key), resp.body)
        self.assertEqual("text/html; charset=gbk", resp.header("Content-Type"))

    def test_bodies_are_screened_as_one_text(self):
        h = self.serve()
        form = ("msg=" + urllib.parse.quote("这是禁词", encoding="gbk")).encode()
        chunk = gbk("分块的禁词内容")
        # (what, body, content type, extra headers, key that blocks or None)
        cases = [
            ("GBK across blanks", gbk("内容里有 禁 词 在"), "text/plain", {}, "禁词"),
            ("UTF-8", "内容禁词".encode("utf-8"), "text/plain", {}, "禁词"),
            ("form", form, FORM, {}, "禁词"),
            # With a charset parameter the form is not decoded: the escapes stay.
            ("form with a charset", form, FORM + "; charset=gbk", {}, None),
            ("zero-byte escape first", b"%00&msg=" + gbk("禁词"), FORM, {}, "禁词"),
            ("in a later read of a large body", gbk("正常内容") * 4000 + gbk("这里禁词"),
             "text/plain", {}, "禁词"),
            ("chunked", b"%x\r\n%s\r\n0\r\n\r\n" % (len(chunk), chunk), "text/plain",
             {"Transfer-Encoding": "chunked"}, "禁词"),
            # Verbatim keys must occur as written; smart keys across blanks
            # and punctuation.
            ("verbatim key with blanks", gbk("原 样 词"), "text/plain", {}, None),
            ("verbatim key", gbk("有原样词"), "text/plain", {}, "原样词"),
            ("key of two words", gbk("甲乙……很远……丙丁"), "text/plain", {}, "甲乙,丙丁"),
        ]
        blocked = 0
        for what, body, ctype, headers, key in cases:
            with self.subTest(what):
                r = h.request("POST", "/cgi/env.cgi", headers=dict(headers, **{"Content-Type": ctype}),
                              body=body)
                if key:
                    blocked += key == "禁词"
                    self.assertBlocked(r, key)
                else:
                    self.assertEqual(body, echoed(r))
        recs = [r for r in records() if r[4] == gbk("禁词")]
        self.assertEqual(blocked, len(recs))
        self.assertTrue(all(r[2] == gbk("拦截") and r[7] == b"POST" for r in recs))
        self.assertTrue(all(gbk("禁") in r[17] for r in recs))

    def test_record_hits_pass_and_are_limited(self):
        h = self.serve()
        body = gbk("记四 记三 记二 记一 普通")
        r = h.post("/cgi/env.cgi", body, content_type="text/plain")
        self.assertEqual(body, echoed(r))
        recs = records()
        self.assertEqual([gbk(k) for k in ("记一", "记二", "记三")], [x[4] for x in recs])
        self.assertTrue(all(x[2] == gbk("记录") for x in recs))
        # An ASCII key is recorded in both passes, the GBK and the UTF-8 one.
        clear_logs()
        h.post("/cgi/env.cgi", b"some ascii text", content_type="text/plain")
        self.assertEqual([b"ascii", b"ascii"], [x[4] for x in records()])

    def test_without_content_type_non_script_and_exemptions(self):
        h = self.serve(ini=BASE_INI + "gcliip=0\n", files={"postdna.txt": "127.0.0.1/cgi/free\n"},
                       pages={"cgi/free.cgi": CGI_SCRIPT, "x.txt": "file"})
        body = gbk("禁词")
        r = h.post("/cgi/env.cgi", body, content_type=None)
        self.assertEqual(body, echoed(r))
        r = h.post("/cgi/free.cgi", body, content_type="text/plain")
        self.assertEqual(body, echoed(r))
        self.assertEqual([], records())

    def test_block_page_without_template(self):
        h = self.serve(files={"postshow.txt": ""})
        r = h.post("/cgi/env.cgi", gbk("禁词"), content_type="text/plain")
        self.assertEqual(200, r.status)
        self.assertEqual(b"", r.body)

    def test_nothing_of_the_handler_follows_the_block_page_on_a_kept_alive_connection(self):
        h = self.serve()
        body = gbk("禁词") + b"x" * 100
        req = (b"POST /cgi/env.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
               b"Content-Length: %d\r\n\r\n" % len(body) + body +
               b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
        responses = parse_responses(h.raw(req))
        self.assertEqual(2, len(responses))
        self.assertBlocked(responses[0])
        self.assertEqual(b"<html><body>hello</body></html>\n", responses[1].body)

    def test_get_and_other_methods_pass_unexamined(self):
        h = self.serve()
        r = h.request("PUT", "/cgi/env.cgi", headers={"Content-Type": "text/plain"}, body=gbk("禁词"))
        self.assertNotEqual(gbk("<html><body>提交的内容含有：禁词</body></html>"), r.body)
        self.assertEqual([], records())

