#!/usr/bin/python3
"""The walk of a big Firefox table: from the "window" event to the "text" holding the most of
its cells, against a small table in the same run.

    bench/watch/firefox_table.py [BUILD_DIR] [CELLS] [SMALL_CELLS]

Tables of 10 columns (default 7,500 and 100 cells), each on its own fresh Firefox ESR and
desktop.
"""
import os
import re
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
sys.path.insert(0, os.path.join(ROOT, "tests", "apps"))
build = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build")
import watchdesk  # noqa: E402
from appdesk import firefox  # noqa: E402

watchdesk.WATCH = os.path.join(build, "watch", "watch")


def table_walk(cells):
    rows = cells // 10
    with watchdesk.Desk() as desk:
        server = desk.serve()
        server.page("table.html", "<!doctype html><title>Table</title><table>" + "".join(
            "<tr>" + "".join(f"<td>c{r}x{c}</td>" for c in range(10)) + "</tr>"
            for r in range(rows)) + "</table>")
        w = desk.watch()
        w.send(cmd="config", frames_dir=desk.frames, frames=False)
        w.wait("resumed")
        app = firefox(desk, server.url("table.html"), "Table")
        desk.activate(window=app.xid, timeout=60)
        window = w.wait("window", timeout=120, window=lambda t: t.startswith("Table"))
        at = w.times[w.index(window)]
        # The walk visits 6,000 elements at most: a bigger table stays partial. The figure is
        # the time to the text holding the most cells within a minute.
        deadline = time.monotonic() + 60
        best, took, partial = -1, 0.0, True
        while time.monotonic() < deadline:
            for e in w.since(w.index(window), "text"):
                n = len(re.findall(r"\bc\d+x\d+\b", e["text"]))
                if n > best:
                    best, took, partial = n, w.times[w.index(e)] - at, e["partial"]
            if best >= cells:
                break
            time.sleep(0.5)
        texts = w.since(w.index(window), "text")
        print(f"{cells:6} cells: {best} read {took:5.2f} s after \"window\" (partial {partial}; "
              f"{len(texts)} \"text\" events, the first partial {texts[0]['partial']} "
              f"with {len(re.findall(r'c[0-9]+x[0-9]+', texts[0]['text']))} cells)")
        return took


big = int(sys.argv[2]) if len(sys.argv) > 2 else 7500
small = int(sys.argv[3]) if len(sys.argv) > 3 else 100
base = table_walk(small)
took = table_walk(big)
print(f"ratio {took / base:.1f}x")
