#!/usr/bin/python3
"""The same work on headless Mutter (GNOME) and on Xvfb, both desktops up at once, rounds
alternating:

    bench/gnome/sessions.py [--rounds N]     (ZEPHRIN_WATCH, ZEPHRIN_ACT: the binaries)

- `act click` wall time per command (median), in a maximized window (the only kind GNOME lets
  act click in);
- `act type` of 200 characters a US keymap types: ms per character, and how many runs arrived
  exact;
- capture per kept frame: from a retitle of the front (maximized) window to the watcher's "frame"
  line, p50 (the watcher's own wait before it captures is the same in both);
- CPU of a recording watcher over 10 s with nothing happening (% of one core).
Each figure is printed for both sessions with the ratio GNOME / X11."""
import argparse
import os
import statistics
import string
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "gnome"))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from gnomedesk import ACT, Desk, GnomeDesk, TestApp  # noqa: E402
from sessions_common import frame_ms, idle_cpu, print_table, run_act  # noqa: E402

TEXT = ((string.ascii_letters + string.digits + " .,;:!?@#$%&*()[]{}<>/\\|~^_+-='\"`\t\n") * 3)[:200]


class Session:
    def __init__(self, name, desk):
        self.name, self.desk = name, desk
        self.w = desk.recording()
        self.app = TestApp(desk, "zephrin-bench")
        desk.children.append(self.app)
        self.app.ask("maximize")
        self.app.where = self.app.ask("where")
        self.click_ms, self.type_ms, self.exact, self.frame_ms = [], [], 0, []

    def point(self):
        return self.app.where["x"] + 200, self.app.where["y"] + 150


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=20)
    args = p.parse_args()
    with Desk() as xdesk, GnomeDesk() as gdesk:
        sessions = [Session("X11 (Xvfb)", xdesk), Session("GNOME (Mutter)", gdesk)]
        for s in sessions:
            s.w.wait("app", app="zephrin-bench", timeout=30)
        for i in range(args.rounds + 1):  # the first round warms up
            for s in sessions:
                ms = run_act(ACT, s.desk, "click", *s.point(), target=s.app.pid)
                if i:
                    s.click_ms.append(ms)
                time.sleep(0.45)
        for i in range(max(3, args.rounds // 4)):
            for s in sessions:
                s.app.ask('set ""', "set")
                s.type_ms.append(run_act(ACT, s.desk, "type", TEXT, target=s.app.pid) / 200)
                time.sleep(0.3)
                s.exact += s.app.ask("text")["text"] == TEXT
        for i in range(max(3, args.rounds // 4)):
            for s in sessions:
                s.frame_ms.append(frame_ms(s.w, s.app, i))
        idle = dict(zip((s.name for s in sessions), idle_cpu([s.w for s in sessions])))
        x, g = sessions
        rows = [("act click, median ms", statistics.median(x.click_ms),
                 statistics.median(g.click_ms)),
                ("act type, ms per character", statistics.median(x.type_ms),
                 statistics.median(g.type_ms)),
                ("retitle -> kept frame, median ms", statistics.median(x.frame_ms),
                 statistics.median(g.frame_ms)),
                ("idle recording watcher, % CPU", idle[x.name], idle[g.name])]
        print_table(rows, (x.name, g.name), "GNOME/X11")
        runs = len(x.type_ms)
        print(f"type exact: X11 {x.exact} of {runs}, GNOME {g.exact} of {runs} runs")
        for s in sessions:
            s.w.stop()


if __name__ == "__main__":
    main()
