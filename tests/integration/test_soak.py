"""Soak: 64 clients at once for a bounded time (RIZU_SOAK_SECONDS, 60 by
default) mixing clean pages, recorded and blocked responses, recorded and
blocked POST bodies and requests the fixups refuse. Afterwards no child has
crashed, every text record has its 18 fields, and there is exactly one
record per hit sent."""

import os
import threading
import time

from rizu_httpd import ServerTestCase, for_each_mpm, gbk, parse_responses, records

SECONDS = float(os.environ.get("RIZU_SOAK_SECONDS", "60"))
CLIENTS = 64

INI = ("ChkGetKeyWord=1\nBlockGetKeyWord=1\nChkPostKeyWord=1\nBlockPostKeyWord=1\n"
       "blockurl=1\n")
FILES = {
    "scriptname.txt": ".html\n.cgi\n",
    "getkeyb.txt": "记录词\n",
    "getkeyc.txt": "禁止词\n",
    "postkeyb.txt": "贴记词\n",
    "postkeyc.txt": "贴禁词\n",
    "getshow.txt": "GET blocked {!getkey!}",
    "postshow.txt": "POST blocked {!postkey!}",
    "blockurl.txt": "*refuse*\n",
}
CLEAN = "<html><body>" + "普通的网页内容，" * 200 + "</body></html>"
PAGES = {
    "clean.html": CLEAN,
    "rec.html": "<html><body>" + "内容" * 100 + "记录词" + "</body></html>",
    "blk.html": "<html><body>" + "内容" * 100 + "禁止词" + "</body></html>",
    "cgi/sink.cgi": "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\ncat >/dev/null\necho ok\n",
}


def post(path, body):
    return (b"POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/plain\r\nConnection: close\r\n"
            b"Content-Length: %d\r\n\r\n" % (path.encode(), len(body)) + body)


def get(path):
    return b"GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % path.encode()


# (request, events it gives, what the body must be)
KINDS = [
    (get("/clean.html"), 0, gbk(CLEAN)),
    (get("/rec.html"), 1, gbk(PAGES["rec.html"])),
    (get("/blk.html"), 1, gbk("GET blocked 禁止词")),
    (post("/cgi/sink.cgi", gbk("正文里有贴记词")), 1, b"ok\n"),
    (post("/cgi/sink.cgi", gbk("正文里有贴禁词")), 1, gbk("POST blocked 贴禁词")),
    (get("/clean.html?refuse=1"), 1, None),
]


@for_each_mpm
class SoakTest(ServerTestCase):

    def test_soak(self):
        h = self.start_server(ini=INI, files=FILES, pages=PAGES)
        deadline = time.time() + SECONDS
        lock = threading.Lock()
        sent = [0]
        events = [0]
        failures = []

        def client(n):
            i = n
            while time.time() < deadline:
                req, ev, want = KINDS[i % len(KINDS)]
                i += 1
                try:
                    resp = parse_responses(h.raw(req, timeout=30))[0]
                    ok = resp.status == 200 and (want is None or resp.body == want)
                except Exception as e:  # a refused or broken connection is a failure too
                    ok, resp = False, e
                with lock:
                    sent[0] += 1
                    events[0] += ev
                    if not ok and len(failures) < 10:
                        failures.append((req[:40], resp))

        threads = [threading.Thread(target=client, args=(n,)) for n in range(CLIENTS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual([], failures)
        self.assertGreater(sent[0], CLIENTS)
        recs = records()
        for rec in recs:
            self.assertEqual(19, len(rec), rec[:3])
        self.assertEqual(events[0], len(recs))
        print("\n%s: %d requests, %d events" % (self.mpm, sent[0], len(recs)))
