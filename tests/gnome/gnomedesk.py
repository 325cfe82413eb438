"""The watcher's desk (tests/watchdesk.py) on headless Mutter: the same children and watcher,
with the person's hands given by Mutter's remote-desktop session instead of an X server."""
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from watchdesk import ROOT, Desk  # noqa: E402

import protocol  # noqa: E402

sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "act"))
from actdesk import TestApp  # noqa: E402
from desktop import MutterDesktop, mutter_missing  # noqa: E402,F401

ACT = os.environ.get("ZEPHRIN_ACT", os.path.join(ROOT, "build", "act", "act"))


class GnomeDesk(Desk):
    def __init__(self, width=1280, height=800):
        super().__init__(width, height, MutterDesktop(width, height))

    def start(self):
        super().start()
        self.vd.own(self.frames)
        return self

    def testapp(self, name):
        """tests/act/testapp.py: a text view that reports the input it gets."""
        return self._own(TestApp(self, name))

    def act(self, *args, target=None):
        """One run of act as the desktop's user; (exit status, its reply, checked)."""
        argv = [ACT, *map(str, args)]
        if target is not None:
            argv += ["--pid", str(target)]
        r = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=60,
                           **self.run_as)
        return r.returncode, protocol.check_reply(r.stdout, str(args[0]))
