"""The configuration load in real children: log pruning at child start."""

import os
import time

from rizu_httpd import LOG_DIR, ServerTestCase, for_each_mpm, write_config

DAY = 86400


def aged(name, age):
    path = os.path.join(LOG_DIR, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write("old record\n")
    t = time.time() - age
    os.utime(path, (t, t))
    return path


@for_each_mpm
class PruneTest(ServerTestCase):

    def test_old_logs_are_pruned_at_child_start_and_links_are_not_followed(self):
        write_config("autodellogfile = 2\n")
        old_txt = aged("keyword_2024-01-01-01.txt", 2 * DAY + 60)
        old_html = aged("keylog_2024-01-01-01.html", 3 * DAY)
        young = aged("keyword_2024-01-03-01.txt", DAY)
        other = aged("notes_2024.txt", 30 * DAY)
        os.symlink(LOG_DIR, os.path.join(LOG_DIR, "keyword_20loop"))
        os.symlink(LOG_DIR, os.path.join(LOG_DIR, "keylog_20loop"))
        self.httpd.restart()
        self.assertEqual(200, self.httpd.get("/index.html").status)
        self.assertFalse(os.path.exists(old_txt))
        self.assertFalse(os.path.exists(old_html))
        self.assertTrue(os.path.exists(young))
        self.assertTrue(os.path.exists(other))
        # Without the key nothing is pruned.
        write_config("")
        old = aged("keyword_2024-01-01-01.txt", 30 * DAY)
        self.httpd.restart()
        self.assertEqual(200, self.httpd.get("/index.html").status)
        self.assertTrue(os.path.exists(old))
