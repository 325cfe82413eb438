#!/usr/bin/python3
"""The walk of a big Firefox table: from the "window" event to a complete "text" (partial
false, every cell), against a small table in the same run.

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
        whole = w.wait("text", timeout=300, pred=lambda e: not e["partial"] and len(
            re.findall(r"\bc\d+x\d+\b", e["text"])) >= cells)
        took = w.times[w.index(whole)] - at
        texts = [e for e in w.since(w.index(window), "text")]
        print(f"{cells:6} cells: complete \"text\" {took:5.2f} s after \"window\" "
              f"({len(texts)} \"text\" events, first partial {texts[0]['partial']})")
        return took


big = int(sys.argv[2]) if len(sys.argv) > 2 else 7500
small = int(sys.argv[3]) if len(sys.argv) > 3 else 100
base = table_walk(small)
took = table_walk(big)
print(f"ratio {took / base:.1f}x")
