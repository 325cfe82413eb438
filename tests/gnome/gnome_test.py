"""watch and act on one headless Mutter session with GTK3 applications: the front application
from the accessibility bus, act's input through Mutter's remote-desktop session, and what act
refuses because GNOME doesn't tell where windows are. Rules proven on the simulated desktop are not
repeated here."""
import json
import os
import stat
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gnomedesk import GnomeDesk, mutter_missing  # noqa: E402
from watchdesk import SessionCase  # noqa: E402

MISSING = mutter_missing()
# Everything a US keymap has a key for: both levels, symbols, tab and new line.
TYPEABLE = "Hello, World! 0123456789 #42 @home $5 100% a&b (x) [y] {z} <tag> ~^|\\ `'\"\tTab\nend."
WATCH = os.environ.get("ZEPHRIN_WATCH")


@unittest.skipIf(MISSING, MISSING)
class Gnome(SessionCase):
    DESK = GnomeDesk

    def in_front(self, name):
        """A new test window: Mutter gives a new window the focus."""
        m = self.w.mark()
        app = self.desk.testapp(name)
        self.w.wait("app", since=m, app=name, bundle=name, timeout=60)
        return app

    def test_probe_says_what_gnome_gives(self):
        r = subprocess.run([WATCH, "--probe"], env=self.desk.env, capture_output=True, text=True,
                           timeout=60, **self.desk.run_as)
        probe = json.loads(r.stdout)
        self.assertEqual((probe["ax"], probe["listen"], probe["screen"]), (1, False, True))

    def test_front_application_follows_the_active_frame(self):
        notes = self.in_front("Notes")
        ledger = self.in_front("Ledger")
        status, reply = self.desk.act("frontmost")
        self.assertEqual((status, reply["name"], reply["pid"]), (0, "Ledger", ledger.pid))
        # Mutter tells no client which window lies under a point.
        status, reply = self.desk.act("window-at", 5, 5)
        self.assertEqual((status, reply.get("pid", -1) < 1), (0, True))
        # The window behind takes the focus when the front one closes.
        m = self.w.mark()
        ledger.stop()
        self.w.wait("app", since=m, app="Notes", timeout=60)
        notes.stop()

    def test_act_types_and_presses_keys_by_symbol(self):
        app = self.in_front("Typer")
        self.act("type", TYPEABLE, target=app.pid)
        self.assertEqual(self.text(app, TYPEABLE), TYPEABLE)
        # A shortcut's key is pressed with its modifier: select all, then type over it.
        self.act("key", "ctrl+a", target=app.pid)
        self.act("type", "ok", target=app.pid)
        self.assertEqual(self.text(app, "ok"), "ok")
        app.stop()

    def test_act_refuses_what_it_cannot_do_exactly(self):
        m = self.w.mark()
        app = self.in_front("Target")
        # A cast of the monitor would show whatever else is on it: no picture of a window whose
        # place is unknown.
        self.w.wait("frame_dropped", since=m, timeout=60)
        self.assertFalse(self.w.since(m, "frame"))
        # A character the keymap has no key for: Mutter would drop it and answer as if typed.
        status, reply = self.desk.act("type", "café", target=app.pid)
        self.assertEqual((status, reply["ok"]), (2, False))
        # Where a window that doesn't fill the monitor lies is unknown: no spot is known to be its.
        status, reply = self.desk.act("click", 640, 400, target=app.pid)
        self.assertEqual((status, reply["ok"]), (2, False))
        other = self.in_front("Other")
        status, reply = self.desk.act("type", "no", target=app.pid)
        self.assertEqual((status, reply["error"]),
                         (2, "The app in front changed, so nothing was sent."))
        self.assertEqual(self.text(app, "", timeout=1), "")
        self.assertFalse([e for e in app.drain() if e["event"] == "button"])
        other.stop()
        app.stop()

    def test_act_clicks_in_a_window_that_fills_the_monitor(self):
        app = self.in_front("Full")
        m = self.w.mark()
        app.ask("maximize")
        # Its frames come from the monitor's screen cast, the window being all of it.
        frame = self.w.wait("frame", since=m, app="Full", timeout=60)
        self.assertEqual(stat.S_IMODE(os.stat(frame["path"]).st_mode), 0o600)
        where = app.ask("where")
        x, y = where["x"] + 40, where["y"] + 10
        self.act("click", x, y, target=app.pid)
        deadline = time.monotonic() + 20
        presses = []
        while len(presses) < 2 and time.monotonic() < deadline:
            presses += [e for e in app.drain(0.1) if e["event"] == "button"]
        self.assertEqual([(e["kind"], e["button"], e["x"], e["y"]) for e in presses],
                         [("press", 1, x, y), ("release", 1, x, y)])
        # Wheel steps keep their direction and count (Mutter's axis grows downwards); GTK tells
        # them as smooth scrolls of one step each.
        def way(e):
            if e["direction"] != "smooth":
                return e["direction"]
            return "down" if e["dy"] > 0 else "up" if e["dy"] < 0 else "none"
        for direction, amount in (("down", 2), ("up", 1)):
            self.act("scroll", x, y, direction, amount, target=app.pid)
            got, seen = [], []
            deadline = time.monotonic() + 20
            while len(got) < amount and time.monotonic() < deadline:
                seen += app.drain(0.1)
                got = [way(e) for e in seen if e["event"] == "scroll"]
            self.assertEqual(got, [direction] * amount, seen)
        app.stop()


if __name__ == "__main__":
    unittest.main()
