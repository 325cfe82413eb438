#!/usr/bin/python3
"""A 1280 x 800 window of text captured to a kept frame on disk, against ImageMagick's
`import -window` writing a JPEG of the same window, on one virtual desktop, in the same run.

    bench/frames/capture_bench.py [--runs N] [--tool PATH]

Ours: captureFrame through the real X11 backend (Composite pixmap, MIT-SHM), then frame keeping
(shrink to 1280, hash, JPEG at quality 60, file in the frames directory), timed from the request
to the "frame" event, in the test program tests/frames/capture_e2e_tool (ninja capture_e2e_tool).
Each request names a new window title, so no frame is dropped as a near-duplicate.
import: `import -window ID -quality 60 out.jpg`, its whole run. Runs alternate; medians of N
(default 30). Both are held to one core.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "frames"))

from capture_e2e_test import Tool, VirtualDesktop  # noqa: E402

WINDOW = """
import sys
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk
win = Gtk.Window(title="Bench")
win.set_default_size(1280, 800)
win.move(0, 0)
view = Gtk.TextView(wrap_mode=Gtk.WrapMode.WORD)
view.get_buffer().set_text(sys.argv[1])
scroll = Gtk.ScrolledWindow()
scroll.add(view)
win.add(scroll)
win.connect("map-event", lambda *_: GLib.timeout_add(500, lambda: print("ready", flush=True)))
win.show_all()
Gtk.main()
"""

PROSE = ("Hi Sarah, thanks for sending the quarterly figures. I went through the budget with "
         "Daniel this morning and we agreed to move the design review to Thursday. Invoice 4521 "
         "is still open; please check with Accounts Payable before Friday. ")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--runs", type=int, default=30)
    ap.add_argument("--tool", default=os.path.join(ROOT, "build", "tests", "frames",
                                                   "capture_e2e_tool"))
    args = ap.parse_args()
    if not shutil.which("import"):
        sys.exit("capture_bench: ImageMagick's import is missing (scripts/setup installs it)")

    text = "\n".join(PROSE * 2 for _ in range(60))
    frames = tempfile.mkdtemp(prefix="capture-bench-")
    with VirtualDesktop(width=1600, height=1000) as desk:
        env = dict(desk.env, OMP_THREAD_LIMIT="1", VIPS_CONCURRENCY="1", MAGICK_THREAD_LIMIT="1")
        win = subprocess.Popen(["/usr/bin/python3", "-c", WINDOW, text], env=env,
                               stdout=subprocess.PIPE, text=True)
        tool = Tool(env, frames)
        try:
            assert win.stdout.readline().strip() == "ready"
            os.sched_setaffinity(tool.proc.pid, {0})
            entry = next(e for e in tool.ask("list", "list")[-1]["windows"]
                         if e["pid"] == win.pid)
            ours, theirs, shots, size = [], [], [], None
            out = os.path.join(frames, "import.jpg")
            for i in range(args.runs + 1):
                start = time.perf_counter()
                events = tool.ask(f"frame {win.pid} Bench {i}", "frame", "frame_dropped")
                took = time.perf_counter() - start
                if events[-1]["kind"] != "frame":
                    sys.exit(f"capture_bench: no frame: {events}")
                size = (events[-1]["w"], events[-1]["h"])
                os.unlink(events[-1]["path"])
                start = time.perf_counter()
                tool.ask(f"shot {entry['id']}", "shot")
                took_shot = time.perf_counter() - start
                start = time.perf_counter()
                subprocess.run(["taskset", "-c", "0", "import", "-window", str(entry["id"]),
                                "-quality", "60", out], env=env, check=True)
                took_import = time.perf_counter() - start
                if i:  # the first run loads the image module and warms the caches
                    ours.append(took * 1000)
                    theirs.append(took_import * 1000)
                    shots.append(took_shot * 1000)
        finally:
            tool.close()
            win.terminate()
            win.wait()
    shutil.rmtree(frames, ignore_errors=True)

    b = entry["bounds"]
    mine, base = statistics.median(ours), statistics.median(theirs)
    print(f"window {int(b[2])} x {int(b[3])} (frame included), kept at {size[0]} x {size[1]}; "
          f"medians of {args.runs}, one core")
    print(f"captureFrame to a kept frame on disk   {mine:7.1f} ms   (goal <= 25 ms)")
    print(f"  of which the picture alone           {statistics.median(shots):7.1f} ms")
    print(f"import -window, JPEG q60               {base:7.1f} ms   ratio {base / mine:.2f}")


if __name__ == "__main__":
    main()
