"""The real watch binary as the host drives it: arguments, standard input, signals, output."""
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from protocol import check_line  # noqa: E402  (every line checked against the schema)

WATCH = os.environ.get("ZEPHRIN_WATCH", "../../build/watch/watch")

# No display and no session bus: every permission is false and the watcher still runs.
HEADLESS = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
HEADLESS["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=/nonexistent/bus"


def start(args=(), env=HEADLESS, stdout=subprocess.PIPE):
    # Unbuffered, so select() on the pipe sees every line that has not been read yet.
    return subprocess.Popen([WATCH, *args], stdin=subprocess.PIPE, stdout=stdout,
                            stderr=subprocess.DEVNULL, env=env, bufsize=0)


def read_line(p, timeout=10):
    """One event line, or fail the test after timeout."""
    import select
    ready, _, _ = select.select([p.stdout], [], [], timeout)
    if not ready:
        raise AssertionError("watch wrote nothing within %s s" % timeout)
    line = p.stdout.readline()
    if not line:
        raise AssertionError("watch closed its output")
    return check_line(line)


def kinds(text):
    return [check_line(l)["kind"] for l in text.decode().splitlines()]


class CommandLine(unittest.TestCase):
    def test_version(self):
        r = subprocess.run([WATCH, "--version", "extra"], capture_output=True, env=HEADLESS,
                           stdin=subprocess.DEVNULL, timeout=10)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stdout, b'{"kind":"version","version":"1"}\n')

    def test_probe_without_a_display(self):
        r = subprocess.run([WATCH, "--probe"], capture_output=True, env=HEADLESS,
                           stdin=subprocess.DEVNULL, timeout=10)
        self.assertEqual(r.returncode, 0)
        self.assertTrue(r.stdout.endswith(b"\n"))
        self.assertEqual(r.stdout.count(b"\n"), 1)
        rec = check_line(r.stdout)
        self.assertEqual(set(rec), {"kind", "version", "ax", "listen", "screen", "macos", "pid"})
        self.assertEqual((rec["kind"], rec["version"]), ("probe", "1"))
        self.assertIs(type(rec["ax"]), int)
        self.assertEqual((rec["ax"], rec["listen"], rec["screen"]), (0, False, False))
        self.assertIsInstance(rec["macos"], str)
        self.assertGreater(rec["pid"], 0)

    def test_other_first_argument_runs_the_watcher(self):
        r = subprocess.run([WATCH, "--help"], capture_output=True, env=HEADLESS,
                           stdin=subprocess.DEVNULL, timeout=10)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(kinds(r.stdout), ["probe", "stopped"])


class Lifecycle(unittest.TestCase):
    def test_end_of_input_at_start(self):
        r = subprocess.run([WATCH], capture_output=True, env=HEADLESS, stdin=subprocess.DEVNULL,
                           timeout=10)
        self.assertEqual(r.returncode, 0)
        lines = [check_line(l) for l in r.stdout.decode().splitlines()]
        self.assertEqual([l["kind"] for l in lines], ["probe", "stopped"])
        self.assertIsInstance(lines[0]["t"], int)

    def test_file_creation_mask(self):
        p = start()
        read_line(p)
        with open(f"/proc/{p.pid}/status") as f:
            umask = [l.split()[1] for l in f if l.startswith("Umask:")][0]
        p.communicate(timeout=10)
        self.assertEqual(umask, "0077")

    def signal_test(self, sig, record):
        p = start()
        self.assertEqual(read_line(p)["kind"], "probe")
        if record:
            p.stdin.write(b'{"cmd":"config"}\n')
            p.stdin.flush()
            self.assertEqual(read_line(p)["kind"], "configured")
            self.assertEqual(read_line(p)["kind"], "resumed")
        p.send_signal(sig)
        out, _ = p.communicate(timeout=10)
        self.assertEqual(p.returncode, 0)
        return kinds(out)

    def test_sigterm_while_paused(self):
        self.assertEqual(self.signal_test(signal.SIGTERM, False), ["stopped"])

    def test_sigint_while_recording(self):
        self.assertEqual(self.signal_test(signal.SIGINT, True), ["restored", "stopped"])

    def test_sigterm_while_recording(self):
        self.assertEqual(self.signal_test(signal.SIGTERM, True), ["restored", "stopped"])

    def test_closed_standard_descriptors(self):
        # Input closed from the start reads as its end; a closed error output changes nothing.
        # The descriptor numbers must not go to whatever the watcher opens first.
        for _ in range(5):
            p = subprocess.Popen([WATCH], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, env=HEADLESS,
                                 preexec_fn=lambda: os.close(0))
            try:
                out, _ = p.communicate(timeout=10)
            finally:
                if p.poll() is None:
                    p.kill()
                    p.wait()
            self.assertEqual((p.returncode, kinds(out)), (0, ["probe", "stopped"]))
        p = subprocess.Popen([WATCH], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             env=HEADLESS, bufsize=0, preexec_fn=lambda: os.close(2))
        self.assertEqual(read_line(p)["kind"], "probe")
        p.send_signal(signal.SIGTERM)
        out, _ = p.communicate(timeout=10)
        self.assertEqual((p.returncode, kinds(out)), (0, ["stopped"]))

    def test_stop_command_and_nothing_after_it(self):
        r = subprocess.run([WATCH], input=b'{"cmd":"stop"}\n{"cmd":"probe"}\n', capture_output=True,
                           env=HEADLESS, timeout=10)
        self.assertEqual(r.returncode, 0)
        self.assertEqual(kinds(r.stdout), ["probe", "stopped"])

    def test_every_line_is_out_before_exit(self):
        cmds = b'{"cmd":"probe"}\n' * 2000 + b'{"cmd":"stop"}\n'
        r = subprocess.run([WATCH], input=cmds, capture_output=True, env=HEADLESS, timeout=30)
        self.assertEqual(r.returncode, 0)
        k = kinds(r.stdout)
        self.assertEqual(len(k), 2002)
        self.assertEqual(k[-1], "stopped")

    def test_host_closing_output_does_not_kill_it(self):
        r_fd, w_fd = os.pipe()
        p = subprocess.Popen([WATCH], stdin=subprocess.PIPE, stdout=w_fd,
                             stderr=subprocess.DEVNULL, env=HEADLESS)
        os.close(w_fd)
        os.read(r_fd, 4096)
        os.close(r_fd)  # the host stops reading
        for _ in range(50):
            p.stdin.write(b'{"cmd":"probe"}\n')
            p.stdin.flush()
            time.sleep(0.005)
        self.assertIsNone(p.poll(), "watch died when its output closed")
        p.communicate(timeout=10)
        self.assertEqual(p.returncode, 0)

    def test_non_blocking_pipes_lose_nothing(self):
        # Descriptors handed over in non-blocking mode: a read that must wait is not the end of
        # input, and a full output pipe is waited for, not dropped.
        in_r, in_w = os.pipe()
        out_r, out_w = os.pipe()
        os.set_blocking(in_r, False)
        os.set_blocking(out_w, False)
        p = subprocess.Popen([WATCH], stdin=in_r, stdout=out_w, stderr=subprocess.DEVNULL,
                             env=HEADLESS)
        os.close(in_r)
        os.close(out_w)
        time.sleep(0.3)
        self.assertIsNone(p.poll(), "watch took an empty non-blocking pipe for the end of input")
        # More than a pipe holds, written before anything is read.
        os.write(in_w, b'{"cmd":"probe"}\n' * 3000 + b'{"cmd":"stop"}\n')
        time.sleep(0.5)
        os.close(in_w)
        out = b""
        while chunk := os.read(out_r, 65536):
            out += chunk
        os.close(out_r)
        p.wait(timeout=10)
        self.assertEqual(p.returncode, 0)
        k = kinds(out)
        self.assertEqual((len(k), k[-1]), (3002, "stopped"))


class Input(unittest.TestCase):
    def run_writes(self, chunks, pause=0.05):
        p = start()
        read_line(p)
        for c in chunks:
            p.stdin.write(c)
            p.stdin.flush()
            time.sleep(pause)
        out, _ = p.communicate(timeout=10)
        self.assertEqual(p.returncode, 0)
        return [check_line(l) for l in out.decode().splitlines()]

    def test_command_split_over_writes(self):
        out = self.run_writes([b'{"cmd":"con', b'fig","start":f', b'alse}', b'\n'])
        self.assertEqual([o["kind"] for o in out], ["configured", "stopped"])

    def test_two_commands_in_one_write(self):
        out = self.run_writes([b'{"cmd":"config","skip_hosts":["a","a"],"start":false}\n'
                               b'{"cmd":"probe"}\n'])
        self.assertEqual([o["kind"] for o in out], ["configured", "probe", "stopped"])
        self.assertEqual(out[0]["skip_hosts"], 2)

    def test_garbage_arrays_and_empty_lines_are_ignored(self):
        out = self.run_writes([b'\n', b'[{"cmd":"probe"}]\n', b'probe\n', b'{"cmd":"probe"\n',
                               b'\x00\xff\n', b'{"cmd":["probe"]}\n', b'\r\n'])
        self.assertEqual([o["kind"] for o in out], ["stopped"])

    def test_huge_line_then_a_valid_command(self):
        # 5 MiB without a line feed whose tail is a command: only the next line may run.
        huge = b" " * (5 * 1024 * 1024) + b'{"cmd":"config"}'
        out = self.run_writes([huge[i:i + 1 << 20] for i in range(0, len(huge), 1 << 20)] +
                              [b'\n{"cmd":"probe"}\n'], pause=0.01)
        self.assertEqual([o["kind"] for o in out], ["probe", "stopped"])

    def test_last_command_without_line_feed_never_runs(self):
        out = self.run_writes([b'{"cmd":"probe"}'])
        self.assertEqual([o["kind"] for o in out], ["stopped"])


class ImageRequestsAtTheEnd(unittest.TestCase):
    """Every image request is answered once, and "stopped" is the last line."""

    def test_answers_before_stopped(self):
        names = b"".join(b'{"cmd":"names","id":"%d","text":"Ask Priya Raman."}\n' % i
                         for i in range(40))
        for run in range(5):
            r = subprocess.run([WATCH], input=names + b'{"cmd":"stop"}\n', capture_output=True,
                               env=HEADLESS, timeout=30)
            self.assertEqual(r.returncode, 0)
            lines = [check_line(l) for l in r.stdout.decode().splitlines()][1:]
            self.assertEqual(sorted(int(l["id"]) for l in lines[:-1]), list(range(40)), run)
            self.assertEqual(lines[-1]["kind"], "stopped", run)

    def test_blur_then_end_of_input_and_deep_boxes(self):
        with tempfile.TemporaryDirectory() as frames:
            picture = os.path.join(frames, "f1.ppm")
            with open(picture, "wb") as f:
                f.write(b"P6\n32 16\n255\n" + bytes(range(256)) * 6)
            deep = b"[" * 200000 + b"]" * 200000
            commands = [b'{"cmd":"config","start":false,"frames_dir":%s}' % json.dumps(frames)
                        .encode(),
                        b'{"cmd":"blur","id":"deep","path":%s,"boxes":[%s]}' %
                        (json.dumps(picture).encode(), deep),
                        b'{"cmd":"blur","id":"last","path":%s,"boxes":[{"w":1,"h":1}]}' %
                        json.dumps(picture).encode()]
            r = subprocess.run([WATCH], input=b"\n".join(commands) + b"\n", capture_output=True,
                               env=HEADLESS, timeout=30)
        self.assertEqual(r.returncode, 0)
        lines = [check_line(l) for l in r.stdout.decode().splitlines()]
        # One answer each (a slow machine may see them answered as failed at the end).
        self.assertEqual(sorted(l["id"] for l in lines if l["kind"] == "blurred"),
                         ["deep", "last"])
        self.assertEqual(lines[-1]["kind"], "stopped")


if __name__ == "__main__":
    unittest.main()
