"""watch and act on one headless sway session with GTK3 applications: the front application and
its window from the compositor, elements placed on the screen, frames, and act's input and
refusals. Rules proven on the simulated desktop are not repeated here."""
import json
import os
import stat
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swaydesk import PYTHON, ROOT, SwayDesk, sway_missing  # noqa: E402
from watchdesk import SessionCase  # noqa: E402

GTK4APP = os.path.join(ROOT, "tests", "apps", "gtk4app.py")

MISSING = sway_missing()
# 200 characters: ASCII, Latin accents, Greek, CJK, symbols, emoji (a surrogate pair and a
# sequence with a modifier), a combining mark, tab and new line.
MIXED = ("Hello, wörld! Ünïcödé — “quotes” ÆØÅ ß € £ ¥ ✓ ✗ → ← ∑ ∞ ≠ ≤ π λ Ω 日本語 中文 한국어 "
         "😀 👍🏽 e\u0301 naïve café\tTab\nNew line #42 @home $5 100% a&b (x) [y] {z} <tag> ~^|\\ "
         "end.")
MIXED = (MIXED + "0123456789" * 20)[:200]


@unittest.skipIf(MISSING, MISSING)
class Sway(SessionCase):
    DESK = SwayDesk

    def front(self, name):
        m = self.w.mark()
        app = self.desk.gtk(name)
        self.desk.activate(pid=app.pid)
        self.w.wait("window", since=m, app=name, window=name, timeout=60)
        return app

    def test_front_application_and_window_from_the_compositor(self):
        notes = self.front("Notes")
        ledger = self.front("Ledger")
        m = self.w.mark()
        self.desk.activate(pid=notes.pid)
        self.w.wait("app", since=m, app="Notes", bundle="Notes")
        m = self.w.mark()
        self.desk.activate(pid=ledger.pid)
        self.w.wait("app", since=m, app="Ledger", bundle="Ledger")
        self.w.wait("window", since=m, app="Ledger", window="Ledger")
        # A retitled window is told as the compositor and the toolkit both say.
        m = self.w.mark()
        ledger.ask("title Ledger — March")
        self.w.wait("window", since=m, window="Ledger — March")

    def in_front(self, name):
        app = self.desk.testapp(name)
        self.desk.activate(pid=app.pid)
        return app

    def point(self, app, dx, dy):
        """A point dx, dy into the app's text view, on the screen."""
        ox, oy = self.desk.surface_origin(app.pid)
        return ox + app.where["x"] + dx, oy + app.where["y"] + dy

    def test_act_clicks_types_and_presses_keys_exactly(self):
        app = self.in_front("Typer")
        x, y = self.point(app, 40, 10)
        self.act("click", x, y, target=app.pid)
        presses = [e for e in app.drain(0.3) if e["event"] == "button"]
        self.assertEqual([(e["kind"], e["button"]) for e in presses],
                         [("press", 1), ("release", 1)])
        # GTK on Wayland tells positions from its window's origin.
        ox, oy = self.desk.surface_origin(app.pid)
        self.assertEqual((presses[0]["x"] + ox, presses[0]["y"] + oy), (x, y))

        self.act("type", MIXED, target=app.pid)
        self.assertEqual(self.text(app, MIXED), MIXED)
        # A shortcut's key is pressed with its modifier: select all, then type over it.
        self.act("key", "ctrl+a", target=app.pid)
        self.act("type", "ok", target=app.pid)
        self.assertEqual(self.text(app, "ok"), "ok")

    def test_act_refuses_what_it_must_not_touch(self):
        app = self.in_front("Target")
        x, y = self.point(app, 60, 20)
        cover = self.desk.gtk("Cover")
        window = self.desk.window_of(cover.pid)
        self.desk.swaymsg(f"[con_id={window}]", "floating enable, resize set 500 300, "
                          f"move position {x - 100} {y - 100}")
        self.desk.activate(pid=app.pid)
        status, reply = self.desk.act("click", x, y, target=app.pid)
        self.assertEqual((status, reply["error"]), (2, "That spot is on a window of Cover, so "
                                                    "nothing was sent. Take a screenshot and "
                                                    "try again."))
        self.desk.activate(pid=cover.pid)
        status, reply = self.desk.act("type", "no", target=app.pid)
        self.assertEqual((status, reply["error"]),
                         (2, "The app in front changed, so nothing was sent."))
        self.assertEqual(self.text(app, "", timeout=1), "")
        self.assertFalse([e for e in app.drain() if e["event"] == "button"])
        cover.stop()

    def test_frames_and_copies(self):
        app = self.front("Clerk")
        frame = self.w.wait("frame", app="Clerk", timeout=60)
        self.assertEqual(os.path.dirname(frame["path"]), self.desk.frames)
        self.assertEqual(stat.S_IMODE(os.stat(frame["path"]).st_mode), 0o600)
        self.assertEqual(frame["window_id"], self.desk.window_of(app.pid))
        # An application may set the clipboard once it has had input from the person.
        x, y = self.desk.where(app, "name")
        self.act("click", x, y, target=app.pid)
        m = self.w.mark()
        app.ask("copy a line to keep")
        copy = self.w.wait("copy", since=m)
        self.assertEqual((copy["text"], copy["has_text"]), ("a line to keep", 1))

    def test_elements_are_placed_on_the_screen(self):
        # Toolkits on Wayland tell positions in their window: the window's place is added.
        app = self.front("Placed")
        window = self.desk.window_of(app.pid)
        self.desk.swaymsg(f"[con_id={window}]", "floating enable, resize set 700 560, "
                          "move position 230 140")
        # A check box clicked: its value changes, and the element is told with its place.
        x, y = self.desk.where(app, "check")
        m = self.w.mark()
        self.act("click", x, y, target=app.pid)
        focus = self.w.wait("value", since=m, app="Placed",
                            element=lambda e: e.get("label") == "Remember me")
        box = json.loads(app.ask("where check", "{"))
        ox, oy = self.desk.surface_origin(app.pid)
        self.assertGreater(ox, 200)
        self.assertEqual((focus["element"]["frame"]["x"], focus["element"]["frame"]["y"]),
                         (ox + box["x"], oy + box["y"]))
        self.desk.swaymsg(f"[con_id={window}]", "floating disable")
        app.stop()

    def test_a_gtk4_editor(self):
        doc = os.path.join(self.desk.tmp, "notes.txt")
        with open(doc, "w") as f:
            f.write("First line.\n")
        m = self.w.mark()
        editor = self.desk.spawn([PYTHON, GTK4APP, doc])
        self.desk.activate(pid=editor.pid)
        self.w.wait("window", since=m, app="org.example.Jotter", window="notes.txt — Jotter",
                    timeout=60)
        # Into the document below the header bar: act's text arrives whole, and is read back.
        ox, oy = self.desk.surface_origin(editor.pid)
        r = self.desk.rect_of(self.desk.window_of(editor.pid))
        m = self.w.mark()
        self.act("click", ox + r["width"] // 2, oy + r["height"] - 40, target=editor.pid)
        self.act("type", " — typed on Wayland ✓", target=editor.pid)
        self.w.wait("value", since=m, app="org.example.Jotter",
                    value=lambda v: "typed on Wayland ✓" in v)
        editor.stop()
