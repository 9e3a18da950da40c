"""POST body screening in a real server: the input filter, the POST keyword
check, the POST block page and its log records."""

import urllib.parse

from rizu_httpd import ServerTestCase, for_each_mpm, gbk, log_files, parse_responses

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


def text_records():
    out = []
    for path in log_files("keyword_*.txt"):
        with open(path, "rb") as f:
            out += [l.split(b"\t") for l in f.read().split(b"\r\n") if l]
    return out


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

    def test_gbk_utf8_and_form_bodies_are_blocked(self):
        h = self.serve()
        self.assertBlocked(h.post("/cgi/env.cgi", gbk("内容里有 禁 词 在"), content_type="text/plain"))
        self.assertBlocked(h.post("/cgi/env.cgi", "内容禁词".encode("utf-8"), content_type="text/plain"))
        form = ("msg=" + urllib.parse.quote("这是禁词", encoding="gbk")).encode()
        self.assertBlocked(h.post("/cgi/env.cgi", form, content_type=FORM))
        # With a charset parameter the form is not decoded: the escapes stay.
        r = h.post("/cgi/env.cgi", form, content_type=FORM + "; charset=gbk")
        self.assertEqual(form, echoed(r))
        recs = text_records()
        self.assertEqual(3, len(recs))
        self.assertTrue(all(r[2] == gbk("拦截") and r[4] == gbk("禁词") and r[7] == b"POST" for r in recs))
        self.assertTrue(all(gbk("禁") in r[17] for r in recs))

    def test_smart_and_verbatim_tables(self):
        h = self.serve()
        # Verbatim keys must occur as written; smart keys across blanks and punctuation.
        r = h.post("/cgi/env.cgi", gbk("原 样 词"), content_type="text/plain")
        self.assertEqual(gbk("原 样 词"), echoed(r))
        self.assertBlocked(h.post("/cgi/env.cgi", gbk("有原样词"), content_type="text/plain"), "原样词")
        self.assertBlocked(h.post("/cgi/env.cgi", gbk("甲乙……很远……丙丁"), content_type="text/plain"),
                           "甲乙,丙丁")

    def test_record_hits_pass_and_are_limited(self):
        h = self.serve()
        body = gbk("记四 记三 记二 记一 普通")
        r = h.post("/cgi/env.cgi", body, content_type="text/plain")
        self.assertEqual(body, echoed(r))
        recs = text_records()
        self.assertEqual([gbk(k) for k in ("记一", "记二", "记三")], [x[4] for x in recs])
        self.assertTrue(all(x[2] == gbk("记录") for x in recs))

    def test_ascii_record_key_is_recorded_in_both_passes(self):
        h = self.serve()
        h.post("/cgi/env.cgi", b"some ascii text", content_type="text/plain")
        recs = text_records()
        self.assertEqual(2, len(recs))  # b: the GBK and the UTF-8 pass
        self.assertEqual(b"ascii", recs[0][4])

    def test_zero_byte_escape_does_not_hide_the_body(self):
        h = self.serve()
        self.assertBlocked(h.post("/cgi/env.cgi", b"%00&msg=" + gbk("禁词"), content_type=FORM))

    def test_keyword_in_a_later_read_of_a_large_body(self):
        h = self.serve()
        body = gbk("正常内容") * 4000 + gbk("这里禁词")
        self.assertBlocked(h.post("/cgi/env.cgi", body, content_type="text/plain"))

    def test_chunked_body(self):
        h = self.serve()
        chunk = gbk("分块的禁词内容")
        data = ("%x\r\n" % len(chunk)).encode() + chunk + b"\r\n0\r\n\r\n"
        r = h.request("POST", "/cgi/env.cgi", headers={"Transfer-Encoding": "chunked",
                                                       "Content-Type": "text/plain"}, body=data)
        self.assertBlocked(r)

    def test_without_content_type_non_script_and_exemptions(self):
        h = self.serve(ini=BASE_INI + "gcliip=0\n", files={"postdna.txt": "127.0.0.1/cgi/free\n"},
                       pages={"cgi/free.cgi": open_cgi(), "x.txt": "file"})
        body = gbk("禁词")
        r = h.post("/cgi/env.cgi", body, content_type=None)
        self.assertEqual(body, echoed(r))
        r = h.post("/cgi/free.cgi", body, content_type="text/plain")
        self.assertEqual(body, echoed(r))
        self.assertEqual([], text_records())

    def test_exempt_client(self):
        h = self.serve(ini=BASE_INI + "gcliip=1\n", files={"gcliip.txt": "127.0.0.1\n"})
        body = gbk("禁词")
        self.assertEqual(body, echoed(h.post("/cgi/env.cgi", body, content_type="text/plain")))

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
        self.assertEqual([], text_records())


def open_cgi():
    from rizu_httpd import CGI_SCRIPT
    return CGI_SCRIPT
