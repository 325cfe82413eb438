"""The watcher on a virtual X desktop with a real application in front."""
import json
import os
import subprocess
import sys
import time
import unittest

ROOT = os.environ.get("ZEPHRIN_ROOT", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
from desktop import VirtualDesktop  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from protocol import check_line  # noqa: E402  (every line checked against the schema)

WATCH = os.environ.get("ZEPHRIN_WATCH", os.path.join(ROOT, "build/watch/watch"))
APP = os.path.join(ROOT, "scripts", "demo_app.py")


class OnDesktop(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.desktop = VirtualDesktop().start()

    @classmethod
    def tearDownClass(cls):
        cls.desktop.stop()

    def test_probe_grants_everything_on_a_full_desktop(self):
        r = subprocess.run([WATCH, "--probe"], capture_output=True, env=self.desktop.env,
                           timeout=10)
        rec = check_line(r.stdout)
        self.assertEqual((rec["ax"], rec["listen"], rec["screen"]), (1, True, True))

    def test_config_reports_the_front_application(self):
        app = subprocess.Popen(["/usr/bin/python3", APP, "--title", "Zephrin test pad"],
                               env=self.desktop.env, stdout=subprocess.PIPE)
        try:
            self.assertEqual(app.stdout.readline().strip(), b"ready")
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                r = subprocess.run(["xdotool", "getactivewindow", "getwindowpid"],
                                   capture_output=True, env=self.desktop.env)
                if r.stdout.strip() == str(app.pid).encode():
                    break
                time.sleep(0.05)
            r = subprocess.run([WATCH], input=b'{"cmd":"config"}\n{"cmd":"stop"}\n',
                               capture_output=True, env=self.desktop.env, timeout=10)
            out = [check_line(l) for l in r.stdout.decode().splitlines()]
            self.assertEqual([o["kind"] for o in out],
                             ["probe", "configured", "resumed", "app", "restored", "stopped"])
            self.assertEqual(out[3]["bundle"], "org.zephrin.DemoPad")
            self.assertEqual((out[3]["window"], out[3]["url"]), ("", ""))
        finally:
            app.terminate()
            app.wait()

    def test_probe_starts_no_session_bus(self):
        # Without a bus address GIO would launch a bus of its own that outlives the watcher.
        env = {k: v for k, v in self.desktop.env.items() if k != "DBUS_SESSION_BUS_ADDRESS"}
        env["XDG_RUNTIME_DIR"] = "/nonexistent"
        r = subprocess.run([WATCH, "--probe"], capture_output=True, env=env, timeout=10)
        self.assertEqual(check_line(r.stdout)["ax"], 0)
        time.sleep(0.3)
        ours = {p.pid for p in self.desktop.procs}
        started = []
        for pid in os.listdir("/proc"):
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
                with open(f"/proc/{pid}/comm") as f:
                    comm = f.read().strip()
            except (OSError, IndexError):
                continue
            # Daemons that detach land on us, the subreaper.
            if int(fields[1]) == os.getpid() and comm.startswith("dbus-") and int(pid) not in ours:
                started.append(comm)
                os.kill(int(pid), 15)
        self.assertEqual(started, [])


class LostDisplay(unittest.TestCase):
    def test_watch_goes_on_without_the_display(self):
        desktop = VirtualDesktop().start()
        try:
            watch = subprocess.Popen([WATCH], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=desktop.env)
            self.assertEqual(check_line(watch.stdout.readline())["screen"], True)
            xvfb = desktop.procs[0]
            xvfb.terminate()
            xvfb.wait(timeout=10)
            out, err = watch.communicate(b'{"cmd":"probe"}\n{"cmd":"probe"}\n{"cmd":"stop"}\n',
                                         timeout=20)
            events = [check_line(line) for line in out.decode().splitlines()]
            self.assertEqual([e["kind"] for e in events], ["probe", "probe", "stopped"])
            self.assertEqual((events[0]["screen"], events[0]["listen"]), (False, False))
            self.assertEqual(watch.returncode, 0)
            self.assertIn(b"lost the connection to the X display", err)
        finally:
            desktop.stop()


if __name__ == "__main__":
    unittest.main()
