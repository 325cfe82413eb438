"""The watcher's desk (tests/watchdesk.py) on a headless sway session instead of X: the same
children and watcher, with the person's hands and the window questions asked of sway."""
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
from watchdesk import PYTHON, ROOT, Desk, SessionDesk  # noqa: E402,F401

sys.path.insert(0, os.path.join(ROOT, "scripts"))
from desktop import SwayDesktop, sway_missing  # noqa: E402,F401

ACT = SessionDesk.ACT


class SwayDesk(SessionDesk):
    def __init__(self, width=1280, height=800):
        super().__init__(width, height, SwayDesktop(width, height))

    def views(self):
        """Every view in sway's tree: id, pid, app_id, name, rect, floating, focused, visible."""
        out = []

        def walk(node, floating):
            if "pid" in node:
                out.append({"id": node["id"], "pid": node["pid"], "app_id": node.get("app_id"),
                            "name": node.get("name"), "rect": node["rect"],
                            "floating": floating, "focused": node.get("focused", False),
                            "visible": node.get("visible", False)})
            for k in node.get("nodes", []):
                walk(k, floating)
            for k in node.get("floating_nodes", []):
                walk(k, True)
        walk(json.loads(self.vd.swaymsg("-t", "get_tree").stdout), False)
        return out

    def swaymsg(self, *args):
        r = self.vd.swaymsg(*args)
        assert r.returncode == 0, r.stdout + r.stderr
        return r.stdout

    def window_of(self, pid, name=None, timeout=20):
        """The container id of a visible view of the process (waits for it)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for v in self.views():
                if v["pid"] == pid and v["visible"] and (name is None or v["name"] == name):
                    return v["id"]
            time.sleep(0.1)
        raise AssertionError(f"no view of pid {pid} within {timeout} s")

    def rect_of(self, window):
        return next(v["rect"] for v in self.views() if v["id"] == window)

    def active_pid(self):
        return next((v["pid"] for v in self.views() if v["focused"]), 0)

    def activate(self, pid=None, window=None, timeout=20):
        if window is None:
            window = self.window_of(pid)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.swaymsg(f"[con_id={window}]", "focus")
            if any(v["id"] == window and v["focused"] for v in self.views()):
                return window
            time.sleep(0.2)
        raise AssertionError(f"view {window} did not come to the front")

    def where(self, app, widget):
        """A widget's centre on the screen: GTK on Wayland knows only its window's coordinates."""
        ox, oy = self.surface_origin(app.pid)
        x, y = app.where(widget)
        return ox + x, oy + y

    def type(self, text, delay=20):
        subprocess.run(["wtype", "-d", str(delay), "--", text], env=self.env, check=True,
                       timeout=60, **self.run_as)

    def surface_origin(self, pid):
        """Where a view's surface begins on the screen: GTK's coordinates on Wayland start there."""
        tree = json.loads(self.vd.swaymsg("-t", "get_tree").stdout)

        def find(node):
            if node.get("pid") == pid and node.get("visible"):
                r, w, g = node["rect"], node["window_rect"], node["geometry"]
                return r["x"] + w["x"] - g["x"], r["y"] + w["y"] - g["y"]
            for k in node.get("nodes", []) + node.get("floating_nodes", []):
                got = find(k)
                if got:
                    return got
            return None
        return find(tree)
