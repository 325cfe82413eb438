"""The whole watcher on one virtual desktop with GTK3 applications: what the person does, and
the privacy rules (secure fields, sensitive labels, skipped apps, a concealed copy, paused)."""
import json
import os
import stat
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from watchdesk import PYTHON, ROOT, RecordingCase  # noqa: E402

CLIPOWNER = os.path.join(ROOT, "tests", "input", "clipowner.py")
SECRET = "Zq7secretVXW"
# What must never be said about something private.
LEAKS = ("keys", "key_shortcut", "click", "scroll", "paste", "copy", "value", "focus", "text",
         "page", "window", "frame")


class Gtk(RecordingCase):
    def front(self, name, title=None):
        """A fresh app in front, observed, its window read; returns (app, mark after that)."""
        m = self.w.mark()
        app = self.desk.gtk(name, title or name)
        self.desk.activate(window=app.xid)
        self.w.wait("window", since=m, app=name, window=title or name)
        # A toolkit's first events can be lost while it sets up its link to the accessibility
        # bus: the tests start once the app's own notices arrive.
        self.click(app, "check")
        self.w.wait("value", since=m, app=name, element=lambda e: e["label"] == "Remember me")
        return app, self.w.mark()

    def click(self, app, widget):
        self.desk.click(*app.where(widget))

    def rest(self, to_private=None):
        """Ends pending work (keys, debounces) by pausing; resumes with `to_private` config."""
        m = self.w.mark()
        self.w.send(cmd="pause")
        self.w.wait("paused", since=m)
        m = self.w.mark()
        self.w.send(cmd="config", frames_dir=self.desk.frames, frames=True,
                    skip_bundles=to_private or [])
        self.w.wait("resumed", since=m)
        return m

    def assert_nothing_of(self, since, secret=SECRET, kinds=LEAKS):
        # A copy while private is said as a bare fact, with no context.
        said = [e for e in self.w.since(since, kinds)
                if set(e) != {"kind", "private", "t"} or e["kind"] != "copy"]
        self.assertEqual(said, [])
        self.assert_secret_nowhere(secret)

    def assert_secret_nowhere(self, secret=SECRET):
        self.assertNotIn(secret.encode(), bytes(self.w.raw))
        for f in os.listdir(self.desk.frames):
            self.assertNotIn(secret, f)

    def test_a_person_at_work(self):
        # Switching apps.
        notes, _ = self.front("Notes")
        start = self.w.mark()
        ledger, m = self.front("Ledger")
        self.desk.activate(window=notes.xid)
        self.w.wait("app", since=m, app="Notes", bundle="Notes", window="", url="")
        m = self.w.mark()
        self.desk.activate(window=ledger.xid)
        self.w.wait("app", since=m, app="Ledger")
        self.w.wait("window", since=m, app="Ledger", window="Ledger")

        # The window's text, without the password.
        self.click(ledger, "secret")
        self.desk.type(SECRET)
        self.desk.key("Tab")
        self.w.wait("value", since=m, pred=lambda e: e["element"].get("secure"))
        text = self.w.wait("text", since=start, app="Ledger")
        self.assertEqual(text["outline"]["headings"], ["Quarterly ledger"])
        self.assertIn("Rename", text["outline"]["buttons"])
        self.assertTrue({"Name", "Password", "PIN code"} <= set(text["outline"]["fields"]))
        for piece in ("Quarterly ledger", "Opening balance", "Closing balance", "Entry 59"):
            self.assertIn(piece + "\n", text["text"])

        # Click, focus and value in a field; keys and a shortcut.
        m = self.w.mark()
        self.click(ledger, "name")
        click = self.w.wait("click", since=m)
        self.assertEqual((click["element"]["role"], click["element"]["label"]),
                         ("AXTextField", "Name"))
        self.assertEqual(click["right"], False)
        self.w.wait("focus", since=m, element=lambda e: e.get("label") == "Name")
        self.desk.type("hello world")
        self.desk.key("ctrl+s")
        keys = self.w.wait("keys", since=m)
        self.assertEqual(keys["count"], 11)
        self.w.wait("key_shortcut", since=m, keys="ctrl+s")
        value = self.w.wait("value", since=m, element=lambda e: e.get("label") == "Name")
        self.assertEqual(value["value"], "hello world")
        self.w.wait("text", since=m, text=lambda t: "hello world\n" in t)

        # A button that renames the window: the click still counts, though the window's title
        # changed under it (read at once, as any title change may be a private page).
        m = self.w.mark()
        self.click(ledger, "rename")
        ledger.line(lambda l: "renamed" in l)
        click = self.w.wait("click", since=m)
        self.assertEqual((click["element"]["role"], click["element"]["label"]),
                         ("AXButton", "Rename"))
        self.w.wait("window", since=m, window="Ledger renamed")

        # A title change by the app itself.
        m = self.w.mark()
        ledger.ask("title Ledger — March")
        self.w.wait("window", since=m, why="AXTitleChanged", window="Ledger — March")

        # A menu chosen with the pointer.
        m = self.w.mark()
        self.click(ledger, "file")
        x, y = ledger.where("file")
        self.desk.click(x, y + 30)
        ledger.line(lambda l: '"menu"' in l)
        self.w.wait("menu", since=m, element={"role": "AXMenuItem", "label": "Archive"})

        # One scroll for a burst of wheel clicks.
        m = self.w.mark()
        x, y = ledger.where("list")
        self.desk.scroll(x, y, times=4)
        self.w.wait("scroll", since=m, app="Ledger")

        # A copy: its text and the focused element.
        m = self.w.mark()
        ledger.ask("copy a line to keep")
        copy = self.w.wait("copy", since=m)
        self.assertEqual((copy["text"], copy["has_text"]), ("a line to keep", 1))
        # The app that owns the clipboard quits: nobody copied anything.
        m = self.w.mark()
        ledger.stop()
        self.w.wait("app", since=m, app="Notes")
        self.w.quiet(1.5)
        self.assertEqual(self.w.since(m, "copy"), [])

        # Frames of the front window: 0600 files in the frames directory.
        frame = self.w.wait("frame", app="Ledger")
        self.assertEqual(os.path.dirname(frame["path"]), self.desk.frames)
        mode = os.stat(frame["path"]).st_mode
        self.assertEqual(stat.S_IMODE(mode), 0o600)
        self.assertGreater(frame["window_id"], 0)
        self.assertEqual(self.w.bad, [])
        notes.stop()

    def test_privacy_secure_field_and_sensitive_label(self):
        app, _ = self.front("Locker")
        for field in ("secret", "pin"):
            self.click(app, field)
            self.w.wait("focus", app="Locker",
                        element=lambda e, f=field: e.get("secure") and
                        e.get("label") == ("Password" if f == "secret" else "PIN code"))
            m = self.w.mark()
            self.desk.type(SECRET)
            self.click(app, field)
            self.desk.key("ctrl+a", "ctrl+c")
            if field == "pin":
                # Copied out of a field that asks for a code: said, never read.
                self.w.wait("copy", since=m, concealed=True)
            value = self.w.wait("value", since=m, secure=True)
            self.assertNotIn("value", value)
            self.assertEqual(value["element"]["secure"], True)
            # Typing and clicking in a password field are not seen at all; in a field whose
            # label asks for a code, keys are counted as anywhere else, but never read.
            if field == "secret":
                self.assertEqual(self.w.since(m, ("keys", "key_shortcut", "click", "copy")), [])
            self.assertEqual(self.w.since(m, "value", element=lambda e: not e.get("secure")), [])
            self.assert_secret_nowhere()
        app.stop()

    def test_privacy_skipped_apps_concealed_copy_and_paused(self):
        for name, skip in (("Vault", ["Vault"]), ("Safebox", ["Safe*"])):
            app, _ = self.front(name)
            m = self.rest(to_private=skip)
            self.w.wait("private", since=m, why="app", pred=lambda e: "app" not in e)
            m = self.w.mark()
            self.act_in(app)
            # Its dialog carries no application id: the app stays skipped while it is up, and
            # after it closes.
            dialog = json.loads(app.ask("dialog", "{"))["xid"]
            self.desk.activate(window=dialog)
            self.desk.type(SECRET)
            app.ask("close")
            self.desk.activate(window=app.xid)
            self.act_in(app)
            self.w.quiet(2.5)
            self.assert_nothing_of(m)
            self.assertEqual(self.w.since(m, "app"), [])
            app.stop()
        self.rest()

        # A copy from a password manager: said, never read.
        app, m = self.front("Keeper")
        owner = self.desk.spawn([PYTHON, CLIPOWNER, SECRET, "--hint"])
        owner.line(lambda l: l == "ready")
        copy = self.w.wait("copy", since=m, concealed=True)
        self.assertNotIn("text", copy)
        owner.stop()
        self.assert_secret_nowhere()

        # Paused: nothing at all until resumed; a copy made meanwhile is never reported.
        self.w.send(cmd="pause")
        self.w.wait("paused", since=m)
        m = self.w.mark()
        self.act_in(app)
        self.click(app, "name")
        self.desk.key("ctrl+a", "BackSpace")
        self.w.quiet(2.5)
        self.assertEqual(self.w.since(m), [])
        self.w.send(cmd="resume")
        self.w.wait("resumed", since=m)
        self.w.quiet(1.5)
        self.assert_nothing_of(m, kinds=("copy", "keys", "click", "scroll", "value"))
        app.stop()

    def test_privacy_big_private_window(self):
        """A private window of 5,000 labels, whose first reads may time out: private all along."""
        m = self.w.mark()
        app = self.desk.gtk("Bignotes", "Big notes - Private Browsing", 5000)
        self.desk.activate(window=app.xid)
        self.act_in(app)
        self.w.wait("private", since=m, why="window", timeout=60)
        self.act_in(app)
        self.w.quiet(2.5)
        self.assert_nothing_of(m)
        app.stop()

    def act_in(self, app):
        """A person's actions in an app: typing a secret, clicking, copying, scrolling."""
        self.click(app, "name")
        self.desk.type(SECRET)
        self.desk.key("ctrl+a", "ctrl+c")
        self.click(app, "check")
        x, y = app.where("list")
        self.desk.scroll(x, y)


if __name__ == "__main__":
    unittest.main()
