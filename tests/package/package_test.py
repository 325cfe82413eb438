"""The Debian package as a host would get it: built by CPack from this tree, unpacked with dpkg -x
into a scratch folder, and run from there (the image module loaded from beside the unpacked
watch). Also the plain `cmake --install` layout the README promises."""
import filecmp
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import protocol  # noqa: E402

BUILD = os.environ.get("ZEPHRIN_BUILD", os.path.join(ROOT, "build"))
SCHEMAS = ("events.schema.json", "commands.schema.json", "act-replies.schema.json")
PROGRAMS = ("watch", "act", "zephrin-images.so")
# No display: the programs must answer without one, and nothing reaches a desktop.
ENV = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}


def run(argv, timeout=60, **kw):
    return subprocess.run(argv, capture_output=True, timeout=timeout, env=ENV, **kw)


def build_package(out):
    """The .deb that scripts/package makes, built into out."""
    r = run(["cpack", "--config", os.path.join(BUILD, "CPackConfig.cmake"), "-B", out],
            timeout=240)
    assert r.returncode == 0, r.stdout.decode() + r.stderr.decode()
    debs = [f for f in os.listdir(out) if f.endswith(".deb")]
    assert len(debs) == 1, debs
    return os.path.join(out, debs[0])


class Lines:
    """A running watch: commands in, each line checked and handed over as it arrives."""

    def __init__(self, binary, stderr):
        self.proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=stderr, env=ENV)
        self.lines = queue.Queue()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self.lines.put(raw)

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def wait(self, kind, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {kind} line within {timeout} s")
            try:
                raw = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            record = json.loads(raw)
            problem = protocol.event_problem(record)
            assert problem is None, f"{problem}: {raw!r}"
            if record["kind"] == kind:
                return record

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.send('{"cmd":"stop"}')
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(timeout=5)
        self.proc.stdout.close()
        return self.proc.returncode


class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="zephrin-package-")
        cls.deb = build_package(os.path.join(cls.tmp, "out"))
        cls.root = os.path.join(cls.tmp, "root")
        r = run(["dpkg", "-x", cls.deb, cls.root])
        assert r.returncode == 0, r.stderr
        cls.libexec = os.path.join(cls.root, "usr", "libexec", "zephrin")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def field(self, name):
        r = run(["dpkg-deb", "--field", self.deb, name])
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.decode().strip()

    def test_contents_and_dependencies(self):
        files = set()
        for folder, _, names in os.walk(self.root):
            files |= {os.path.relpath(os.path.join(folder, n), self.root) for n in names}
        self.assertEqual(files, {f"usr/libexec/zephrin/{p}" for p in PROGRAMS}
                         | {f"usr/share/doc/zephrin/{d}" for d in SCHEMAS + ("README.md",)})
        for name in SCHEMAS:
            self.assertTrue(filecmp.cmp(os.path.join(self.root, "usr/share/doc/zephrin", name),
                                        os.path.join(protocol.SCHEMAS, name), shallow=False))
        for program in ("watch", "act"):
            self.assertTrue(os.access(os.path.join(self.libexec, program), os.X_OK), program)
        self.assertEqual(self.field("Package"), "zephrin")
        depends = self.field("Depends")
        # Read off the libraries: the C library, the image module's and act's own.
        for library in ("libc6", "libvips42", "libtesseract5", "libxtst6", "libglib2.0-0",
                        "tesseract-ocr-eng"):
            self.assertIn(library, depends)

    def test_the_unpacked_programs_answer(self):
        watch = os.path.join(self.libexec, "watch")
        r = run([watch, "--version"])
        self.assertEqual((r.returncode, r.stdout), (0, b'{"kind":"version","version":"1"}\n'))
        r = run([watch, "--probe"])
        self.assertEqual(r.returncode, 0, r.stderr)
        probe = json.loads(r.stdout)
        self.assertIsNone(protocol.command_line_problem(probe), r.stdout)

        act = os.path.join(self.libexec, "act")
        for words, status, reply in (
                (["--help"], 2, {"ok": False, "error": "Unknown action."}),
                ([], 2, {"ok": False, "error": "No action."}),
                (["trusted"], 0, {"ok": True, "trusted": False})):
            r = run([act, *words])
            self.assertEqual(r.returncode, status, words)
            self.assertEqual(protocol.check_reply(r.stdout, words[0] if words else None), reply)

    def test_the_image_module_loads_from_beside_the_unpacked_watch(self):
        frames = os.path.join(self.tmp, "frames")
        os.makedirs(frames, exist_ok=True)
        picture = os.path.join(frames, "f1-1.ppm")
        with open(picture, "wb") as f:
            f.write(b"P6\n64 48\n255\n" + bytes(range(256)) * (64 * 48 * 3 // 256))
        stderr = open(os.path.join(self.tmp, "watch.err"), "w+b")
        w = Lines(os.path.join(self.libexec, "watch"), stderr)
        try:
            w.wait("probe")
            w.send(json.dumps({"cmd": "config", "frames_dir": frames, "start": False}))
            w.wait("configured")
            # Only the module can blur: without it the answer is "ok": false.
            w.send(json.dumps({"cmd": "blur", "id": "b", "path": picture,
                                        "boxes": [{"x": 0.25, "y": 0.25, "w": 0.5, "h": 0.5}]}))
            self.assertEqual(w.wait("blurred")["ok"], True)
            with open(f"/proc/{w.proc.pid}/maps") as f:
                modules = {line.split()[-1] for line in f if "zephrin-images" in line}
            self.assertEqual(modules, {os.path.join(self.libexec, "zephrin-images.so")})
        finally:
            status = w.stop()
        self.assertEqual(status, 0)
        stderr.seek(0)
        self.assertNotIn(b"image work unavailable", stderr.read())
        stderr.close()
        with open(picture, "rb") as f:
            self.assertEqual(f.read(2), b"\xff\xd8")  # rewritten as JPEG

    def test_cmake_install_keeps_the_opt_layout(self):
        prefix = os.path.join(self.tmp, "opt", "zephrin")
        r = run(["cmake", "--install", BUILD, "--prefix", prefix])
        self.assertEqual(r.returncode, 0, r.stderr)
        for program in PROGRAMS:
            self.assertTrue(os.path.isfile(os.path.join(prefix, "libexec", "zephrin", program)))
        for name in SCHEMAS:
            self.assertTrue(os.path.isfile(os.path.join(prefix, "share", "doc", "zephrin", name)))
        r = run([os.path.join(prefix, "libexec", "zephrin", "watch"), "--version"])
        self.assertEqual(r.returncode, 0)


if __name__ == "__main__":
    unittest.main()
