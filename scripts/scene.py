#!/usr/bin/python3
"""The stage for the demo and the soak, inside a virtual desktop: a page served from 127.0.0.1,
GTK applications, Chromium with accessibility on, a watcher driven like a host drives it, and the
person's hands (xdotool). Every process started here is stopped by PID and waited for."""
import http.server
import json
import os
import shutil
import subprocess
import tempfile
import threading
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
APP = os.path.join(ROOT, "scripts", "demo_app.py")
CLIPOWNER = os.path.join(ROOT, "tests", "input", "clipowner.py")

PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Trip planner</title></head>
<body style="font: 16px sans-serif; margin: 24px">
<h1>Trip planner</h1>
<p>Where to next? Write it down and save it.</p>
<label>Destination <input id="dest" autofocus></label>
<button id="save" style="width: 120px; height: 36px"
  onclick="document.getElementById('out').textContent = 'Saved: ' +
           document.getElementById('dest').value">Save</button>
<p id="out"></p>
<h2>Ideas</h2>
%s
</body></html>
""" % "\n".join(f"<p>Idea {i}: a walk along the river, lunch in the old town, a museum "
                f"and the evening train back.</p>" for i in range(1, 81))


class Page:
    """A page on 127.0.0.1 (a port the system picks), served from a thread."""

    def __init__(self):
        body = PAGE.encode()

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *_):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/trip"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


class Stage:
    """The applications of one session. `env` is the desktop's environment."""

    def __init__(self, env):
        self.env = dict(env)
        self.procs = []
        self.tmp = tempfile.mkdtemp(prefix="zephrin-stage-")
        self.page = None

    # -- applications -------------------------------------------------------------------------

    def gtk_app(self, title, app_id):
        p = subprocess.Popen(["/usr/bin/python3", APP, "--title", title, "--app-id", app_id],
                             env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        if p.stdout.readline().strip() != b"ready":
            raise RuntimeError(f"{title} did not start")
        return p, self.window_of(p.pid)

    def chromium(self, incognito=False):
        """Starts Chromium on the page (a second call opens a window in the running browser).
        Accessibility must be on as it starts, or it never joins the accessibility bus."""
        if self.page is None:
            self.page = Page()
        before = set(self.windows("--class", "chromium"))
        cmd = ["chromium", "--no-sandbox", "--disable-gpu", "--no-first-run",
               "--disable-background-networking", "--disable-component-update",
               "--disable-sync", "--no-default-browser-check", "--password-store=basic",
               "--disable-features=Translate,MediaRouter", "--window-position=0,0",
               "--window-size=1100,760", "--user-data-dir=" + os.path.join(self.tmp, "chromium")]
        if incognito:
            cmd.append("--incognito")
        p = subprocess.Popen(cmd + [self.page.url], env=dict(self.env, ACCESSIBILITY_ENABLED="1"),
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            new = [w for w in self.windows("--class", "chromium") if w not in before]
            if new:
                self.settle()
                return p, new[-1]
            time.sleep(0.2)
        raise RuntimeError("Chromium showed no window within 60 s")

    def password_manager_copy(self, secret):
        """A password manager puts `secret` on the clipboard, marked as not to be recorded."""
        p = subprocess.Popen(["/usr/bin/python3", CLIPOWNER, "--hint", secret], env=self.env,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.procs.append(p)
        p.stdout.readline()
        return p

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
        for p in reversed(self.procs):
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.procs.clear()
        if self.page:
            self.page.close()
            self.page = None
        shutil.rmtree(self.tmp, ignore_errors=True)

    # -- the person's hands -------------------------------------------------------------------

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              timeout=30).stdout

    def windows(self, *query):
        return self.xdotool("search", "--onlyvisible", *query).split()

    def window_of(self, pid):
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            found = self.windows("--pid", str(pid), "--name", ".")
            if found:
                return found[0]
            time.sleep(0.1)
        raise RuntimeError(f"no window of process {pid}")

    def activate(self, window):
        self.xdotool("windowactivate", "--sync", window)
        self.settle()

    def type(self, text):
        self.xdotool("type", "--delay", "40", text)

    def keys(self, *keys):
        self.xdotool("key", "--delay", "60", *keys)

    def click(self, x, y):
        self.xdotool("mousemove", "--sync", str(x), str(y), "click", "1")

    def scroll(self, x, y, steps=5, down=True):
        self.xdotool("mousemove", "--sync", str(x), str(y), "click", "--repeat", str(steps),
                     "--delay", "40", "5" if down else "4")

    def settle(self, seconds=0.4):
        time.sleep(seconds)

    # -- where things are, from the accessibility tree ----------------------------------------

    def center(self, pid, role, name, timeout=20):
        """The screen centre of the first element of `role` named `name` in the application
        of process `pid`."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = _find(pid, role, name)
            if found:
                return found
            time.sleep(0.3)
        raise RuntimeError(f"no {role} '{name}' in process {pid}")


def _find(pid, role, name):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        try:
            if app is None or app.get_process_id() != pid:
                continue
            app.get_attributes()  # Chromium shows its web content to clients that ask this
            hit = _search(app, role, name, 0)
        except gi.repository.GLib.Error:
            continue
        if hit:
            return hit
    return None


def _search(node, role, name, depth):
    if depth > 40 or node is None:
        return None
    try:
        if node.get_role_name() == role and node.get_name() == name:
            box = node.get_extents(Atspi.CoordType.SCREEN)
            if box.width > 0 and box.height > 0:
                return box.x + box.width // 2, box.y + box.height // 2
        for i in range(node.get_child_count()):
            hit = _search(node.get_child_at_index(i), role, name, depth + 1)
            if hit:
                return hit
    except gi.repository.GLib.Error:
        return None
    return None


class Watcher:
    """`watch` as a host runs it: commands on its input, every line of its output collected (and
    handed to `on_line` as it arrives) by a thread of its own."""

    def __init__(self, binary, env, on_line=None, cwd=None):
        self.lines = []
        self.proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=env, cwd=cwd, bufsize=0)
        self.on_line = on_line
        self.cond = threading.Condition()
        self.reader = threading.Thread(target=self._read)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            with self.cond:
                self.lines.append(raw)
                self.cond.notify_all()
            if self.on_line:
                self.on_line(raw)

    def send(self, cmd):
        self.proc.stdin.write((json.dumps(cmd) + "\n").encode())

    def wait_for(self, kind, timeout=10, after=0):
        """Waits for a line of `kind` among the lines from index `after` on."""
        deadline = time.monotonic() + timeout
        needle = f'"kind":"{kind}"'.encode()
        with self.cond:
            while True:
                for line in self.lines[after:]:
                    if needle in line:
                        return json.loads(line)
                left = deadline - time.monotonic()
                if left <= 0 or not self.reader.is_alive():
                    return None
                self.cond.wait(left)

    def stop(self, timeout=20):
        if self.proc.poll() is None:
            try:
                self.send({"cmd": "stop"})
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.reader.join()
        return self.proc.returncode
