"""The watcher with Chromium (started once, accessibility on) and pages from 127.0.0.1: pages
and their text, a private window and skipped hosts, where nothing the person does is said."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from watchdesk import Desk  # noqa: E402

SECRET = "Zq7secretVXW"
LEAKS = ("keys", "key_shortcut", "click", "scroll", "paste", "copy", "value", "focus", "text",
         "page", "window", "frame")
PAGE = """<!doctype html><html><head><title>{title}</title></head><body>
<h1>Quarterly ledger</h1><p>Opening balance</p>
<a href="a.html">Archive</a> <a href="b.html">Reports</a>
<p><label>Name <input autofocus></label></p>
<div style="height:3000px">Rows</div></body></html>"""


class Browser(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desk = Desk().start()
        try:
            cls.site = cls.desk.serve()
            for path, title in (("ledger/index.html", "Ledger page"),
                                ("vault/index.html", "Vault page")):
                cls.site.page(path, PAGE.format(title=title))
            # The watcher runs before the browser starts: the browser comes to the front
            # before it has joined the accessibility bus, and is observed once it has.
            cls.w = cls.desk.watch()
            cls.w.send(cmd="config", frames_dir=cls.desk.frames, frames=True,
                       skip_hosts=["vault.test"])
            cls.browser = cls.desk.browser(cls.site.url("ledger/index.html"))
            cls.main = cls.desk.window_of(cls.browser.pid)
        except BaseException:
            cls.desk.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        status = cls.w.stop()
        cls.desk.stop()
        assert status == 0, status
        assert not cls.w.bad, cls.w.bad

    def test_a_page_and_its_text(self):
        page = self.w.wait("page", timeout=30)
        self.assertEqual((page["app"], page["url"]), ("Chromium", "127.0.0.1/ledger/index.html"))
        self.assertTrue(page["window"].startswith("Ledger page"))
        text = self.w.wait("text", pred=lambda e: "Quarterly ledger\n" in e["text"], timeout=30)
        self.assertEqual(text["url"], "127.0.0.1/ledger/index.html")
        self.assertIn("Quarterly ledger", text["outline"]["headings"])
        self.assertTrue({"Archive", "Reports"} <= set(text["outline"]["buttons"]))
        for piece in ("Opening balance\n", "Archive\n", "Reports\n"):
            self.assertIn(piece, text["text"])

    def test_private_window_and_skipped_hosts(self):
        self.w.wait("window", app="Chromium", timeout=30)
        for url, why in ((self.site.url("ledger/index.html"), "window"),
                         (self.site.url("vault/index.html", host="vault.test"), "site"),
                         (self.site.url("vault/index.html", host="a.vault.test"), "site")):
            m = self.w.mark()
            self.browser.open(url, incognito=why == "window")
            said = self.w.wait("private", since=m, why=why, timeout=30)
            self.assertEqual(set(said), {"kind", "why", "t"})
            m = self.w.mark()
            self.desk.type(SECRET)
            self.desk.key("ctrl+a", "ctrl+c")
            self.desk.click(600, 500)
            self.desk.scroll(600, 500)
            self.w.quiet(2.5)
            said = [e for e in self.w.since(m, LEAKS)
                    if e["kind"] != "copy" or set(e) != {"kind", "private", "t"}]
            self.assertEqual(said, [])
            self.assertEqual(self.w.since(m, "private"), [])
            self.assertNotIn(SECRET.encode(), bytes(self.w.raw))
            self.assertFalse([f for f in self.desk.frame_files() if SECRET in f])
            # Leaving the private window always says where the person is now.
            self.desk.key("ctrl+shift+w")
            self.desk.activate(window=self.main)
            self.w.wait("window", since=m, app="Chromium", window=lambda t: t.startswith("Ledger"))


if __name__ == "__main__":
    unittest.main()
