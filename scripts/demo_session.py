#!/usr/bin/python3
"""The demo's script, run inside a virtual desktop: two GTK applications and Chromium on a page
served from 127.0.0.1, a watcher configured the way a host would, a short session of a person at
work, and a clean stop. Every event line is shown as it arrives: one readable line per event, or
the raw JSON with --json.

    demo_session.py [--json] [WATCH]"""
import argparse
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from scene import ROOT, Stage, Watcher  # noqa: E402

CONTEXT = ("app", "bundle", "window", "url")
BOLD, DIM, OFF = ("\033[1m", "\033[2m", "\033[0m") if sys.stdout.isatty() else ("", "", "")


def say(text):
    print(f"{BOLD}-- {text}{OFF}", flush=True)


def short(value, room=48):
    if isinstance(value, dict):
        if "role" in value or not value:  # an element
            label = value.get("label") or value.get("title") or value.get("value") or ""
            return (value.get("role", "{}") + (f" {short(label, 30)}" if label else ""))
        return "{" + ", ".join(f"{k}: {short(v, 12)}" for k, v in value.items()) + "}"
    if isinstance(value, list):
        return f"[{len(value)}]"
    if isinstance(value, str):
        value = value.replace("\n", " ")
        return json.dumps(value[:room] + ("…" if len(value) > room else ""), ensure_ascii=False)
    return json.dumps(value)


def summary(event, t0):
    """One line for an event: seconds since the start, the kind, its own fields, then where."""
    fields = []
    for key, value in event.items():
        if key in ("kind", "t", "hash", "dhash") + CONTEXT:
            continue
        if key == "path":
            value = os.path.basename(value)
        if key == "outline":
            value = ", ".join(f"{len(v)} {k}" for k, v in value.items() if v) or "empty"
            fields.append(f"outline=({value})")
            continue
        fields.append(f"{key}={short(value)}")
    where = " · ".join(event[k] for k in ("app", "window", "url") if event.get(k))
    seconds = (event.get("t", t0) - t0) / 1000
    return (f"   {seconds:6.1f}s  {event.get('kind', '?'):<13} {' '.join(fields)}"
            + (f"  {DIM}[{where}]{OFF}" if where else ""))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--json", action="store_true", help="print the raw event lines")
    ap.add_argument("watch", nargs="?", default=os.path.join(ROOT, "build/watch/watch"))
    args = ap.parse_args()

    t0 = int(time.time() * 1000)

    def show(raw):
        line = raw.decode(errors="replace").rstrip("\n")
        if args.json:
            print("   " + line, flush=True)
            return
        try:
            print(summary(json.loads(line), t0), flush=True)
        except (ValueError, AttributeError):
            print("   (not JSON) " + line, flush=True)

    frames = tempfile.mkdtemp(prefix="zephrin-demo-frames-")
    stage = Stage(os.environ)
    watch = None
    try:
        say("opening two GTK applications and Chromium on a page served from 127.0.0.1")
        pad, pad_win = stage.gtk_app("Zephrin demo pad", "org.zephrin.DemoPad")
        notes, notes_win = stage.gtk_app("Zephrin notes", "org.zephrin.Notes")
        browser, browser_win = stage.chromium()

        say("starting watch: it reports its probe and waits, paused, for a host")
        watch = Watcher(args.watch, stage.env, on_line=show)
        watch.wait_for("probe")
        cmd = {"cmd": "config", "skip_bundles": ["org.example.vault"],
               "skip_hosts": ["bank.example"], "frames_dir": frames, "frames": True}
        say("the host configures it: skip lists, frames on, start recording")
        print("   > " + json.dumps(cmd), flush=True)
        watch.send(cmd)
        watch.wait_for("resumed")
        stage.settle(1.5)

        say("switch to the demo pad and type a name")
        stage.activate(pad_win)
        stage.type("ada lovelace")
        stage.settle(1.8)
        say("a shortcut: select all (ctrl+a), then copy (ctrl+c)")
        stage.keys("ctrl+a")
        stage.settle(0.3)
        stage.keys("ctrl+c")
        stage.settle(1.0)
        say("click the Send button")
        stage.click(*stage.center(pad.pid, "push button", "Send"))
        stage.settle(1.5)

        say("switch to the browser: its page and readable text")
        stage.activate(browser_win)
        stage.settle(2.5)
        say("type a destination and click Save")
        stage.click(*stage.center(browser.pid, "entry", "Destination"))
        stage.type("lisbon")
        stage.settle(0.5)
        stage.click(*stage.center(browser.pid, "push button", "Save"))
        stage.settle(1.5)
        say("scroll the page (reported 2 s after the burst ends)")
        stage.scroll(550, 500, steps=8)
        stage.settle(2.8)

        say("switch to the notes and copy a password from a password manager")
        stage.activate(notes_win)
        stage.settle(1.0)
        stage.password_manager_copy("correct horse battery staple")
        stage.settle(1.5)

        say("open a private (incognito) window and type there: nothing of it is reported")
        stage.chromium(incognito=True)
        stage.settle(2.0)
        stage.type("secret search")
        stage.settle(1.5)

        say("back to the notes; the host pauses, the person types, the host resumes")
        stage.activate(notes_win)
        stage.settle(1.0)
        mark = len(watch.lines)
        watch.send({"cmd": "pause"})
        watch.wait_for("paused", after=mark)
        stage.type("not seen")
        stage.settle(0.5)
        mark = len(watch.lines)
        watch.send({"cmd": "resume"})
        watch.wait_for("resumed", after=mark)
        stage.settle(1.5)

        say("stop")
        status = watch.stop()
        watch = None
        kept = sorted(os.listdir(frames))
        say(f"watch exited with status {status}; {len(kept)} frames are in {frames}")
        return status
    finally:
        if watch is not None:
            watch.stop()
        stage.stop()


if __name__ == "__main__":
    sys.exit(main())
