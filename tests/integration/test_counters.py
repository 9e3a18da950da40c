"""The module's counters on mod_status's page: after a known mix of
requests, every count in /server-status?auto, summed over all children."""

import os
import re
import time

from rizu_httpd import LOG_DIR, MODULES, ServerTestCase, for_each_mpm, gbk, parse_responses

STATUS_CONF = """
LoadModule status_module %s/mod_status.so
<Location /server-status>
  SetHandler server-status
</Location>
""" % MODULES

INI = """[main]
gcliip=1
chkreqmet=1
urllen=60
postsize=100
blockip=1
postip=1
chkbeianbaidn=1
chkbeianheidn=1
blocksql=1
blockurl=1
blockfilepath=1
ChkGetKeyWord=1
BlockGetKeyWord=1
ChkPostKeyWord=1
BlockPostKeyWord=1
"""

FILES = {
    "gcliip.txt": "127.0.0.4\n",
    "blockip.txt": "127.0.0.2\n",
    "postip.txt": "127.0.0.3\n",
    "beianbaidn.txt": "127.0.0.1\nevil.example\n",
    "beianheidn.txt": "evil.example\n",
    "blocksql.txt": "union\n",
    "blocksqlscript.txt": ".cgi\n",
    "blockurl.txt": "127.0.0.1/private\n",
    "keyfilepath.txt": "*secret*\n",
    "scriptname.txt": ".html\n.cgi\n",
    "getkeyb.txt": "记录词\n",
    "getkeyc.txt": "禁止词\n禁止二\n",
    "postkeyb.txt": "帖记录\n",
    "postkeyc.txt": "帖禁止\n",
    "getshow.txt": "blocked {!getkey!}",
    "postshow.txt": "post blocked {!postkey!}",
}

PAGES = {
    "clean.html": "<p>天气很好</p>",
    "record.html": "<p>这里有记录词。</p>",
    "block.html": "<p>这里有禁止词。</p>",
    "secret.html": "<p>secret</p>",
}


def status_lines(h):
    r = h.get("/server-status?auto")
    assert r.status == 200, r
    out = {}
    for line in r.body.decode("latin-1").splitlines():
        k, sep, v = line.partition(": ")
        if sep:
            out[k] = v
    return out


@for_each_mpm
class CountersTest(ServerTestCase):

    def get_from(self, source, path):
        req = "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % path
        return parse_responses(self.httpd.raw(req.encode(), source=source))[0]

    def test_every_count_after_a_known_mix(self):
        h = self.start_server(INI, FILES, extra_conf=STATUS_CONF, pages=PAGES)
        # The server lives as long as the test class, and a restart keeps
        # the counts: what the mix adds is compared.
        before = status_lines(h)

        hello = b"<html><body>hello</body></html>\n"
        for _ in range(3):
            self.assertEqual(hello, h.get("/index.html").body)
        self.assertEqual(gbk("<p>天气很好</p>"), h.get("/clean.html").body)
        for _ in range(2):
            self.assertIn(b"(OPTIONS)", h.request("OPTIONS", "/index.html").body)
        self.assertIn(gbk("超过60个字符"), h.get("/index.html?" + "a" * 60).body)
        self.assertIn(gbk("超过100字节"), h.post("/cgi/echo.cgi", b"x" * 101).body)
        self.assertNotEqual(hello, self.get_from("127.0.0.2", "/index.html").body)
        self.assertNotEqual(hello, self.get_from("127.0.0.3", "/index.html").body)
        self.assertEqual(hello, self.get_from("127.0.0.4", "/index.html").body)  # exempt
        self.assertNotEqual(hello, h.get("/index.html", headers={"Host": "other.example"}).body)
        self.assertNotEqual(hello, h.get("/index.html", headers={"Host": "evil.example"}).body)
        self.assertIn(gbk("SQL语句"), h.get("/cgi/env.cgi?id=1%20union").body)
        self.assertIn(gbk("特定的URL语句"), h.get("/private/a.html").body)
        self.assertIn(gbk("特定的文件目录"), h.get("/secret.html").body)
        self.assertEqual(gbk("<p>这里有记录词。</p>"), h.get("/record.html").body)
        self.assertEqual(gbk("blocked 禁止词"), h.get("/block.html").body)
        self.assertIn(b"--body--", h.post("/cgi/env.cgi", gbk("x=帖记录")).body)
        self.assertEqual(gbk("post blocked 帖禁止"), h.post("/cgi/env.cgi", gbk("x=帖禁止")).body)

        after = status_lines(h)
        expect = {
            # The mix holds 20 requests, one of them exempt; the second
            # status request is screened too.
            "RizuRequestsScreened": 19 + 1,
            "RizuRequestsExempt": 1,
            "RizuRefusedMethod": 2,
            "RizuRefusedUrlLength": 1,
            "RizuRefusedPostSize": 1,
            "RizuRefusedClientList": 1,
            "RizuRefusedPostClientList": 1,
            "RizuRefusedDomainAllowList": 1,
            "RizuRefusedDomainBlockList": 1,
            "RizuRefusedSql": 1,
            "RizuRefusedUrlList": 1,
            "RizuRefusedFilePath": 1,
            "RizuGetBlocks": 1,
            "RizuGetRecords": 1,
            "RizuPostBlocks": 1,
            "RizuPostRecords": 1,
            "RizuEventsNotWritten": 0,
            # GETs of text that reach the output filter: index.html three
            # times (32 bytes), clean.html (15), record.html and block.html
            # (21 each); refused requests never get that far, and the
            # status page is no script. The two form posts, 8 bytes each.
            "RizuResponsesExamined": 6,
            "RizuBodiesExamined": 2,
            "RizuBodyBytesExamined": 16,
        }
        self.assertEqual(expect, {k: int(after[k]) - int(before[k]) for k in expect})
        # Once index.html has been still for two seconds, a child that found
        # it clean sends it again unread (the class's server may have lived
        # that long): its bytes are then not counted.
        known = int(after["RizuResponsesKnownClean"]) - int(before["RizuResponsesKnownClean"])
        self.assertIn(known, (0, 1, 2))
        self.assertEqual((3 - known) * 32 + 15 + 21 + 21,
                         int(after["RizuResponseBytesExamined"]) - int(before["RizuResponseBytesExamined"]))

        # The configuration the children of this generation run.
        self.assertEqual(after["ParentServerConfigGeneration"], after["RizuConfigGeneration"])
        self.assertGreaterEqual(int(after["RizuConfigLoads"]), 1)
        self.assertLess(abs(time.time() - int(after["RizuConfigLoadTime"])), 120)
        self.assertEqual("1", after["RizuConfigGetRecordKeywords"])
        self.assertEqual("2", after["RizuConfigGetBlockKeywords"])
        self.assertEqual("1", after["RizuConfigPostRecordKeywords"])
        self.assertEqual("1", after["RizuConfigPostBlockKeywords"])
        self.assertEqual("0", after["RizuConfigPostRecordVerbatimKeywords"])
        self.assertEqual("0", after["RizuConfigPostBlockVerbatimKeywords"])

        # A log directory the children cannot write to loses the event, and
        # the count says so.
        for name in os.listdir(LOG_DIR):
            if name.startswith("key"):
                os.remove(os.path.join(LOG_DIR, name))
        os.chmod(LOG_DIR, 0o555)
        try:
            self.assertEqual(gbk("<p>这里有记录词。</p>"), h.get("/record.html").body)
        finally:
            os.chmod(LOG_DIR, 0o777)
        lost = status_lines(h)
        self.assertEqual(1, int(lost["RizuEventsNotWritten"]) - int(before["RizuEventsNotWritten"]))
        self.assertEqual(2, int(lost["RizuGetRecords"]) - int(before["RizuGetRecords"]))

        # The HTML page shows the same counts.
        page = h.get("/server-status").body.decode("latin-1")
        self.assertIn("<td>GET keyword records</td><td>%s</td>" % lost["RizuGetRecords"], page)
        self.assertRegex(page, r"<tr><td>%s</td><td>\d+</td>" % re.escape(after["RizuConfigGeneration"]))

    def test_a_restart_keeps_the_counts_and_shows_the_new_generation(self):
        h = self.start_server(INI, FILES, extra_conf=STATUS_CONF, pages=PAGES)
        h.request("OPTIONS", "/index.html")
        first = status_lines(h)
        refused = int(first["RizuRefusedMethod"])
        self.assertGreaterEqual(refused, 1)
        h.restart()
        second = status_lines(h)
        self.assertEqual(str(refused), second["RizuRefusedMethod"])
        self.assertEqual(int(first["RizuConfigGeneration"]) + 1, int(second["RizuConfigGeneration"]))
