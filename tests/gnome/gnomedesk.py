"""The watcher's desk (tests/watchdesk.py) on headless Mutter: the same children and watcher,
with the person's hands given by Mutter's remote-desktop session instead of an X server."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from watchdesk import ROOT, Desk, SessionDesk  # noqa: E402,F401

sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "act"))
from actdesk import TestApp  # noqa: E402,F401
from desktop import MutterDesktop, mutter_missing  # noqa: E402,F401

ACT = SessionDesk.ACT


class GnomeDesk(SessionDesk):
    def __init__(self, width=1280, height=800):
        super().__init__(width, height, MutterDesktop(width, height))
