#!/usr/bin/python3
"""How quickly a big GTK window answers its own keys while `watch` records it, against the same
window unrecorded in the same run.

    bench/atspi/latency.py [BUILD_DIR] [ROWS] [SECONDS]

ROWS rows of 20 labels (default 1000: 20,000 labels). A Shift press every 50 ms for SECONDS
(default 30) in each phase; the window notes how late each press was handled. The recorded phase
starts as `watch` reports the app, so the mirror's whole building falls inside it.
LATENCY_FIRST_CALL=1 adds a phase between the two in which another client makes a single call.
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
os.environ.setdefault("ZEPHRIN_WATCH", os.path.join(build, "watch", "watch"))
import watchdesk  # noqa: E402

rows = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
seconds = float(sys.argv[3]) if len(sys.argv) > 3 else 30
watchdesk.WATCH = os.environ["ZEPHRIN_WATCH"]


def presses(desk, app):
    """(seconds after the start, lag) of each press; the app handles presses in order, so its
    list pairs with the sending times."""
    app.ask("lags")
    start = time.monotonic()
    end = start + seconds
    sent = []
    while time.monotonic() < end:
        sent.append(time.monotonic() - start)
        desk.key("shift")
        time.sleep(0.05)
    lags = [int(v) for v in app.ask("lags", timeout=300).split()[1:]]
    return list(zip(sent, lags)) if len(lags) == len(sent) else [(0, lag) for lag in lags]


def figures(name, pairs, after=0.0):
    lags = sorted(lag for at, lag in pairs if at >= after)
    if not lags:
        print(f"{name:12} no presses arrived")
        return 0
    p = lambda q: lags[min(len(lags) - 1, int(q * len(lags)))]  # noqa: E731
    print(f"{name:12} {len(lags):5} presses  p50 {p(0.5):6} ms  p99 {p(0.99):6} ms  "
          f"max {lags[-1]:6} ms")
    return p(0.99)


with watchdesk.Desk() as desk:
    app = desk.spawn([watchdesk.PYTHON, os.path.join(ROOT, "tests", "atspi", "atspiapp.py"),
                      "Bigwin", str(rows)])
    app.line(lambda l: l == "ready", timeout=300)
    desk.activate(app.pid, timeout=120)
    print(f"GTK3 window of {rows * 20} labels")
    alone = figures("unrecorded", presses(desk, app))
    if os.environ.get("LATENCY_FIRST_CALL"):
        # Another client's single call, to see the bridge's first-contact cost on its own.
        import subprocess
        probe = subprocess.Popen([watchdesk.PYTHON, "-c", (
            "import gi\ngi.require_version('Atspi','2.0')\nfrom gi.repository import Atspi\n"
            "d=Atspi.get_desktop(0)\n[d.get_child_at_index(i).get_child_count() "
            "for i in range(d.get_child_count())]\n")], env=desk.env)
        figures("one call", presses(desk, app))
        probe.wait()
    w = desk.watch()
    w.send(cmd="config", frames_dir=desk.frames, frames=False)
    w.wait("app", timeout=60)
    started = time.monotonic()
    pairs = presses(desk, app)
    recorded = figures("recorded", pairs)
    # Any client's first call makes GTK's bridge index the whole tree (over a second at 20,000
    # labels, once per app, whoever the client): what the mirror costs is seen after it.
    figures("recorded 3 s+", pairs, 3.0)
    for what, fields in (("first", {}), ("first complete", {"partial": False})):
        text = w.wait("text", timeout=120, **fields)
        print(f"{what} \"text\" {w.times[w.index(text)] - started:.1f} s after \"app\" "
              f"({len(text['text'].split())} words, partial {text['partial']})")
    if alone:
        print(f"p99 ratio recorded/unrecorded: {recorded / alone:.1f}x")
    app.ask("lags")
