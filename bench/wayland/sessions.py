#!/usr/bin/python3
"""The same work on headless sway and on Xvfb, both desktops up at once, rounds alternating:

    bench/wayland/sessions.py [--rounds N]     (ZEPHRIN_WATCH, ZEPHRIN_ACT: the binaries)

- `act click` wall time per command (median);
- `act type` of 200 mixed characters: ms per character and how many runs arrived exact;
- a focus change (another application activated: xdotool on X, swaymsg on sway) to the
  watcher's "app" line, p50/p99, from just before the change is asked for;
- capture per kept frame: from a retitle of the front window to the watcher's "frame" line,
  median (the watcher's own wait before it captures is the same in both);
- CPU of a recording watcher over 10 s with nothing happening (% of one core).
Each figure is printed for both sessions with the ratio sway / X11."""
import argparse
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "wayland"))
sys.path.insert(0, os.path.join(ROOT, "bench", "act"))
from act_bench import mixed_text  # noqa: E402
from actdesk import TestApp  # noqa: E402
from swaydesk import ACT, Desk, SwayDesk  # noqa: E402
sys.path.insert(0, os.path.join(ROOT, "bench"))
from sessions_common import frame_ms, idle_cpu, print_table, run_act  # noqa: E402


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100 * (len(v) - 1))))]


class Session:
    def __init__(self, name, desk):
        self.name, self.desk = name, desk
        self.app = TestApp(desk, "zephrin-bench")
        desk.children.append(self.app)
        self.front = [desk.gtk("Alpha"), desk.gtk("Beta")]
        self.w = desk.recording()
        self.click_ms, self.type_ms, self.exact, self.focus_ms = [], [], 0, []
        self.frame_ms = []

    def where(self):
        if isinstance(self.desk, SwayDesk):
            ox, oy = self.desk.surface_origin(self.app.pid)
            return ox + self.app.where["x"] + 200, oy + self.app.where["y"] + 150
        return self.app.point(200, 150)

    def activate(self, app, xid):
        if isinstance(self.desk, SwayDesk):
            self.desk.activate(pid=app.pid)
        else:
            self.desk.activate(window=xid)

    def bring_bench(self):
        self.activate(self.app, self.app.where["xid"])

    def focus_round(self, i):
        target = self.front[i % 2]
        m = self.w.mark()
        t0 = time.monotonic()
        self.activate(target, target.xid)
        e = self.w.wait("app", since=m, app=target.name, timeout=20)
        self.focus_ms.append((self.w.times[self.w.index(e)] - t0) * 1000)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--rounds", type=int, default=20)
    args = p.parse_args()
    text = mixed_text()
    with Desk() as xdesk, SwayDesk() as sdesk:
        sessions = [Session("X11 (Xvfb)", xdesk), Session("sway (headless)", sdesk)]
        for s in sessions:
            s.bring_bench()
            s.w.wait("app", app="zephrin-bench", timeout=30)
        for i in range(args.rounds + 1):  # the first round warms up
            for s in sessions:
                ms = run_act(ACT, s.desk, "click", *s.where(), target=s.app.pid)
                if i:
                    s.click_ms.append(ms)
                time.sleep(0.45)
        for i in range(max(3, args.rounds // 4)):
            for s in sessions:
                s.app.ask('set ""', "set")
                s.type_ms.append(run_act(ACT, s.desk, "type", text, target=s.app.pid) / 200)
                time.sleep(0.3)
                s.exact += s.app.ask("text")["text"] == text
        for i in range(max(3, args.rounds // 4)):
            for s in sessions:
                s.frame_ms.append(frame_ms(s.w, s.app, i))
        for i in range(args.rounds):
            for s in sessions:
                s.focus_round(i)
                time.sleep(0.3)
        idle = dict(zip((s.name for s in sessions), idle_cpu([s.w for s in sessions])))
        x, w = sessions
        rows = [("act click, median ms", statistics.median(x.click_ms),
                 statistics.median(w.click_ms)),
                ("act type, ms per character", statistics.median(x.type_ms),
                 statistics.median(w.type_ms)),
                ("retitle -> kept frame, median ms", statistics.median(x.frame_ms),
                 statistics.median(w.frame_ms)),
                ("focus change -> app line p50 ms", pct(x.focus_ms, 50), pct(w.focus_ms, 50)),
                ("focus change -> app line p99 ms", pct(x.focus_ms, 99), pct(w.focus_ms, 99)),
                ("idle recording watcher, % CPU", idle[x.name], idle[w.name])]
        print_table(rows, (x.name, w.name), "sway/X11")
        runs = len(x.type_ms)
        print(f"type exact: X11 {x.exact} of {runs}, sway {w.exact} of {runs} runs")
        for s in sessions:
            s.w.stop()


if __name__ == "__main__":
    main()
