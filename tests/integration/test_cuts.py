"""A response or body is screened as one text wherever httpd and its peers
cut it; long responses stream through in bounded memory; a blocked body
never reaches the application, and nothing of a blocked request follows its
block page."""

import http.server
import os
import socket
import subprocess
import threading
import time

from rizu_httpd import (MODULES, ServerTestCase, children, for_each_mpm, gbk, parse_responses,
                        private_kib)

KEY = "禁词"
GET_PAGE = "<html><body>含有禁止的关键字：{!getkey!}</body></html>"
POST_PAGE = "<html><body>提交的内容含有：{!postkey!}</body></html>"
INI = "ChkGetKeyWord=1\nBlockGetKeyWord=1\nChkPostKeyWord=1\nBlockPostKeyWord=1\n"
FILES = {
    "scriptname.txt": ".html\n.cgi\n",
    "getkeyc.txt": KEY + "\n",
    "getkeyb.txt": "记录词\n",
    "postkeyc.txt": KEY + "\n",
    "getshow.txt": GET_PAGE,
    "postshow.txt": POST_PAGE,
}
OFFSETS = list(range(7990, 8011)) + list(range(16380, 16401))
SIZE = 40000
FORM = "application/x-www-form-urlencoded"


def text_at(at, size=SIZE):
    """ASCII text with the keyword's GBK bytes at byte `at`."""
    line = b"some plain text of a page, line after line\n"
    body = (line * (size // len(line) + 1))[:size]
    k = gbk(KEY)
    return body[:at] + k + body[at + len(k):]


def block_page(get=True):
    return gbk((GET_PAGE if get else POST_PAGE).replace("{!getkey!}", KEY).replace("{!postkey!}", KEY))


class Backend(http.server.ThreadingHTTPServer):
    """A proxied application on loopback that counts the body bytes it got."""

    def __init__(self):
        self.received = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(inner):
                n = int(inner.headers.get("Content-Length") or 0)
                data = inner.rfile.read(n) if n else b""
                if "chunked" in (inner.headers.get("Transfer-Encoding") or ""):
                    data = b""
                    while True:
                        size = int(inner.rfile.readline().split(b";")[0], 16)
                        if not size:
                            inner.rfile.readline()
                            break
                        data += inner.rfile.read(size)
                        inner.rfile.readline()
                self.received.append(data)
                inner.send_response(200)
                inner.send_header("Content-Type", "text/plain")
                inner.send_header("Content-Length", "2")
                inner.end_headers()
                inner.wfile.write(b"ok")

            def log_message(inner, *a):
                pass

        super().__init__(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.serve_forever, daemon=True).start()


@for_each_mpm
class CutsTest(ServerTestCase):

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.backend = Backend()

    @classmethod
    def tearDownClass(cls):
        cls.backend.shutdown()
        super().tearDownClass()

    def serve(self, extra=""):
        h = self.httpd
        logs = os.path.join(h.root, "logs")
        conf = (
            "LoadModule proxy_module %s/mod_proxy.so\n"
            "LoadModule proxy_http_module %s/mod_proxy_http.so\n"
            "ProxyPass /px/ http://127.0.0.1:%d/\n"
            "ProxyPass /down/ http://127.0.0.1:%d/\n"
            "<Location /px/>\n  SetInputFilter i-kvr-resource-1\n</Location>\n"
            "<Location /down/>\n  SetInputFilter i-kvr-resource-1\n</Location>\n"
            "<Directory %s/nommap>\n  EnableMMAP Off\n</Directory>\n"
            "<Location /bk>\n  SetOutputFilter BUCKETEER;o-kvr-resource-1\n</Location>\n"
            % (MODULES, MODULES, self.backend.server_address[1], free_closed_port(), h.docroot)
        ) + extra
        pages = {
            # The page of the query string's offset, as a script writes it.
            "cgi/cat.cgi": "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\n\\r\\n'\n"
                           "cat %s/s/p$QUERY_STRING.html\n" % h.docroot,
            # The same, pausing in the middle of the keyword.
            "cgi/pause.cgi": "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\n\\r\\n'\n"
                             "f=%s/s/p$QUERY_STRING.html\n"
                             "head -c $(($QUERY_STRING + 1)) $f\nsleep 0.1\n"
                             "tail -c +$(($QUERY_STRING + 2)) $f\n" % h.docroot,
            # Counts the body it gets, then answers (or fails, with ?fail).
            "cgi/count.cgi": "#!/bin/sh\nn=$(cat | wc -c)\necho $n >> %s/got\n"
                             "[ \"$QUERY_STRING\" = fail ] && exit 1\n"
                             "printf 'Content-Type: text/plain\\r\\n\\r\\nread %%s\\n' $n\n" % logs,
            "cgi/big.cgi": "#!/bin/sh\nprintf 'Content-Type: text/html\\r\\n\\r\\n'\n"
                           "yes 'a line of text that goes on and on, and on' | head -c 200000000\n",
            "cgi/events.cgi": "#!/bin/sh\nprintf 'Content-Type: text/event-stream\\r\\n\\r\\n'\n"
                              "printf 'data: one\\n\\n'\nsleep 3\nprintf 'data: two\\n\\n'\n",
        }
        for at in OFFSETS:
            pages["s/p%d.html" % at] = text_at(at)
            pages["nommap/p%d.html" % at] = text_at(at)
            page = text_at(at)
            pages["bk/p%d.html" % at] = page[:8000] + b"\x02" + page[8000:16390] + b"\x10" + page[16390:]
        pages["s/p0.html"] = text_at(0)
        big = text_at(15, 600 * 1024)
        pages["s/big.html"] = big
        h = self.start_server(ini=INI, files=FILES, pages=pages, extra_conf=conf)
        got = os.path.join(logs, "got")
        if os.path.exists(got):
            os.remove(got)
        return h

    def assertNothingReachedTheScripts(self, h):
        # A script reads on after the server stopped handing it the body:
        # give the last ones time to write what they got.
        time.sleep(0.5)
        got = os.path.join(h.root, "logs", "got")
        counts = open(got).read().split() if os.path.exists(got) else []
        self.assertTrue(set(counts) <= {"0"}, counts)

    def assertBlockedPage(self, resp, content, at, what):
        """The block page replaces the response, or follows a part of it that
        ends before the keyword does."""
        page = block_page()
        self.assertTrue(resp.body.endswith(page), "%s: %r" % (what, resp.body[-80:]))
        sent = resp.body[:-len(page)]
        self.assertEqual(content[:len(sent)], sent, what)
        self.assertLess(len(sent), at + len(gbk(KEY)), what)

    def test_get_keyword_at_every_offset_around_the_cuts(self):
        h = self.serve()
        for at in OFFSETS:
            content = text_at(at)
            for path in ("/s/p%d.html" % at, "/nommap/p%d.html" % at, "/cgi/cat.cgi?%d" % at,
                         "/bk/p%d.html" % at):
                r = h.get(path)
                self.assertEqual(200, r.status, path)
                self.assertBlockedPage(r, content, at, path)
            # A script that pauses inside the keyword: the part before its
            # last bytes goes out, the block page follows.
            r = h.get("/cgi/pause.cgi?%d" % at)
            self.assertBlockedPage(r, content, at, "pause %d" % at)
        # A page of 600 KB, one mapped bucket, with the keyword at byte 15.
        self.assertEqual(block_page(), h.get("/s/big.html").body)

    def test_post_keyword_at_every_offset_chunked_and_in_two_writes(self):
        h = self.serve()
        for at in OFFSETS:
            body = text_at(at)
            chunked = b"".join(b"%x\r\n%s\r\n" % (len(body[i:i + 8000]), body[i:i + 8000])
                               for i in range(0, len(body), 8000)) + b"0\r\n\r\n"
            head = (b"POST /cgi/count.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\n"
                    b"Connection: close\r\n")
            r = parse_responses(h.raw(head + b"Transfer-Encoding: chunked\r\n\r\n" + chunked))[0]
            self.assertEqual(block_page(False), r.body, "chunked %d" % at)
            data = h.raw([head + b"Content-Length: %d\r\n\r\n" % len(body) + body[:at + 1],
                          body[at + 1:]], pause=0.05)
            self.assertEqual(block_page(False), parse_responses(data)[0].body, "two writes %d" % at)
        self.assertNothingReachedTheScripts(h)

    def test_blocked_body_never_reaches_the_application(self):
        h = self.serve()
        for size in (8 * 1024, 100 * 1024):
            plain = text_at(size // 2, size)
            form = b"msg=" + plain.replace(gbk(KEY), b"".join(b"%%%02X" % c for c in gbk(KEY)))
            for body, ctype in ((plain, "text/plain"), (form, FORM)):
                for chunked in (False, True):
                    for path in ("/cgi/count.cgi", "/cgi/count.cgi?fail", "/px/a.cgi", "/down/a.cgi"):
                        what = "%s %d %s chunked=%s" % (path, size, ctype, chunked)
                        headers = "Content-Type: %s\r\n" % ctype
                        if chunked:
                            data = b"%x\r\n%s\r\n0\r\n\r\n" % (len(body), body)
                            headers += "Transfer-Encoding: chunked\r\n"
                        else:
                            data = body
                            headers += "Content-Length: %d\r\n" % len(body)
                        req = ("POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\n" % (path, headers)).encode()
                        req += data
                        req += b"GET /index.html HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
                        responses = parse_responses(h.raw(req))
                        self.assertEqual(2, len(responses), what)
                        self.assertEqual(200, responses[0].status, what)
                        self.assertEqual(block_page(False), responses[0].body, what)
                        self.assertEqual(b"<html><body>hello</body></html>\n", responses[1].body, what)
        self.assertEqual([], self.backend.received)
        self.assertNothingReachedTheScripts(h)
        # A clean body reaches both whole.
        body = text_at(0, 100 * 1024).replace(gbk(KEY), b"ok")
        self.assertEqual(b"read %d\n" % len(body),
                         h.post("/cgi/count.cgi", body, content_type="text/plain").body)
        self.assertEqual(b"ok", h.post("/px/a.cgi", body, content_type="text/plain").body)
        self.assertEqual([body], self.backend.received)
        self.backend.received.clear()

    def test_long_response_streams_in_bounded_memory(self):
        h = self.serve()
        before = max(private_kib(p) for p in children(h.pid))
        peak = [before]
        done = threading.Event()

        def sample():
            while not done.is_set():
                for p in children(h.pid):
                    peak[0] = max(peak[0], private_kib(p))
                time.sleep(0.05)

        t = threading.Thread(target=sample)
        t.start()
        start = time.time()
        first = None
        total = 0
        try:
            with socket.create_connection(("127.0.0.1", h.port), timeout=30) as s:
                s.sendall(b"GET /cgi/big.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                while True:
                    b = s.recv(1 << 20)
                    if not b:
                        break
                    if first is None:
                        first = time.time() - start
                    total += len(b)
        finally:
            done.set()
            t.join()
        self.assertGreater(total, 200000000)
        self.assertLess(first, 1.0)
        self.assertLess(peak[0] - before, 8 * 1024, "private memory grew from %d to %d KiB" % (before, peak[0]))
        # An event stream: the first event arrives while the script sleeps.
        start = time.time()
        with socket.create_connection(("127.0.0.1", h.port), timeout=10) as s:
            s.sendall(b"GET /cgi/events.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
            data = b""
            while b"data: one" not in data:
                b = s.recv(4096)
                if not b:
                    break
                data += b
        self.assertIn(b"data: one", data)
        self.assertLess(time.time() - start, 1.0)

    def test_http2_blocked_body_and_next_request(self):
        if not os.path.exists(os.path.join(MODULES, "mod_http2.so")):
            self.skipTest("no mod_http2")
        h = self.serve("LoadModule http2_module %s/mod_http2.so\nProtocols h2c http/1.1\n" % MODULES)
        body = text_at(100, 8 * 1024)

        def curl(*args, data=None):
            res = subprocess.run(["curl", "-s", "--http2-prior-knowledge"] + list(args),
                                 input=data, capture_output=True, timeout=30)
            self.assertEqual(0, res.returncode, res.stderr)
            return res.stdout

        for path in ("/cgi/count.cgi?fail", "/cgi/count.cgi", "/down/a.cgi"):
            self.assertEqual(block_page(False),
                             curl("-H", "Content-Type: text/plain", "--data-binary", "@-",
                                  "http://127.0.0.1:%d%s" % (h.port, path), data=body), path)
            self.assertEqual(b"<html><body>hello</body></html>\n",
                             curl("http://127.0.0.1:%d/index.html" % h.port))
        # Several streams of one connection, each blocked: each gets its
        # page whole, none eats another's.
        body_file = os.path.join(h.root, "logs", "body")
        with open(body_file, "wb") as f:
            f.write(body)
        res = subprocess.run(["nghttp", "-m", "3", "-d", body_file, "-H", "content-type: text/plain",
                              "http://127.0.0.1:%d/cgi/count.cgi?fail" % h.port],
                             capture_output=True, timeout=30)
        self.assertEqual(0, res.returncode, res.stderr)
        self.assertEqual(block_page(False) * 3, res.stdout)
        self.assertNothingReachedTheScripts(h)


def free_closed_port():
    """A loopback port where nothing listens: a backend that is down."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
