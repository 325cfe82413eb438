#!/usr/bin/python3
"""A window change -> the first report the watcher allows about the new window ("window"), for
this build and another (--against, say an earlier commit's), on one virtual desktop in the same
run, with two GTK apps brought to the front in turn.

    bench/watch/decision_delay.py [--changes N] [--rounds R] [--against PATH]

Each change is one `xdotool windowactivate` (repeated until it took); times are from just before it, on one monotonic
clock. The two watchers take turns in R rounds of N changes, so load affects both alike; the
p50 and p99 of each, and the ratio of this build's to the other's, are printed."""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
from watchdesk import WATCH, Desk, Watch  # noqa: E402


def pct(values, p):
    v = sorted(values)
    return v[min(len(v) - 1, int(round(p / 100 * (len(v) - 1))))]


def measure(desk, binary, apps, changes, missed):
    w = Watch(desk.env, binary=binary)
    desk.activate(window=apps[1].xid)
    w.send(cmd="config")
    w.wait("window", app=apps[1].name, timeout=30)
    time.sleep(0.5)
    out = []
    for i in range(changes):
        app = apps[i % 2]
        m = w.mark()
        t0 = time.monotonic()
        desk.activate(window=app.xid)
        try:
            e = w.wait("window", since=m, app=app.name, timeout=15)
        except AssertionError:
            missed.append(i)  # never told: counted apart, not in the figures
            if os.environ.get("DEBUG_DELAY"):
                print(binary, i, app.name, w.since(max(0, m - 2)), file=sys.stderr)
            continue
        out.append((w.times[w.index(e)] - t0) * 1000)
        time.sleep(0.4)  # past the old build's 0.3 s wait, so each change is read alone
    w.stop()
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--changes", type=int, default=30)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--against", default=None)
    args = ap.parse_args()
    builds = {"this": WATCH}
    if args.against:
        builds["against"] = args.against
    with Desk() as desk:
        # Different titles each turn, so every change is a new window for either build.
        apps = [desk.gtk("Left", "Left"), desk.gtk("Right", "Right")]
        times = {k: [] for k in builds}
        missed = {k: [] for k in builds}
        for _ in range(args.rounds):
            for name, binary in builds.items():
                times[name] += measure(desk, binary, apps, args.changes, missed[name])
        for name, values in times.items():
            print(f"{name:8s} window change -> \"window\": p50 {pct(values, 50):6.1f} ms  "
                  f"p99 {pct(values, 99):6.1f} ms  mean {statistics.mean(values):6.1f} ms  "
                  f"(n={len(values)}, no window at all: {len(missed[name])}; {builds[name]})")
        if "against" in times:
            for p in (50, 99):
                print(f"ratio this/against p{p}: "
                      f"{pct(times['this'], p) / pct(times['against'], p):.2f}")


if __name__ == "__main__":
    main()
