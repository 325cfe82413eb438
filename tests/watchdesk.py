"""The watcher on a virtual desktop with real applications: a harness for end-to-end tests, the
demo and soak runs.

    with Desk() as desk:
        app = desk.gtk("Ledger")                  # tests/watchapp.py, one process each
        w = desk.watch()                          # `watch`, its lines read on a thread
        w.send(cmd="config", frames_dir=desk.frames, frames=True)
        desk.activate(app.pid)
        w.wait("app", bundle="Ledger")            # fields equal, or a predicate per field
        mark = w.mark()
        desk.type("hello")
        w.wait("keys", since=mark)
        assert not w.seen(("click", "focus"), since=mark)

Every process started here is stopped by PID and waited for when the desk closes.
Chromium (`desk.browser()`) starts once per desk with accessibility on; `desk.serve()` gives a
tiny HTTP server on 127.0.0.1 for its pages. Every host name the browser looks up goes to
127.0.0.1, so tests may use any host name (e.g. a skipped host's subdomains) and nothing leaves
the machine.
"""
import http.server
import json
import os
import queue
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.environ.get("ZEPHRIN_ROOT", os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

from desktop import VirtualDesktop  # noqa: E402

import protocol  # noqa: E402  (tests/protocol.py, beside this file)

WATCH = os.environ.get("ZEPHRIN_WATCH", os.path.join(ROOT, "build", "watch", "watch"))
PYTHON = "/usr/bin/python3"  # the only Python with gi
APP = os.path.join(HERE, "watchapp.py")
BROWSER = shutil.which("chromium") or "/usr/bin/chromium"


def matches(event, kind=None, **fields):
    """kind may be one kind or several; a field's wanted value may be a predicate."""
    if kind is not None:
        kinds = (kind,) if isinstance(kind, str) else tuple(kind)
        if event.get("kind") not in kinds:
            return False
    for key, want in fields.items():
        if key not in event:
            return False
        got = event[key]
        if callable(want):
            if not want(got):
                return False
        elif got != want:
            return False
    return True


class Watch:
    """One `watch` process: commands in, every line kept (raw and parsed) as it arrives."""

    def __init__(self, env, argv=(), binary=WATCH, log_dir=None, run_as=None):
        self.stderr_path = os.path.join(log_dir or tempfile.gettempdir(),
                                        f"watch-{os.getpid()}-{time.monotonic_ns()}.err")
        self._stderr = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen([binary, *argv], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self._stderr, env=env,
                                     **(run_as or {}))
        self.raw = bytearray()   # all of standard output, for "nowhere in the stream" checks
        self.events = []         # parsed lines, in order; a line that is not JSON is kept as
        self.bad = []            # ... its text here
        self.invalid = []        # lines that are JSON but break the protocol's schema, explained
        self.times = []          # time.monotonic() at which each event was read
        self._cond = threading.Condition()
        self._done = False
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            now = time.monotonic()
            with self._cond:
                self.raw += line
                try:
                    event = json.loads(line)
                except ValueError:
                    self.bad.append(line)
                else:
                    self.events.append(event)
                    self.times.append(now)
                    problem = protocol.event_problem(event)
                    if problem:
                        self.invalid.append(f"line {len(self.events)} ({problem}): "
                                            + line.decode(errors="replace").rstrip("\n"))
                self._cond.notify_all()
        with self._cond:
            self._done = True
            self._cond.notify_all()

    def send(self, cmd=None, **fields):
        """send(cmd="pause"), send({"cmd": ...}) or send('raw line')."""
        if isinstance(cmd, str) and not fields and cmd.lstrip().startswith("{"):
            line = cmd
        else:
            obj = dict(cmd) if isinstance(cmd, dict) else ({"cmd": cmd} if cmd else {})
            obj.update(fields)
            line = json.dumps(obj)
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def mark(self):
        with self._cond:
            return len(self.events)

    def since(self, mark=0, kind=None, **fields):
        with self._cond:
            return [e for e in self.events[mark:] if matches(e, kind, **fields)]

    def seen(self, kind=None, since=0, **fields):
        return self.since(since, kind, **fields)

    def wait(self, kind=None, since=None, timeout=15.0, pred=None, **fields):
        """The first event from `since` (default: the start) that matches; fails after timeout."""
        start = 0 if since is None else since
        deadline = time.monotonic() + timeout
        with self._cond:
            i = start
            while True:
                self.check_protocol()
                while i < len(self.events):
                    e = self.events[i]
                    i += 1
                    if matches(e, kind, **fields) and (pred is None or pred(e)):
                        return e
                left = deadline - time.monotonic()
                if left <= 0 or self._done:
                    raise AssertionError(
                        f"no {kind} {fields} within {timeout:.0f} s; since {start}: "
                        + json.dumps(self.events[start:])[-3000:])
                self._cond.wait(left)

    def check_protocol(self):
        """Fails with the first line that broke the protocol's schema, if any did."""
        if self.invalid:
            raise AssertionError("watch printed a line the protocol does not allow: "
                                 + self.invalid[0])

    def index(self, event):
        with self._cond:
            for i, e in enumerate(self.events):
                if e is event:
                    return i
        return -1

    def quiet(self, seconds):
        """Lets seconds pass (for "nothing appeared" checks) and returns the mark after."""
        time.sleep(seconds)
        return self.mark()

    def stop(self, timeout=15.0):
        """Stops the watcher in order; returns its exit status."""
        if self.proc.poll() is None:
            try:
                self.send(cmd="stop")
                self.proc.stdin.close()
            except (BrokenPipeError, ValueError):
                pass
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._reader.join(timeout=5)
        self._stderr.close()
        return self.proc.returncode

    def stderr(self):
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")


class Proc:
    """A child with line-based standard input and output (a GTK test app, a clipboard owner)."""

    def __init__(self, argv, env, run_as=None):
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                     **(run_as or {}))
        self.pid = self.proc.pid
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def line(self, pred=lambda _l: True, timeout=20.0):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"pid {self.pid}: no such line within {timeout:.0f} s")
            try:
                got = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if pred(got):
                return got

    def ask(self, line, answer=None, timeout=10.0):
        """Sends a line and waits for the answer (a line starting with `answer`, or "ok")."""
        while not self.lines.empty():
            self.lines.get_nowait()
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        want = answer or "ok"
        return self.line(lambda l: l.startswith(want), timeout)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class GtkApp(Proc):
    """tests/watchapp.py: a GTK3 window of its own application (class = name)."""

    def __init__(self, desk, name, *args):
        super().__init__([PYTHON, APP, name, *map(str, args)], desk.env, desk.run_as)
        self.name = name
        self.desk = desk
        info = json.loads(self.line(lambda l: l.startswith("{") and '"ready"' in l))
        self.xid = info["xid"]

    def where(self, widget):
        """The centre of a named widget in root coordinates."""
        got = json.loads(self.ask(f"where {widget}", "{"))
        return got["x"] + got["w"] // 2, got["y"] + got["h"] // 2


class PageServer:
    """Serves a folder of pages on 127.0.0.1 on a free port, on a thread."""

    def __init__(self, folder):
        self.folder = folder
        handler = lambda *a, **k: _QuietHandler(*a, directory=folder, **k)  # noqa: E731
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def page(self, path, html):
        full = os.path.join(self.folder, path.lstrip("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "w") as f:
            f.write(html)

    def url(self, path, host="127.0.0.1"):
        return f"http://{host}:{self.port}/{path.lstrip('/')}"

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=5)


class _QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *_):
        pass


class Browser:
    """Chromium with accessibility on, a fresh profile, and every host name on 127.0.0.1."""

    def __init__(self, desk, url="about:blank"):
        self.desk = desk
        self.env = dict(desk.env, ACCESSIBILITY_ENABLED="1")
        # Now and then (once in a few dozen starts here, idle or not) the browser shows no window
        # at all: it is started once more, on a fresh profile, as a person would.
        for attempt in (1, 2):
            self.profile = tempfile.mkdtemp(prefix="zephrin-chromium-", dir=desk.tmp)
            self.flags = ["--no-sandbox", "--disable-gpu", "--no-first-run",
                          "--disable-background-networking", "--disable-component-update",
                          "--disable-sync", "--no-default-browser-check",
                          "--disable-features=Translate", "--password-store=basic",
                          "--host-resolver-rules=MAP * 127.0.0.1",
                          f"--user-data-dir={self.profile}", "--window-position=0,0",
                          "--window-size=1200,760"]
            self.log_path = os.path.join(self.profile, "browser.log")
            with open(self.log_path, "wb") as log:
                self.proc = subprocess.Popen([BROWSER, *self.flags, url], env=self.env,
                                             stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            self.pid = self.proc.pid
            try:
                desk.window_of(self.pid, timeout=60)
                return
            except AssertionError:
                self.explain()
                self.stop()
                if attempt == 2:
                    raise
                print("the browser showed no window in 60 s; starting it again", file=sys.stderr)

    def explain(self):
        """What a browser that shows no window is doing: its threads and the end of its log."""
        print(f"browser {self.pid} shows no window; its threads:", file=sys.stderr)
        for task in sorted(os.listdir(f"/proc/{self.pid}/task")) if self.proc.poll() is None else []:
            try:
                with open(f"/proc/{self.pid}/task/{task}/comm") as c, \
                        open(f"/proc/{self.pid}/task/{task}/wchan") as w:
                    print(f"  {c.read().strip()}: {w.read().strip()}", file=sys.stderr)
            except OSError:
                pass
        hidden = self.desk.xdotool("search", "--all", "--pid", self.pid, "--name", ".").split()
        print(f"  windows of its own, mapped or not: {len(hidden)}", file=sys.stderr)
        with open(self.log_path, "rb") as log:
            tail = log.read()[-4000:].decode(errors="replace")
        print(f"exit status {self.proc.poll()}; the end of its log:\n{tail}", file=sys.stderr)

    def open(self, url, incognito=False):
        """Opens url in a new window of the running browser (the second start hands it over)."""
        argv = [BROWSER, *self.flags, "--new-window"] + (["--incognito"] if incognito else [])
        subprocess.run([*argv, url], env=self.env, stdin=subprocess.DEVNULL, stdout=self.desk.log,
                       stderr=self.desk.log, timeout=30)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Desk:
    """A virtual desktop, the frames folder, and every child started on it."""

    def __init__(self, width=1280, height=800, vd=None):
        self.vd = vd or VirtualDesktop(width, height)
        # Popen's keywords for every child: the desktop's own user (sway's) where it has one.
        self.run_as = getattr(self.vd, "run_as", {})
        self.children = []
        self.watches = []

    def start(self):
        self.vd.start()
        self.env = self.vd.env
        self.tmp = self.vd.tmp
        self.log = self.vd.log
        self.frames = os.path.join(self.tmp, "frames")
        os.mkdir(self.frames, 0o700)
        return self

    def stop(self):
        for w in self.watches:
            w.stop()
        for c in reversed(self.children):
            c.stop()
        self.children.clear()
        self.vd.stop()
        # Everything is stopped first: a failure here leaves no process behind.
        for w in self.watches:
            w.check_protocol()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _own(self, child):
        self.children.append(child)
        return child

    def watch(self, *argv):
        w = Watch(self.env, argv, log_dir=self.tmp, run_as=self.run_as)
        self.watches.append(w)
        return w

    def recording(self, **config):
        """A watcher configured as a host would (frames on, into the desktop's folder), recording."""
        w = self.watch()
        w.send(cmd="config", frames_dir=self.frames, frames=True, **config)
        w.wait("resumed")
        return w

    def finish(self, w):
        """Stops the watcher, then the desktop; the watcher must have ended well."""
        status = w.stop()
        self.stop()
        assert status == 0, status
        assert not w.bad, w.bad

    def gtk(self, name, *args):
        return self._own(GtkApp(self, name, *args))

    def spawn(self, argv):
        return self._own(Proc(argv, self.env, self.run_as))

    def serve(self):
        folder = tempfile.mkdtemp(prefix="pages-", dir=self.tmp)
        return self._own(PageServer(folder))

    def browser(self, url="about:blank"):
        return self._own(Browser(self, url))

    # The person's hands.
    def xdotool(self, *args, timeout=20):
        r = subprocess.run(["xdotool", *map(str, args)], env=self.env, capture_output=True,
                           text=True, timeout=timeout)
        return r.stdout.strip()

    def type(self, text, delay=20):
        self.xdotool("type", "--delay", delay, text)

    def key(self, *names):
        self.xdotool("key", *names)

    def move(self, x, y):
        # xdotool's --sync waits for a motion, which never comes when the pointer is there.
        here = self.xdotool("getmouselocation", "--shell").split()
        if f"X={x}" in here and f"Y={y}" in here:
            return
        self.xdotool("mousemove", "--sync", x, y)

    def click(self, x, y, button=1):
        self.move(x, y)
        self.xdotool("click", button)

    def scroll(self, x, y, down=True, times=3):
        self.move(x, y)
        self.xdotool("click", "--repeat", times, 5 if down else 4)

    def window_of(self, pid, name=".", timeout=20):
        """The X id of a visible window of the process (waits for it)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ids = self.xdotool("search", "--all", "--onlyvisible", "--pid", pid, "--name", name).split()
            if ids:
                return int(ids[-1])
            time.sleep(0.1)
        raise AssertionError(f"no window of pid {pid} within {timeout} s")

    def active_pid(self):
        out = self.xdotool("getactivewindow", "getwindowpid")
        return int(out) if out.isdigit() else 0

    def activate(self, pid=None, window=None, timeout=20):
        """Brings a window (or a process's window) to the front and waits until it is."""
        if window is None:
            window = self.window_of(pid)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            self.xdotool("windowactivate", window)
            if self.xdotool("getactivewindow") == str(window):
                return window
            time.sleep(0.2)
        raise AssertionError(f"window {window} did not come to the front")

    def on_bus(self, app_name, timeout=60):
        """Waits until an application of that name shows a named frame on the accessibility bus
        (a browser joins the bus some time after its first window maps)."""
        probe = ("import gi,sys\ngi.require_version('Atspi','2.0')\n"
                 "from gi.repository import Atspi\nd=Atspi.get_desktop(0)\n"
                 "for i in range(d.get_child_count()):\n a=d.get_child_at_index(i)\n"
                 " if a and a.get_name()==sys.argv[1]:\n"
                 "  for j in range(a.get_child_count()):\n"
                 "   f=a.get_child_at_index(j)\n"
                 "   if f and f.get_name() and f.get_child_count(): print('up')\n")
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            r = subprocess.run([PYTHON, "-c", probe, app_name], env=self.env,
                               capture_output=True, text=True, timeout=30)
            if "up" in r.stdout:
                return
            time.sleep(0.3)
        raise AssertionError(f"{app_name} did not join the accessibility bus in {timeout} s")

    def frame_files(self):
        return sorted(os.listdir(self.frames))


class SessionDesk(Desk):
    """The desk on a Wayland session (vd: its virtual desktop), whose user owns the frames folder;
    the person's hands are act's and the test app's."""

    ACT = os.environ.get("ZEPHRIN_ACT", os.path.join(ROOT, "build", "act", "act"))

    def start(self):
        super().start()
        self.vd.own(self.frames)
        return self

    def testapp(self, name):
        """tests/act/testapp.py: a text view that reports the input it gets."""
        sys.path.insert(0, os.path.join(ROOT, "tests", "act"))
        from actdesk import TestApp
        return self._own(TestApp(self, name))

    def act(self, *args, target=None):
        """One run of act as the desktop's user; (exit status, its reply, checked)."""
        argv = [self.ACT, *map(str, args)]
        if target is not None:
            argv += ["--pid", str(target)]
        r = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=60,
                           **self.run_as)
        return r.returncode, protocol.check_reply(r.stdout, str(args[0]))


class RecordingCase(unittest.TestCase):
    """A suite on one desktop (DESK, a Desk class) with one recording watcher, `self.w`."""
    DESK = None

    @classmethod
    def setUpClass(cls):
        cls.desk = (cls.DESK or Desk)().start()
        try:
            cls.w = cls.desk.recording()
        except BaseException:
            cls.desk.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.desk.finish(cls.w)


class SessionCase(RecordingCase):
    """A recording on a Wayland session desk, with act's input and the test app's text."""

    def act(self, *words, target):
        status, reply = self.desk.act(*words, target=target)
        self.assertEqual((status, reply), (0, {"ok": True}), words)

    def text(self, app, want, timeout=20):
        """The test app's text once it is want, or what it is after timeout seconds."""
        deadline = time.monotonic() + timeout
        while True:
            got = app.ask("text")["text"]
            if got == want or time.monotonic() > deadline:
                return got
            time.sleep(0.05)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]
