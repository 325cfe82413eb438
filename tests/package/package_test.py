"""The Debian package as a host gets it: built by CPack from this tree, unpacked with dpkg -x into
a scratch folder and run from there, the image module loaded from beside the unpacked watch.
Also the `cmake --install` layout the README promises."""
import filecmp
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import protocol  # noqa: E402

BUILD = os.environ.get("ZEPHRIN_BUILD", os.path.join(ROOT, "build"))
SCHEMAS = ("events.schema.json", "commands.schema.json", "act-replies.schema.json")
PROGRAMS = ("watch", "act", "zephrin-images.so")
ENV = {k: v for k, v in os.environ.items() if k != "DISPLAY"}  # answers without a desktop


def run(argv, timeout=120, **kw):
    return subprocess.run(argv, capture_output=True, timeout=timeout, env=ENV, **kw)


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zephrin-package-")
        out = os.path.join(cls.tmp, "out")
        r = run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out], 300)
        assert r.returncode == 0, r.stdout + r.stderr
        cls.deb = os.path.join(out, next(f for f in os.listdir(out) if f.endswith(".deb")))
        cls.root = os.path.join(cls.tmp, "root")
        assert run(["dpkg", "-x", cls.deb, cls.root]).returncode == 0
        cls.libexec = os.path.join(cls.root, "usr/libexec/zephrin")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def test_contents_and_dependencies(self):
        files = {os.path.relpath(os.path.join(d, n), self.root)
                 for d, _, names in os.walk(self.root) for n in names}
        self.assertEqual(files, {f"usr/libexec/zephrin/{p}" for p in PROGRAMS}
                         | {f"usr/share/doc/zephrin/{d}" for d in SCHEMAS + ("README.md",)})
        for name in SCHEMAS:
            self.assertTrue(filecmp.cmp(os.path.join(self.root, "usr/share/doc/zephrin", name),
                                        os.path.join(protocol.SCHEMAS, name), shallow=False))
        depends = run(["dpkg-deb", "--field", self.deb, "Depends"]).stdout.decode()
        for package in ("libc6", "libglib2.0-0", "libvips42", "libtesseract5", "libxtst6",
                        "tesseract-ocr-eng"):
            self.assertIn(package, depends)

    def test_the_unpacked_programs_answer(self):
        watch, act = (os.path.join(self.libexec, p) for p in ("watch", "act"))
        r = run([watch, "--version"])
        self.assertEqual((r.returncode, r.stdout), (0, b'{"kind":"version","version":"1"}\n'))
        r = run([watch, "--probe"])
        self.assertIsNone(protocol.command_line_problem(json.loads(r.stdout)), r.stdout)
        for words, status, reply in ((["--help"], 2, {"ok": False, "error": "Unknown action."}),
                                     (["trusted"], 0, {"ok": True, "trusted": False})):
            r = run([act, *words])
            self.assertEqual(r.returncode, status, words)
            self.assertEqual(protocol.check_reply(r.stdout, words[0]), reply)

    def test_the_image_module_beside_the_unpacked_watch(self):
        frames = os.path.join(self.tmp, "frames")
        os.makedirs(frames)
        picture = os.path.join(frames, "f1-1.ppm")
        with open(picture, "wb") as f:
            f.write(b"P6\n64 48\n255\n" + bytes(range(256)) * 36)
        # Only the module blurs: without it the answer is "ok": false.
        commands = [{"cmd": "config", "frames_dir": frames, "start": False},
                    {"cmd": "blur", "id": "b", "path": picture, "boxes": [{"w": 0.5, "h": 0.5}]}]
        with tempfile.TemporaryFile() as stderr:
            w = subprocess.Popen([os.path.join(self.libexec, "watch")], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=stderr, env=ENV)
            deadline = threading.Timer(120, w.kill)  # a lost answer must not leave it running
            deadline.start()
            try:
                w.stdin.write("".join(json.dumps(c) + "\n" for c in commands).encode())
                w.stdin.flush()
                for raw in w.stdout:
                    record = json.loads(raw)
                    self.assertIsNone(protocol.event_problem(record), raw)
                    if record["kind"] == "blurred":
                        w.stdin.close()  # ends it once the answer is in
                        self.assertTrue(record["ok"])
            finally:
                deadline.cancel()
                if not w.stdin.closed:
                    w.kill()
                w.wait()
                w.stdout.close()
            self.assertEqual(w.returncode, 0)
            stderr.seek(0)
            self.assertNotIn(b"image work unavailable", stderr.read())
        with open(picture, "rb") as f:
            self.assertEqual(f.read(2), b"\xff\xd8")  # rewritten as JPEG

    def test_cmake_install_keeps_the_opt_layout(self):
        prefix = os.path.join(self.tmp, "opt/zephrin")
        self.assertEqual(run(["cmake", "--install", BUILD, "--prefix", prefix]).returncode, 0)
        for path in [f"libexec/zephrin/{p}" for p in PROGRAMS] + [f"share/doc/zephrin/{s}"
                                                                   for s in SCHEMAS]:
            self.assertTrue(os.path.isfile(os.path.join(prefix, path)), path)


if __name__ == "__main__":
    unittest.main()
