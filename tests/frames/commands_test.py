"""The image commands of the real watch binary, driven over standard input without a display."""
import json
import os
import select
import stat
import subprocess
import tempfile
import unittest

WATCH = os.environ.get("ZEPHRIN_WATCH", "../../build/watch/watch")
HEADLESS = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
HEADLESS["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent/bus"
HEADLESS["OMP_THREAD_LIMIT"] = "1"


def write_ppm(path, width, height, pixel):
    rows = bytearray()
    for y in range(height):
        for x in range(width):
            rows += bytes(pixel(x, y))
    with open(path, "wb") as f:
        f.write(b"P6\n%d %d\n255\n" % (width, height) + bytes(rows))


class ImageCommands(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.frames = os.path.join(self.dir.name, "frames")
        os.mkdir(self.frames)
        self.watch = subprocess.Popen([WATCH], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL, env=HEADLESS, bufsize=0)
        self.send({"cmd": "config", "frames_dir": self.frames, "start": False})

    def tearDown(self):
        self.watch.stdin.close()
        self.watch.wait(timeout=20)
        self.watch.stdout.close()
        self.dir.cleanup()

    def send(self, command):
        self.watch.stdin.write((json.dumps(command) + "\n").encode())

    def answers(self, kinds, count, timeout=60):
        """The next `count` events of the given kinds, by id."""
        found = {}
        while len(found) < count:
            ready, _, _ = select.select([self.watch.stdout], [], [], timeout)
            self.assertTrue(ready, "no answer within %s s" % timeout)
            event = json.loads(self.watch.stdout.readline())
            if event["kind"] in kinds:
                found[event["id"]] = event
        return found

    def test_answers_match_requests_by_id(self):
        checker = os.path.join(self.frames, "f1.ppm")
        write_ppm(checker, 64, 48, lambda x, y: (255, 255, 255) if (x + y) % 2 else (0, 0, 0))
        outside = os.path.join(self.dir.name, "outside.ppm")
        write_ppm(outside, 8, 8, lambda x, y: (10, 20, 30))
        os.symlink(outside, os.path.join(self.frames, "link.ppm"))
        box = {"x": 0, "y": 0, "w": 1, "h": 1}
        self.send({"cmd": "names", "id": "n", "text": "Ask Priya Raman, then Tom."})
        self.send({"cmd": "blur", "id": "in", "path": checker, "boxes": [box]})
        self.send({"cmd": "blur", "id": "link", "path": os.path.join(self.frames, "link.ppm"),
                   "boxes": [box]})
        self.send({"cmd": "blur", "id": "up", "path": self.frames + "/../outside.ppm",
                   "boxes": [box]})
        self.send({"cmd": "ocr", "id": "o", "path": checker + ".missing"})
        got = self.answers({"names", "blurred", "ocr"}, 5)

        self.assertEqual(got["n"]["names"], ["Priya Raman", "Tom"])
        self.assertEqual((got["in"]["ok"], got["link"]["ok"], got["up"]["ok"]), (True, False, False))
        self.assertEqual((got["o"]["text"], got["o"]["boxes"]), ("", []))
        for event in got.values():
            self.assertEqual(set(event) & {"app", "bundle", "window", "url"}, set())
        # Rewritten as JPEG, owner-only; the file behind the link is untouched.
        with open(checker, "rb") as f:
            self.assertEqual(f.read(2), b"\xff\xd8")
        self.assertEqual(stat.S_IMODE(os.stat(checker).st_mode), 0o600)
        with open(outside, "rb") as f:
            self.assertTrue(f.read().startswith(b"P6"))
        self.assertEqual(sorted(os.listdir(self.frames)), ["f1.ppm", "link.ppm"])

    def test_names_do_not_wait_behind_recognition(self):
        # Two recognitions take turns on the one engine; a names request must not queue behind
        # them.
        noise = os.path.join(self.frames, "noise.ppm")
        with open(noise, "wb") as f:
            f.write(b"P6\n900 900\n255\n" + os.urandom(900 * 900 * 3))
        self.send({"cmd": "ocr", "id": "o1", "path": noise})
        self.send({"cmd": "ocr", "id": "o2", "path": noise})
        self.send({"cmd": "names", "id": "n", "text": "Ask Priya Raman."})
        first = self.answers({"names", "ocr"}, 1)
        self.assertEqual(list(first), ["n"])


if __name__ == "__main__":
    unittest.main()
