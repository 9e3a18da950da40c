"""One load in the parent, shared by its children: a child takes the
parent's tables only while every file the load read is as the parent read
it, and the children always serve what their own load would give."""

import os
import signal
import time

from rizu_httpd import (CONFIG_DIR, LOG_DIR, ServerTestCase, children, for_each_mpm, gbk,
                        private_kib, put)

INI = "ChkGetKeyWord=1\nBlockGetKeyWord=1\n"
BLOCK_PAGE = "<html><body>禁止：{!getkey!}</body></html>"
FILES = {
    "scriptname.txt": ".html\n",
    "getkeyc.txt": "旧禁词\n",
    "getkeyb.txt": "记录词\n",
    "getshow.txt": BLOCK_PAGE,
}
PAGES = {"old.html": "<html><body>这里有旧禁词出现</body></html>",
         "new.html": "<html><body>这里有新禁词出现</body></html>"}
STATUS_PAGE = os.path.join(LOG_DIR, "rizururuzarida_config.html")
DEBUG = "LogLevel warn rizururuzarida:debug"


def status_page():
    with open(STATUS_PAGE, "rb") as f:
        return f.read()


def keyword_file(name, text):
    put(os.path.join(CONFIG_DIR, "config", name), text)


def blocked(resp, key):
    return resp.body == gbk("<html><body>禁止：%s</body></html>" % key)


class SharedTablesTest(ServerTestCase):
    mpm = "prefork"

    def serve(self):
        # The files are older than the parent's look at them (a file changed
        # in the very clock tick it is read is never shared).
        h = self.start_server(ini=INI, files=FILES, pages=PAGES, extra_conf=DEBUG)
        return h

    def replace_children(self, h):
        """Ends every child (as MaxConnectionsPerChild would) and waits for
        a new one to have done its start-up."""
        old = children(h.pid)
        self.assertTrue(old)
        if os.path.exists(STATUS_PAGE):
            os.remove(STATUS_PAGE)
        for pid in old:
            os.kill(pid, signal.SIGTERM)
        deadline = time.time() + 15
        while time.time() < deadline:
            now = children(h.pid)
            if now and not set(now) & set(old) and os.path.exists(STATUS_PAGE):
                break
            time.sleep(0.05)
        else:
            self.fail("no new child started: %s" % h.error_log()[-2000:])
        time.sleep(0.1)  # the status page is written: let the child finish its start-up
        return children(h.pid)

    def loads_since(self, mark, pids=None):
        """How many children took the parent's tables and how many loaded
        their own, of those logged since mark (of the given children only:
        another child may still have been starting when the files changed)."""
        lines = self.httpd.error_log()[mark:].splitlines()
        if pids is not None:
            lines = [l for l in lines if any("[pid %d:" % p in l for p in pids)]
        log = "\n".join(lines)
        return (log.count("(shared tables)"), log.count("(own load)"))

    def test_children_share_an_unchanged_configuration(self):
        h = self.serve()
        mark = len(h.error_log())
        self.replace_children(h)
        self.assertTrue(blocked(h.get("/old.html"), "旧禁词"))
        shared, own = self.loads_since(mark)
        self.assertGreaterEqual(shared, 1)
        self.assertEqual(0, own)
        self.assertIn(gbk("旧禁词"), status_page())

    def test_file_changed_after_start_is_in_force_in_a_new_child(self):
        h = self.serve()
        self.assertTrue(blocked(h.get("/old.html"), "旧禁词"))
        before = status_page()
        time.sleep(0.02)
        keyword_file("getkeyc.txt", "新禁词\n")
        mark = len(h.error_log())
        new = self.replace_children(h)
        self.assertTrue(blocked(h.get("/new.html"), "新禁词"))
        self.assertFalse(blocked(h.get("/old.html"), "旧禁词"))
        page = status_page()
        self.assertIn(gbk("新禁词"), page)
        self.assertNotIn(gbk("旧禁词"), page)
        self.assertNotEqual(before, page)
        shared, own = self.loads_since(mark, new)
        self.assertEqual(0, shared)
        self.assertGreaterEqual(own, 1)

    def test_absent_file_created_after_start_is_in_force(self):
        files = dict(FILES)
        del files["getkeyb.txt"]
        h = self.start_server(ini=INI, files=files, pages=PAGES, extra_conf=DEBUG)
        self.assertNotIn(gbk("记录词"), status_page())
        keyword_file("getkeyb.txt", "记录词\n")
        self.replace_children(h)
        self.assertIn(gbk("记录词"), status_page())

    def test_file_unreadable_to_children_gives_them_what_they_can_read(self):
        h = self.serve()
        path = os.path.join(CONFIG_DIR, "config", "getkeyc.txt")
        os.chmod(path, 0o600)  # root, the parent, still reads it; www-data does not
        mark = len(h.error_log())
        new = self.replace_children(h)
        self.assertFalse(blocked(h.get("/old.html"), "旧禁词"))
        self.assertEqual(200, h.get("/old.html").status)
        self.assertNotIn(gbk("旧禁词"), status_page())
        self.assertIn(gbk("记录词"), status_page())
        shared, own = self.loads_since(mark, new)
        self.assertEqual(0, shared)
        self.assertGreaterEqual(own, 1)


def graceful(h):
    if os.path.exists(STATUS_PAGE):
        os.remove(STATUS_PAGE)
    mark = len(h.error_log())
    os.kill(h.pid, signal.SIGUSR1)
    deadline = time.time() + 15
    while time.time() < deadline and "resuming normal operations" not in h.error_log()[mark:]:
        time.sleep(0.02)
    h.wait_children()


@for_each_mpm
class GracefulRestartTest(ServerTestCase):

    def test_change_before_graceful_restart_is_in_force_in_every_new_child(self):
        h = self.start_server(ini=INI, files=FILES, pages=PAGES, extra_conf=DEBUG)
        self.assertTrue(blocked(h.get("/old.html"), "旧禁词"))
        keyword_file("getkeyc.txt", "新禁词\n")
        time.sleep(0.02)
        mark = len(h.error_log())
        graceful(h)
        # Every request, on connections of its own, meets a new child.
        for _ in range(20):
            self.assertTrue(blocked(h.get("/new.html"), "新禁词"))
            self.assertFalse(blocked(h.get("/old.html"), "旧禁词"))
        self.assertIn(gbk("新禁词"), status_page())
        log = h.error_log()[mark:]
        # The parent read the new file before it forked: the children share.
        self.assertIn("(shared tables)", log)
        self.assertNotIn("(own load)", log)


class ParentMemoryTest(ServerTestCase):
    mpm = "prefork"

    def test_graceful_restarts_leave_the_parents_memory_where_it_was(self):
        # Resident, not private: the children share most of the parent's pages.
        words = "".join("词%04d号\n" % i for i in range(3000))
        files = dict(FILES, **{"getkeyc.txt": words, "getkeyb.txt": words})
        pages = dict(PAGES, **{"w.html": "<html><body>有词0007号</body></html>"})
        h = self.start_server(ini=INI, files=files, pages=pages)
        for _ in range(2):
            graceful(h)
        before = private_kib(h.pid, "Rss")
        for _ in range(20):
            graceful(h)
        after = private_kib(h.pid, "Rss")
        # One configuration's automata are many MiB; what remains is the
        # allocator's noise.
        self.assertLess(after - before, 2048, (before, after))
        self.assertTrue(blocked(h.get("/w.html"), "词0007号"))
