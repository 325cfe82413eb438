#!/usr/bin/python3
"""The demo's script: a virtual desktop, two GTK applications and Chromium on a page served from
127.0.0.1, a watcher configured the way a host would, a short session of a person at
work, and a clean stop. Every event line is shown as it arrives: one readable line per event, or
the raw JSON with --json.

    demo_session.py [--json]          (the watcher: $ZEPHRIN_WATCH, else build/watch/watch)"""
import argparse
import json
import os
import sys
import tempfile
import threading
import time

import gi

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import watchdesk  # noqa: E402

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402

CLIPOWNER = os.path.join(ROOT, "tests", "input", "clipowner.py")
PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Trip planner</title></head>
<body style="font: 16px sans-serif; margin: 24px">
<h1>Trip planner</h1>
<p>Where to next? Write it down and save it.</p>
<label>Destination <input id="dest"></label>
<button style="width: 120px; height: 36px" onclick="document.getElementById('out')
  .textContent = 'Saved: ' + document.getElementById('dest').value">Save</button>
<p id="out"></p>
<h2>Ideas</h2>
%s
</body></html>
""" % "\n".join(f"<p>Idea {i}: a walk along the river, lunch in the old town, a museum and the "
                f"evening train back.</p>" for i in range(1, 81))
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


def center(pid, role, name, timeout=20):
    """The screen centre of the first element of `role` named `name` in the application of
    process `pid`, from the accessibility tree (for places in a web page)."""
    def search(node, depth):
        if node is None or depth > 40:
            return None
        if node.get_role_name() == role and node.get_name() == name:
            box = node.get_extents(Atspi.CoordType.SCREEN)
            if box.width > 0 and box.height > 0:
                return box.x + box.width // 2, box.y + box.height // 2
        for i in range(node.get_child_count()):
            hit = search(node.get_child_at_index(i), depth + 1)
            if hit:
                return hit
        return None

    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            try:
                if app is not None and app.get_process_id() == pid:
                    app.get_attributes()  # Chromium shows its web content to clients that ask
                    hit = search(app, 0)
                    if hit:
                        return hit
            except GLib.Error:
                pass
        time.sleep(0.3)
    raise RuntimeError(f"no {role} '{name}' in process {pid}")


def page_window(desk, besides=(), timeout=60):
    """A browser window showing the page once it has loaded (and is not one of `besides`)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = set(desk.xdotool("search", "--onlyvisible", "--name", "^Trip planner").split())
        found -= set(besides)
        if found:
            return int(found.pop())
        time.sleep(0.2)
    raise RuntimeError("the page did not load")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--json", action="store_true", help="print the raw event lines")
    args = ap.parse_args()

    t0 = int(time.time() * 1000)

    frames = tempfile.mkdtemp(prefix="zephrin-demo-frames-")
    say("starting a virtual desktop (Xvfb, session bus, openbox, accessibility bus)")
    with watchdesk.Desk() as desk:
        os.environ.update(desk.env)  # our own accessibility client (places in the page)
        say("opening Chromium on a page served from 127.0.0.1, and two GTK applications")
        pages = desk.serve()
        pages.page("trip.html", PAGE)
        browser = desk.browser(pages.url("trip.html"))
        browser_win = page_window(desk)
        ledger = desk.gtk("Ledger", "Quarterly ledger")
        notes = desk.gtk("Notes", "Shopping notes")

        say("starting watch: it reports its probe and waits, paused, for a host")
        watch = desk.watch()
        stop_showing = threading.Event()

        def follow():
            # Prints each line as the harness reads it: the raw bytes, or a summary.
            shown = bad = 0
            while True:
                done = stop_showing.is_set()
                if args.json:
                    with watch._cond:
                        end = watch.raw.rfind(b"\n") + 1
                        chunk = bytes(watch.raw[shown:end]) if end > shown else b""
                    shown += len(chunk)
                    for line in chunk.decode(errors="replace").splitlines():
                        print("   " + line, flush=True)
                else:
                    for e in watch.since(shown):
                        print(summary(e, t0), flush=True)
                        shown += 1
                    for raw in watch.bad[bad:]:
                        print("   (not JSON) " + raw.decode(errors="replace").rstrip(),
                              flush=True)
                        bad += 1
                if done:
                    return
                time.sleep(0.05)

        printer = threading.Thread(target=follow)
        printer.start()
        try:
            watch.wait("probe")
            cmd = {"cmd": "config", "skip_bundles": ["org.example.vault"],
                   "skip_hosts": ["bank.example"], "frames_dir": frames, "frames": True}
            say("the host configures it: skip lists, frames on; recording starts")
            print("   > " + json.dumps(cmd), flush=True)
            watch.send(cmd)
            watch.wait("resumed")
            time.sleep(1.5)

            say("switch to the ledger and type a name")
            desk.activate(window=ledger.xid)
            desk.click(*ledger.where("name"))
            desk.type("ada lovelace", delay=40)
            time.sleep(1.8)
            say("shortcuts: select all (ctrl+a), then copy (ctrl+c)")
            desk.key("ctrl+a")
            time.sleep(0.3)
            desk.key("ctrl+c")
            time.sleep(1.0)
            say("click the Rename button (the window's title changes)")
            desk.click(*ledger.where("rename"))
            time.sleep(1.5)

            say("switch to the browser: its page and readable text")
            desk.activate(window=browser_win)
            time.sleep(2.5)
            say("type a destination and click Save")
            desk.click(*center(browser.pid, "entry", "Destination"))
            desk.type("lisbon", delay=40)
            time.sleep(0.5)
            desk.click(*center(browser.pid, "push button", "Save"))
            time.sleep(1.5)
            say("scroll the page (reported 2 s after the burst ends)")
            desk.scroll(600, 500, times=8)
            time.sleep(2.8)

            say("switch to the notes; a password manager puts a password on the clipboard")
            desk.activate(window=notes.xid)
            time.sleep(1.0)
            desk.spawn([watchdesk.PYTHON, CLIPOWNER, "--hint", "correct horse battery staple"])
            time.sleep(1.5)

            say("open a private (incognito) window and type there: nothing of it is reported")
            browser.open(pages.url("trip.html"), incognito=True)
            private = page_window(desk, besides=[str(browser_win)])
            desk.activate(window=private)
            time.sleep(2.0)
            desk.type("secret search", delay=40)
            time.sleep(1.5)

            say("back to the notes; the host pauses, the person types, the host resumes")
            desk.activate(window=notes.xid)
            time.sleep(1.0)
            mark = watch.mark()
            watch.send(cmd="pause")
            watch.wait("paused", since=mark)
            desk.click(*notes.where("name"))
            desk.type("not seen", delay=40)
            mark = watch.mark()
            watch.send(cmd="resume")
            watch.wait("resumed", since=mark)
            time.sleep(1.5)

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
