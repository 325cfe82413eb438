"""Input capture, copies, idle and system notices of the watcher on one virtual X desktop, with a
GTK application in front, xdotool as the person's hands and a private system bus whose logind
stand-in emits the real signals."""
import json
import os
import queue
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from protocol import check_line  # noqa: E402  (every line checked against the schema)

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.environ.get("ZEPHRIN_ROOT", os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from desktop import VirtualDesktop  # noqa: E402

BAD = []  # lines that don't match the schema, found by the reader thread


def checked(raw):
    try:
        return check_line(raw)
    except AssertionError as e:
        BAD.append(str(e))
        return json.loads(raw)

WATCH = os.environ.get("ZEPHRIN_WATCH", os.path.join(ROOT, "build/watch/watch"))
PY = "/usr/bin/python3"
SECRET = "correct horse battery staple"


OBSERVATION = {"window", "page", "text", "focus", "value", "menu", "frame", "frame_dropped"}


def set_repeat(env, on):
    """Switches the server's key repeat, as `xset r on|off` does."""
    code = ("import ctypes\nx = ctypes.CDLL('libX11.so.6')\nx.XOpenDisplay.restype = ctypes.c_void_p\n"
            "d = ctypes.c_void_p(x.XOpenDisplay(None))\n"
            f"x.{'XAutoRepeatOn' if on else 'XAutoRepeatOff'}(d)\nx.XSync(d, 0)\n")
    subprocess.run([PY, "-c", code], env=env, check=True, timeout=10)


class Session(unittest.TestCase):
    """The tests run in name order on one watcher; each reads the events its own actions cause."""

    @classmethod
    def setUpClass(cls):
        cls.procs = []
        cls.desktop = VirtualDesktop().start()
        try:
            cls._start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def _spawn(cls, cmd, env, **kw):
        p = subprocess.Popen(cmd, env=env, **kw)
        cls.procs.append(p)
        return p

    @classmethod
    def _start(cls):
        env = cls.desktop.env
        sock = os.path.join(cls.desktop.tmp, "system_bus")
        conf = os.path.join(cls.desktop.tmp, "system-bus.conf")
        with open(os.path.join(HERE, "system-bus.conf.in")) as f, open(conf, "w") as out:
            out.write(f.read().replace("@SOCKET@", sock))
        cls._spawn(["dbus-daemon", "--config-file=" + conf, "--nofork", "--nopidfile"], env,
                   stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while not os.path.exists(sock) and time.monotonic() < deadline:
            time.sleep(0.02)
        cls.env = dict(env, DBUS_SYSTEM_BUS_ADDRESS="unix:path=" + sock)
        cls.env.pop("XDG_SESSION_ID", None)

        cls.logind = cls._spawn([PY, os.path.join(HERE, "login1.py")], cls.env,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert cls.logind.stdout.readline().strip() == b"ready"
        cls.app = cls._spawn([PY, os.path.join(ROOT, "scripts", "demo_app.py"), "--title",
                              "Input pad"], cls.env, stdout=subprocess.PIPE)
        assert cls.app.stdout.readline().strip() == b"ready"

        cls.watch = cls._spawn([WATCH], cls.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        cls.lines = queue.Queue()
        cls.everything = []

        def read():
            for raw in cls.watch.stdout:
                cls.everything.append(raw)
                cls.lines.put(checked(raw))

        cls.reader = threading.Thread(target=read, daemon=True)
        cls.reader.start()
        cls.command({"cmd": "config", "frames": False})
        cls.wait_for("app")

    @classmethod
    def tearDownClass(cls):
        for p in reversed(cls.procs):
            if p.poll() is None:
                p.terminate()
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        cls.desktop.stop()
        assert not BAD, BAD

    @classmethod
    def command(cls, cmd):
        cls.watch.stdin.write((json.dumps(cmd) + "\n").encode())
        cls.watch.stdin.flush()

    @classmethod
    def wait_for(cls, kind, timeout=10.0):
        """Input events up to and including the first of this kind (what the window's
        observation reports meanwhile is not this suite's business)."""
        seen = []
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                event = cls.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                break
            if event["kind"] in OBSERVATION and event["kind"] != kind:
                continue
            seen.append(event)
            if event["kind"] == kind:
                return seen
        raise AssertionError(f"no {kind!r} within {timeout} s; saw {seen}")

    def drain(self, seconds):
        out = []
        deadline = time.monotonic() + seconds
        while True:
            try:
                out.append(self.lines.get(timeout=max(0.0, deadline - time.monotonic())))
            except queue.Empty:
                return out

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, timeout=10)

    def logind_says(self, word):
        self.logind.stdin.write(word.encode() + b"\n")
        self.logind.stdin.flush()
        self.assertEqual(self.logind.stdout.readline().strip(), b"sent")

    def test_1_keys_are_counted_and_shortcuts_named_as_pressed(self):
        self.drain(0.3)
        self.xdotool("type", "--delay", "20", "hello")
        self.xdotool("key", "ctrl+s")
        seen = self.wait_for("key_shortcut")
        self.assertEqual([(e["kind"], e.get("count"), e.get("keys")) for e in seen],
                         [("keys", 5, None), ("key_shortcut", None, "ctrl+s")])
        self.assertEqual(seen[1]["bundle"], "org.zephrin.DemoPad")
        for combo, name in (("super+s", "cmd+s"), ("ctrl+alt+shift+super+z", "cmd+ctrl+opt+shift+z"),
                            ("Return", "return"), ("shift+Tab", "shift+tab"),
                            ("ctrl+shift+v", "ctrl+shift+v")):
            self.xdotool("key", combo)
            seen = self.wait_for("key_shortcut")
            self.assertEqual([e["kind"] for e in seen], ["key_shortcut"], combo)
            self.assertEqual(seen[0]["keys"], name)
        # A held key repeats as the server repeats it for applications.
        self.xdotool("keydown", "ctrl+z")
        time.sleep(1.2)
        self.xdotool("keyup", "ctrl+z")
        repeats = [e for e in self.drain(0.5) if e["kind"] == "key_shortcut"]
        self.assertGreater(len(repeats), 1)
        self.assertEqual({e["keys"] for e in repeats}, {"ctrl+z"})
        self.xdotool("key", "ctrl+v")
        self.assertEqual(self.wait_for("key_shortcut")[-1]["keys"], "ctrl+v")
        paste = self.wait_for("paste")
        self.assertEqual([e["kind"] for e in paste], ["paste"])
        self.assertIsInstance(paste[0]["change"], int)

    def test_1b_key_repeat_followed_as_the_server_changes_it(self):
        self.drain(0.5)
        held = []
        for setting in ("off", "on"):
            set_repeat(self.env, setting == "on")
            self.xdotool("keydown", "ctrl+z")
            time.sleep(1.2)  # held well beyond the repeat delay
            self.xdotool("keyup", "ctrl+z")
            held.append(len([e for e in self.drain(0.5) if e["kind"] == "key_shortcut"]))
        self.assertEqual(held[0], 1, "repeated while the server repeats nothing")
        self.assertGreater(held[1], 1, "no repeats once switched on again")

    def test_2_clicks_and_one_scroll(self):
        self.drain(6)  # counted keys of earlier typing leave on their own
        self.xdotool("mousemove", "123", "234", "click", "1")
        click = self.wait_for("click")[-1]
        self.assertEqual((click["x"], click["y"], click["right"]), (123, 234, False))
        self.assertIsInstance(click["element"], dict)
        self.xdotool("click", "3")
        self.assertEqual(self.wait_for("click")[-1]["right"], True)
        for _ in range(5):
            self.xdotool("click", "5")
            time.sleep(0.2)
        self.xdotool("click", "4")
        seen = self.wait_for("scroll", timeout=5)
        self.assertEqual([e["kind"] for e in seen], ["scroll"])
        self.assertEqual([e["kind"] for e in self.drain(2.5)], [])

    def test_3_copies_with_text_then_concealed(self):
        self.drain(0.5)
        owner = self._spawn([PY, os.path.join(HERE, "clipowner.py"), "copied words"], self.env,
                            stdout=subprocess.PIPE)
        self.assertEqual(owner.stdout.readline().strip(), b"ready")
        copy = self.wait_for("copy")[-1]
        self.assertEqual((copy["text"], copy["has_text"]), ("copied words", 1))
        self.assertEqual(copy["bundle"], "org.zephrin.DemoPad")
        hidden = self._spawn([PY, os.path.join(HERE, "clipowner.py"), SECRET, "--hint"],
                             self.env, stdout=subprocess.PIPE)
        self.assertEqual(hidden.stdout.readline().strip(), b"ready")
        copy = self.wait_for("copy")[-1]
        self.assertEqual(copy["concealed"], True)
        self.assertNotIn("text", copy)
        # 420 KB: GTK sends it in increments (INCR); the first 20,000 units are what counts.
        big = self._spawn([PY, os.path.join(HERE, "clipowner.py"), "h\u00e9llo ", "--repeat",
                           "60000"], self.env, stdout=subprocess.PIPE)
        self.assertEqual(big.stdout.readline().strip(), b"ready")
        copy = self.wait_for("copy")[-1]
        self.assertEqual((copy["has_text"], copy["text"]), (1, ("h\u00e9llo " * 3334)[:20000]))
        self.drain(1)
        for p in (owner, hidden, big):
            p.terminate()
            p.wait()
        self.assertFalse(any(SECRET.encode() in raw for raw in self.everything))

    def test_4_sleep_lock_idle_and_back(self):
        # Sixty seconds without input; the system notices arrive meanwhile.
        self.drain(0.5)
        self.logind_says("sleep")
        self.logind_says("wake")
        self.logind_says("lock")
        subprocess.run(["gdbus", "emit", "--session", "--object-path", "/org/freedesktop/ScreenSaver",
                        "--signal", "org.freedesktop.ScreenSaver.ActiveChanged", "true"],
                       env=self.env, check=True, capture_output=True, timeout=10)
        subprocess.run(["gdbus", "emit", "--session", "--object-path", "/org/freedesktop/ScreenSaver",
                        "--signal", "org.freedesktop.ScreenSaver.ActiveChanged", "false"],
                       env=self.env, check=True, capture_output=True, timeout=10)
        seen = self.wait_for("unlock")
        notices = [e for e in seen if e["kind"] in ("sleep", "wake", "lock", "unlock")]
        self.assertEqual([e["kind"] for e in notices], ["sleep", "wake", "lock", "unlock"])
        self.assertEqual(sorted(notices[0]), ["kind", "t"])

        idle = self.wait_for("idle", timeout=75)[-1]
        self.assertGreaterEqual(idle["seconds"], 60)
        self.assertLessEqual(idle["seconds"], 66)
        self.xdotool("mousemove", "300", "300")
        self.assertEqual([e["kind"] for e in self.wait_for("active", timeout=7)], ["active"])


class LostDisplayWhileRecording(unittest.TestCase):
    def test_listening_ends_and_the_watcher_goes_on(self):
        desktop = VirtualDesktop().start()
        try:
            watch = subprocess.Popen([WATCH], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=desktop.env)
            watch.stdin.write(b'{"cmd":"config","frames":false}\n')
            watch.stdin.flush()
            while check_line(watch.stdout.readline())["kind"] != "resumed":
                pass
            time.sleep(0.5)  # the listener and the clipboard reader are waiting on the server
            desktop.procs[0].terminate()
            desktop.procs[0].wait(timeout=10)
            out, _ = watch.communicate(b'{"cmd":"probe"}\n{"cmd":"stop"}\n', timeout=20)
            kinds = [check_line(line)["kind"] for line in out.decode().splitlines()]
            self.assertEqual(kinds[-3:], ["probe", "restored", "stopped"])
            self.assertEqual(watch.returncode, 0)
        finally:
            desktop.stop()


if __name__ == "__main__":
    unittest.main()
