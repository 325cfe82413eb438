#!/usr/bin/python3
"""The demo on Wayland: a headless sway session with two GTK applications, a watcher configured
the way a host would, and act doing the person's work there (clicks, typing, shortcuts), then
refusing a click on a spot another window covers. Every event line and every act reply is shown
as it arrives: one readable line each, or the raw JSON with --json.

    demo_wayland.py [--json]   (the programs: $ZEPHRIN_WATCH and $ZEPHRIN_ACT, else build/)"""
import argparse
import json
import os
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests", "wayland"))
from demo_session import BOLD, OFF, say, summary  # noqa: E402
from swaydesk import SwayDesk, sway_missing  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--json", action="store_true", help="print the raw lines")
    args = ap.parse_args()
    missing = sway_missing()
    if missing:
        print(f"demo --wayland: {missing}", file=sys.stderr)
        return 1
    t0 = int(time.time() * 1000)
    say("starting headless sway (its own user, session bus, accessibility bus)")
    with SwayDesk() as desk:
        frames = tempfile.mkdtemp(prefix="zephrin-demo-frames-")
        desk.vd.own(frames)
        ledger = desk.gtk("Ledger", "Quarterly ledger")
        notes = desk.gtk("Notes", "Shopping notes")
        watch = desk.watch()
        stop_showing = threading.Event()

        def follow():
            shown = 0
            while True:
                done = stop_showing.is_set()
                for e in watch.since(shown):
                    print("   " + json.dumps(e, ensure_ascii=False) if args.json
                          else summary(e, t0), flush=True)
                    shown += 1
                if done:
                    return
                time.sleep(0.05)

        def act(*words, target):
            status, reply = desk.act(*words, target=target)
            shown = " ".join(str(w) for w in words)
            print(f"   {BOLD}act {shown[:60]}{OFF} -> {json.dumps(reply, ensure_ascii=False)}",
                  flush=True)
            return status

        printer = threading.Thread(target=follow)
        printer.start()
        try:
            watch.wait("probe")
            cmd = {"cmd": "config", "frames_dir": frames, "frames": True}
            say("the host configures it (frames on); recording starts")
            watch.send(cmd)
            watch.wait("resumed")
            say("the ledger in front; act clicks the Name field and types")
            desk.activate(pid=ledger.pid)
            time.sleep(1.5)
            act("click", *desk.where(ledger, "name"), target=ledger.pid)
            act("type", "Ada Lovelace — 1843 ✓", target=ledger.pid)
            time.sleep(1.8)
            say("act presses ctrl+a, ctrl+c: a copy")
            act("key", "ctrl+a", target=ledger.pid)
            act("key", "ctrl+c", target=ledger.pid)
            time.sleep(1.2)
            say("act clicks Rename: the window's title changes")
            act("click", *desk.where(ledger, "rename"), target=ledger.pid)
            time.sleep(1.5)
            say("the notes float over the ledger; act refuses a click on the covered spot")
            x, y = desk.where(ledger, "name")
            window = desk.window_of(notes.pid)
            desk.swaymsg(f"[con_id={window}]", "floating enable, resize set 500 300, "
                         f"move position {x - 100} {y - 100}")
            desk.activate(pid=ledger.pid)
            time.sleep(1.0)
            act("click", x, y, target=ledger.pid)
            say("the notes in front: act refuses to type for the ledger")
            desk.activate(pid=notes.pid)
            time.sleep(1.5)
            act("type", "not sent", target=ledger.pid)
            say("stop")
            status = watch.stop()
        finally:
            stop_showing.set()
            printer.join()
    kept = sorted(os.listdir(frames))
    say(f"watch exited with status {status}; its {len(kept)} frames are in {frames}")
    return status


if __name__ == "__main__":
    sys.exit(main())
