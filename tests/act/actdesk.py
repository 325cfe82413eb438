"""Helpers for running act against GTK test windows on a virtual desktop."""
import json
import os
import queue
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
sys.path.insert(0, os.path.join(ROOT, "tests"))

import protocol  # noqa: E402
from desktop import VirtualDesktop  # noqa: E402

ACT = os.environ.get("ACT_BINARY", os.path.join(ROOT, "build", "act", "act"))
APP = os.path.join(HERE, "testapp.py")


class TestApp:
    """One test window in a process of its own; its reports arrive on a queue."""

    def __init__(self, desktop, name, x=100, y=100, w=600, h=400):
        self.proc = subprocess.Popen(["/usr/bin/python3", APP, name, str(x), str(y), str(w), str(h)],
                                     env=desktop.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True,
                                     **getattr(desktop, "run_as", {}))
        self.pid = self.proc.pid
        self.name = name
        self.events = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        self.wait("ready", timeout=20)
        self.where = self.ask("where")

    def _read(self):
        for line in self.proc.stdout:
            self.events.put(json.loads(line))

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def wait(self, event, timeout=5.0):
        """The next report of that kind; reports of other kinds before it are dropped."""
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"{self.name}: no {event!r} report")
            try:
                e = self.events.get(timeout=left)
            except queue.Empty:
                continue
            if e["event"] == event:
                return e

    def ask(self, line, reply=None):
        self.drain()
        self.send(line)
        return self.wait(reply or line.split()[0])

    def drain(self, settle=0.0):
        """Every report received so far (after waiting settle seconds)."""
        if settle:
            time.sleep(settle)
        got = []
        while True:
            try:
                got.append(self.events.get_nowait())
            except queue.Empty:
                return got

    def point(self, dx, dy):
        return self.where["x"] + dx, self.where["y"] + dy

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.send("quit")
                self.proc.wait(timeout=5)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def act(desktop, *words, pid=None):
    """Runs act; returns (status, reply object, raw output)."""
    argv = [ACT, *[str(w) for w in words]]
    if pid is not None:
        argv += ["--pid", str(pid)]
    out = subprocess.run(argv, env=desktop.env, capture_output=True, text=True, timeout=30)
    assert out.stdout.count("\n") == 1 and out.stdout.endswith("\n"), out.stdout
    return out.returncode, protocol.check_reply(out.stdout, str(words[0]) if words else None), \
        out.stdout


def tool(desktop, *argv):
    return subprocess.run(argv, env=desktop.env, capture_output=True, text=True,
                          timeout=10).stdout.strip()


def collect(app, done, timeout=5.0):
    """Reports until done(reports) holds, or the timeout passes."""
    got = []
    deadline = time.monotonic() + timeout
    while not done(got) and time.monotonic() < deadline:
        try:
            got.append(app.events.get(timeout=0.05))
        except queue.Empty:
            pass
    return got
