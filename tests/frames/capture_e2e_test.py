"""Window pictures on a virtual X desktop, through the real capture backend and frame keeping."""
import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from desktop import VirtualDesktop  # noqa: E402

TOOL = os.environ.get("ZEPHRIN_CAPTURE_TOOL",
                      os.path.join(ROOT, "build", "tests", "frames", "capture_e2e_tool"))
WINDOW = os.path.join(HERE, "capture_e2e_window.py")


class Tool:
    def __init__(self, env, frames_dir):
        self.proc = subprocess.Popen([TOOL, frames_dir], env=env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(json.loads(line))

    def ask(self, line, *kinds, timeout=10):
        """Sends a command; the events up to and including the first of one of kinds."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        seen = []
        deadline = time.monotonic() + timeout
        while True:
            e = self.lines.get(timeout=max(0.1, deadline - time.monotonic()))
            seen.append(e)
            if e["kind"] in kinds:
                return seen

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=10)


class Window:
    def __init__(self, env, title, rgb, x, y, w, h):
        self.proc = subprocess.Popen(["/usr/bin/python3", WINDOW, title, rgb] +
                                     [str(v) for v in (x, y, w, h)], env=env,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.pid = self.proc.pid
        assert self.proc.stdout.readline().strip() == "ready"

    def close(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
            self.proc.stdin.write("close\n")
            self.proc.stdin.flush()
        self.proc.wait(timeout=10)


def near(colour, expected, slack=24):
    return all(abs(a - b) <= slack for a, b in zip(colour, expected))


class CaptureOnDesktop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = VirtualDesktop().start()
        cls.frames = tempfile.mkdtemp(prefix="capture-e2e-")
        cls.tool = Tool(cls.desktop.env, cls.frames)
        cls.windows = []

    @classmethod
    def tearDownClass(cls):
        for w in cls.windows:
            w.close()
        cls.tool.close()
        cls.desktop.stop()
        shutil.rmtree(cls.frames, ignore_errors=True)

    def open(self, *args):
        w = Window(self.desktop.env, *args)
        self.windows.append(w)
        return w

    def listed(self, pid):
        entries = self.tool.ask("list", "list")[-1]["windows"]
        return [e for e in entries if e["pid"] == pid]

    def test_pictures_of_covered_and_closed_windows_and_frames_off(self):
        red = self.open("Red", "d02020", 100, 100, 420, 300)
        # Stopped, red cannot paint again once covered: what shows is what the server kept.
        red.proc.send_signal(signal.SIGSTOP)
        blue = self.open("Blue", "2040d0", 100, 100, 420, 300)
        entries = self.tool.ask("list", "list")[-1]["windows"]
        order = [e["pid"] for e in entries if e["pid"] in (red.pid, blue.pid)]
        self.assertEqual(order, [blue.pid, red.pid], "blue lies over red")
        red_id = self.listed(red.pid)[0]["id"]
        bounds = self.listed(red.pid)[0]["bounds"]

        # The covered window's frame shows its own colour, at the window's own size.
        events = self.tool.ask(f"frame {red.pid} Red", "frame", "frame_dropped")
        frame = events[-1]
        self.assertEqual(frame["kind"], "frame", events)
        self.assertEqual((frame["window_id"], frame["why"]), (red_id, "e2e"))
        self.assertEqual((frame["w"], frame["h"]), (bounds[2], bounds[3]))
        self.assertEqual(os.path.dirname(frame["path"]), self.frames)
        look = self.tool.ask("look " + frame["path"], "look")[-1]
        self.assertTrue(near(look["centre"], (0xd0, 0x20, 0x20)), look)
        shot = self.tool.ask(f"shot {self.listed(blue.pid)[0]['id']}", "shot")[-1]
        self.assertEqual(shot["failure"], "none")
        self.assertTrue(near(shot["centre"], (0x20, 0x40, 0xd0)), shot)

        # Closed after the list was read: the picture finds it gone.
        red.close()
        shot = self.tool.ask(f"shot {red_id}", "shot")[-1]
        self.assertEqual(shot["failure"], "window_gone")
        events = self.tool.ask(f"frame {red.pid} Red", "frame", "frame_dropped")
        self.assertEqual(events[-1]["why"], "no_window")

        # Frames off: nothing, not even a drop.
        self.tool.ask("frames off", "frames")
        events = self.tool.ask(f"frame {blue.pid} Blue", "asked")
        events += self.tool.ask(f"shot {self.listed(blue.pid)[0]['id']}", "shot")
        self.assertEqual([e for e in events if e["kind"].startswith("frame")], [], events)
        self.tool.ask("frames on", "frames")
        self.assertEqual(len([f for f in os.listdir(self.frames)]), 1)

    def test_a_huge_window_is_read_at_most_2560_a_side(self):
        # X allows 32,767 pixels a side; reading such a window whole would cost gigabytes.
        big = self.open("Big", "20a040", 0, 0, 400, 300)
        try:
            xid = self.listed(big.pid)[0]["id"]
            subprocess.run(["xdotool", "windowsize", "--sync", str(xid), "6000", "3000"],
                           env=self.desktop.env, check=True, timeout=20)
            deadline = time.monotonic() + 10
            while self.listed(big.pid)[0]["bounds"][2] < 6000 and time.monotonic() < deadline:
                time.sleep(0.1)
            w, h = self.listed(big.pid)[0]["bounds"][2:]
            self.assertGreaterEqual(w, 6000)
            shot = self.tool.ask(f"shot {xid}", "shot", timeout=30)[-1]
            self.assertEqual(shot["failure"], "none")
            self.assertEqual(shot["w"], 2560)
            self.assertAlmostEqual(shot["h"], round(h * 2560 / w), delta=1)
            self.assertTrue(near(shot["centre"], (0x20, 0xa0, 0x40)), shot)
        finally:
            big.close()

    def test_without_a_display_capture_is_unavailable(self):
        env = dict(self.desktop.env, DISPLAY=":" + str(9000 + os.getpid() % 900))
        tool = Tool(env, self.frames)
        try:
            self.assertEqual(tool.ask("shot 4242", "shot")[-1]["failure"], "unavailable")
        finally:
            tool.close()


if __name__ == "__main__":
    unittest.main()
