"""watch and act on one headless sway session with GTK3 applications: the front application and
its window from the compositor, elements placed on the screen, frames, and act's input and
refusals. Rules proven on the simulated desktop are not repeated here."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from swaydesk import SwayDesk, sway_missing  # noqa: E402

MISSING = sway_missing()


@unittest.skipIf(MISSING, MISSING)
class Sway(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desk = SwayDesk().start()
        try:
            cls.w = cls.desk.recording()
        except BaseException:
            cls.desk.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.desk.finish(cls.w)

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
        # A retitled window is told as the compositor and the toolkit both say.
        m = self.w.mark()
        ledger.ask("title Ledger — March")
        self.w.wait("window", since=m, window="Ledger — March")
