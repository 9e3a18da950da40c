"""Requests never write the tables a child shares with its parent: serving
requests of every kind leaves the child's private memory where it was."""

import time

from rizu_httpd import MODULE, ServerTestCase, alive, children, gbk

KEYS = ["键%04d值" % i for i in range(3000)]
INI = ("ChkGetKeyWord=1\nBlockGetKeyWord=1\nChkPostKeyWord=1\nBlockPostKeyWord=1\n"
       "chkbeianheidn=1\nblockurl=1\nblockfilepath=1\nblocksql=1\nchkreqmet=1\n"
       "postip=2\nurllen=400\n")
FILES = {
    "scriptname.txt": ".html\n.cgi\n",
    "getkeyb.txt": "\n".join(KEYS[:1500] + ["记录词"]) + "\n",
    "getkeyc.txt": "\n".join(KEYS[1500:] + ["禁词", "甲乙,丙丁"]) + "\n",
    "postkeyb.txt": "\n".join(KEYS[:1500] + ["帖记录"]) + "\n",
    "postkeyc.txt": "\n".join(KEYS[1500:] + ["帖禁词"]) + "\n",
    "postkeybex.txt": "rawrec\n",
    "postkeycex.txt": "rawblock\n",
    "getshow.txt": "<html>blocked {!getkey!}</html>",
    "postshow.txt": "<html>blocked {!postkey!}</html>",
    "beianheidn.txt": "bad.example.com\n",
    "beianheishow.txt": "<html>bad domain</html>",
    "blockurl.txt": "127.0.0.1/blocked/\n",
    "keyfilepath.txt": "/secret/\n",
    "blocksql.txt": "unionselect\n",
    "postip.txt": "127.0.0.1\n",
}
PAGES = {
    "clean.html": "<html><body>" + "普通内容，" * 2000 + "</body></html>",
    "rec.html": "<html><body>这里有记录词和键0007值</body></html>",
    "block.html": "<html><body>这里有禁词</body></html>",
    "multi.html": "<html><body>甲乙以及丙丁</body></html>",
    "utf8.html": "<html><body>这里有禁词</body></html>".encode("utf-8"),
}


def private_by_mapping(pid):
    """Private_Dirty in KiB of each mapping of a process, by its address
    range and path; the module's zeroed tables (the anonymous mapping right
    after its last file mapping) count as the module's."""
    out, key, inside, last_end = {}, None, False, None
    with open("/proc/%d/smaps" % pid) as f:
        for line in f:
            parts = line.split()
            if "-" in parts[0] and ":" not in parts[0]:
                start, end = (int(x, 16) for x in parts[0].split("-"))
                path = parts[5] if len(parts) > 5 else ""
                inside = path == MODULE or (not path and inside and start == last_end)
                last_end = end
                key = (start, end, "module" if inside else path)
            elif parts[0] == "Private_Dirty:":
                out[key] = int(parts[1])
    return out


def shared_parts(mappings):
    """The mappings that hold what the parent built: the module's own data
    and tables, and the large anonymous mappings (automata, prefilter)."""
    return {k: v for k, v in mappings.items()
            if k[2] == "module" or (k[2] == "" and k[1] - k[0] >= 1 << 20)}


class ReadOnlyTablesTest(ServerTestCase):
    mpm = "prefork"

    def requests(self, h):
        out = [h.get("/clean.html"), h.get("/rec.html"), h.get("/block.html"),
               h.get("/multi.html"), h.get("/utf8.html"), h.get("/missing.html"),
               h.get("/index.html", headers={"Host": "bad.example.com"}),
               h.get("/blocked/x.html"), h.get("/secret/x.html"),
               h.get("/index.html?id=1%20union%20select%201"),
               h.get("/index.html?" + "a" * 500),
               h.request("TRACE", "/index.html"), h.request("PUT", "/index.html", body=b"x"),
               h.post("/cgi/echo.cgi", b"msg=" + gbk("普通的留言") * 50),
               h.post("/cgi/echo.cgi", b"msg=" + gbk("有帖记录的留言")),
               h.post("/cgi/echo.cgi", b"msg=" + gbk("有帖禁词的留言")),
               h.post("/cgi/echo.cgi", b"msg=" + "有帖禁词的留言".encode("utf-8")),
               h.post("/cgi/echo.cgi", b"rawblock and more", content_type="text/plain")]
        return out

    def test_requests_of_every_kind_leave_the_child_private_memory_as_it_was(self):
        h = self.start_server(ini=INI, files=FILES, pages=PAGES,
                              extra_conf="StartServers 1\nMaxSpareServers 1\n")
        time.sleep(0.3)
        kids = children(h.pid)
        before = {pid: private_by_mapping(pid) for pid in kids}
        responses = self.requests(h) + self.requests(h)
        self.assertTrue(any(b"blocked" in r.body for r in responses))
        time.sleep(0.2)
        grown_shared, grown_total = {}, 0
        for pid in kids:
            if alive(pid):
                after = private_by_mapping(pid)
                grown_total += sum(after.values()) - sum(before[pid].values())
                for k, kib in shared_parts(before[pid]).items():
                    if after.get(k, kib) != kib:
                        grown_shared[k] = after.get(k, kib) - kib
        # The tables are about 14 MB and the automata a few MB more: a write
        # to any of them copies a page into the child.
        self.assertEqual({}, grown_shared)
        self.assertLess(grown_total, 512, "private memory grew by %d KiB" % grown_total)
