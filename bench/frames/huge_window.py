#!/usr/bin/python3
"""Memory and main-loop stalls of the watcher keeping a frame of a huge window, on a virtual
desktop, against the same with a screen-sized window in the same run.

    bench/frames/huge_window.py [--side 16000] [--watch PATH] [--against PATH]

For each build and each window (1280x800, then SIDE x SIDE): a recording watcher with frames on
observes a GTK window, which is then resized and retitled; the run ends at the frame (or
"frame_dropped") that follows. Reported: the watcher's peak resident memory (VmHWM), and the
longest a "probe" sent every 20 ms waited for its answer while the frame was made (a stall of the
main loop shows there).
"""
import argparse
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from watchdesk import Desk, Watch  # noqa: E402


def peak_rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return 0.0


def run(binary, width, height):
    with Desk() as desk:
        app = desk.gtk("Huge")
        w = Watch(desk.env, binary=binary, log_dir=desk.tmp)
        desk.watches.append(w)
        w.send(cmd="config", frames_dir=desk.frames, frames=True)
        desk.activate(app.pid)
        w.wait("frame", timeout=30)
        xid = desk.window_of(app.pid)
        waits, stop = [], threading.Event()

        def prober():
            while not stop.is_set():
                mark = w.mark()
                sent = time.monotonic()
                w.send(cmd="probe")
                try:
                    w.wait("probe", since=mark, timeout=30)
                except AssertionError:
                    break
                waits.append(time.monotonic() - sent)
                time.sleep(0.02)

        mark = w.mark()
        t = threading.Thread(target=prober, daemon=True)
        t.start()
        desk.xdotool("windowsize", "--sync", xid, width, height, timeout=120)
        started = time.monotonic()
        app.ask("title Huge resized", timeout=120)  # a new title: a window read, then a frame
        got = w.wait(("frame", "frame_dropped"), since=mark, timeout=120,
                     pred=lambda e: e["kind"] == "frame_dropped" or e["window"] == "Huge resized")
        took = time.monotonic() - started
        stop.set()
        t.join(timeout=35)
        rss = peak_rss_mb(w.proc.pid)
        return rss, max(waits) if waits else float("nan"), took, got


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--side", type=int, default=16000)
    p.add_argument("--watch", default=os.path.join(ROOT, "build", "watch", "watch"))
    p.add_argument("--against")
    args = p.parse_args()
    builds = [("watch", args.watch)] + ([("against", args.against)] if args.against else [])
    print(f"a frame of a {args.side}x{args.side} window against one of 1280x800, same run")
    for name, binary in builds:
        base = run(binary, 1280, 800)
        huge = run(binary, args.side, args.side)
        print(f"  {name}: {binary}")
        for label, (rss, stall, took, got) in (("1280x800", base), (f"{args.side}^2", huge)):
            print(f"    {label:10s} peak RSS {rss:7.1f} MB, longest probe wait {stall * 1000:6.0f} ms,"
                  f" frame after {took:5.2f} s ({got['kind']} {got.get('w', '')}x{got.get('h', '')})")
        print(f"    ratio huge / screen-sized: peak RSS {huge[0] / base[0]:.2f}, "
              f"longest probe wait {huge[1] / max(base[1], 1e-6):.1f}")


if __name__ == "__main__":
    main()
