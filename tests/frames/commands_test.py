"""The image commands of the real watch binary, driven over standard input without a display."""
import json
import os
import select
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from protocol import check_line  # noqa: E402  (every line checked against the schema)

import gi
gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf  # noqa: E402

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


def png_claiming(width, height):
    """A PNG file whose header claims width x height but that holds almost no pixel data."""
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xffffffff))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"\0" * 10)))


class ImageCommands(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.frames = os.path.join(self.dir.name, "frames")
        os.mkdir(self.frames)
        self.stderr = open(os.path.join(self.dir.name, "stderr"), "w+b")
        self.watch = subprocess.Popen([WATCH], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=self.stderr, env=HEADLESS, bufsize=0)
        self.send({"cmd": "config", "frames_dir": self.frames, "start": False})

    def tearDown(self):
        self.watch.stdin.close()
        self.watch.wait(timeout=20)
        self.watch.stdout.close()
        self.stderr.close()
        self.dir.cleanup()

    def send(self, command):
        self.watch.stdin.write((json.dumps(command) + "\n").encode())

    def answers(self, kinds, count, timeout=60):
        """The next `count` events of the given kinds, by id."""
        found = {}
        while len(found) < count:
            ready, _, _ = select.select([self.watch.stdout], [], [], timeout)
            self.assertTrue(ready, "no answer within %s s" % timeout)
            event = check_line(self.watch.stdout.readline())
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

    def test_only_regular_files_are_read(self):
        fifo = os.path.join(self.frames, "f.png")
        os.mkfifo(fifo)
        os.symlink(fifo, os.path.join(self.frames, "link.png"))
        box = {"x": 0, "y": 0, "w": 1, "h": 1}
        for i in range(16):
            self.send({"cmd": "ocr", "id": "fifo%d" % i, "path": fifo})
        self.send({"cmd": "ocr", "id": "zero", "path": "/dev/zero"})
        self.send({"cmd": "ocr", "id": "dir", "path": self.frames})
        self.send({"cmd": "ocr", "id": "link", "path": os.path.join(self.frames, "link.png")})
        self.send({"cmd": "blur", "id": "blur", "path": fifo, "boxes": [box]})
        self.send({"cmd": "names", "id": "n", "text": "Ask Priya Raman."})
        got = self.answers({"names", "blurred", "ocr"}, 21)
        self.assertEqual(got["n"]["names"], ["Priya Raman"])
        self.assertFalse(got["blur"]["ok"])
        for key in set(got) - {"n", "blur"}:
            self.assertEqual((got[key]["text"], got[key]["boxes"]), ("", []), key)

    def test_lying_and_truncated_pictures_fail_quietly(self):
        # A 56-byte PNG that claims 10,000 x 10,000 pixels, one within the limits that holds
        # no rows, and a JPEG cut in half.
        paths = {}
        for name, data in (("huge.png", png_claiming(10000, 10000)),
                           ("cut.png", png_claiming(3000, 3000))):
            paths[name] = os.path.join(self.frames, name)
            with open(paths[name], "wb") as f:
                f.write(data)
        checker = os.path.join(self.frames, "checker.ppm")
        write_ppm(checker, 300, 200, lambda x, y: (255, 255, 255) if (x // 3 + y // 3) % 2 else
                  (0, 0, 0))
        box = {"x": 0, "y": 0, "w": 1, "h": 1}
        self.send({"cmd": "blur", "id": "jpeg", "path": checker, "boxes": [box]})
        self.assertTrue(self.answers({"blurred"}, 1)["jpeg"]["ok"])
        with open(checker, "rb") as f:
            whole = f.read()
        paths["cut.jpg"] = os.path.join(self.frames, "cut.jpg")
        with open(paths["cut.jpg"], "wb") as f:
            f.write(whole[:len(whole) // 2])
        for name, path in paths.items():
            self.send({"cmd": "ocr", "id": "ocr " + name, "path": path})
            self.send({"cmd": "blur", "id": "blur " + name, "path": path, "boxes": [box]})
        got = self.answers({"blurred", "ocr"}, 2 * len(paths))
        for name in paths:
            self.assertFalse(got["blur " + name]["ok"], name)
            self.assertEqual(got["ocr " + name]["text"], "", name)
        self.assertEqual(os.path.getsize(paths["cut.jpg"]), len(whole) // 2)
        # The decoders' complaints reach standard error only in a few short lines.
        self.assertLess(os.path.getsize(self.stderr.name), 4096)

    def test_root_is_no_frames_directory(self):
        picture = os.path.join(self.dir.name, "outside.ppm")
        write_ppm(picture, 16, 16, lambda x, y: (x * 16, y * 16, 0))
        self.send({"cmd": "config", "frames_dir": "/", "start": False})
        self.send({"cmd": "blur", "id": "root", "path": picture,
                   "boxes": [{"x": 0, "y": 0, "w": 1, "h": 1}]})
        self.assertFalse(self.answers({"blurred"}, 1)["root"]["ok"])
        with open(picture, "rb") as f:
            self.assertTrue(f.read().startswith(b"P6"))

    def test_blurs_of_one_file_take_turns(self):
        # Each hides its own region; run at once, the later rewrite must not bring back what the
        # earlier one hid.
        path = os.path.join(self.frames, "both.ppm")
        region = lambda x, y: 40 <= y < 60 and (20 <= x < 80 or 320 <= x < 380)
        for round in range(3):
            write_ppm(path, 400, 100, lambda x, y: ((0, 0, 0) if (x + y) % 2 else (255,) * 3)
                      if region(x, y) else (128, 128, 128))
            self.send({"cmd": "blur", "id": "left", "path": path,
                       "boxes": [{"x": 0.05, "y": 0.4, "w": 0.15, "h": 0.2}]})
            self.send({"cmd": "blur", "id": "right", "path": path,
                       "boxes": [{"x": 0.8, "y": 0.4, "w": 0.15, "h": 0.2}]})
            got = self.answers({"blurred"}, 2)
            self.assertTrue(got["left"]["ok"] and got["right"]["ok"])
            # Both checkers are smoothed: no pixel there is near black or white any more.
            picture = GdkPixbuf.Pixbuf.new_from_file(path)
            pixels, stride = picture.get_pixels(), picture.get_rowstride()
            for left in (20, 320):
                grey = [pixels[y * stride + x * picture.get_n_channels()]
                        for y in range(42, 58) for x in range(left + 2, left + 58)]
                self.assertLess(max(abs(g - 128) for g in grey), 60, (round, left))


if __name__ == "__main__":
    unittest.main()
