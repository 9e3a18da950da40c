"""The status page and an HTML event log are GBK pages that operators open
in a browser: rendered in headless Chromium, their Chinese text reads back
as written. Screenshots are kept in the build directory's artifacts/."""

import os
import shutil
import subprocess
import tempfile

from rizu_httpd import ITEST_ROOT, LOG_DIR, ServerTestCase, log_files

ARTIFACTS = os.path.join(os.path.dirname(os.path.normpath(ITEST_ROOT)), "artifacts")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


def chromium(url, *args):
    with tempfile.TemporaryDirectory() as profile:
        cmd = [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
               "--no-first-run", "--disable-background-networking", "--disable-component-update",
               "--disable-sync", "--user-data-dir=" + profile] + list(args) + [url]
        return subprocess.run(cmd, capture_output=True, timeout=120)


class BrowserTest(ServerTestCase):

    def setUp(self):
        super().setUp()
        if not CHROMIUM:
            self.fail("chromium is not installed (scripts/test installs it)")
        os.makedirs(ARTIFACTS, exist_ok=True)

    def render(self, path, name):
        dom = chromium("file://" + path, "--dump-dom")
        self.assertEqual(0, dom.returncode, dom.stderr[-2000:])
        shot = os.path.join(ARTIFACTS, name + ".png")
        chromium("file://" + path, "--screenshot=" + shot, "--window-size=1200,1600")
        self.assertTrue(os.path.exists(shot))
        return dom.stdout.decode("utf-8")

    def test_status_page_and_event_log_show_their_chinese_text(self):
        h = self.start_server(
            ini="BlockGetKeyWord=1\nchkreqmet=1\n",
            files={"scriptname.txt": ".html\n", "getkeyc.txt": "禁词\n", "getshow.txt": "{!getkey!}"},
            pages={"k.html": "<p>页面里有禁词</p>"})
        h.get("/k.html")
        h.request("OPTIONS", "/k.html?a=<b>x</b>")
        text = self.render(os.path.join(LOG_DIR, "rizururuzarida_config.html"), "status_page")
        for expect in ("全局IP白名单", "GET拦截类关键字", "关键字数量：1个", "禁词 /",
                       "当前模块未启用；若要启用，请在 rizururuzarida.ini 里设置 gcliip = 1"):
            self.assertIn(expect, text)
        text = self.render(log_files("keylog_*.html")[0], "event_log")
        self.assertIn("<title>服务器日志</title>", text)
        self.assertIn("本次拦截关键字：禁词", text)
        self.assertIn("上下文：", text)
        self.assertIn("本次拦截关键字：OPTIONS", text)
        self.assertNotIn("<b>x</b>", text)  # the query string stays text
