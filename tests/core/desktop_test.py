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
        rec = json.loads(r.stdout)
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
            out = [json.loads(l) for l in r.stdout.decode().splitlines()]
            self.assertEqual([o["kind"] for o in out],
                             ["probe", "configured", "resumed", "app", "restored", "stopped"])
            self.assertEqual(out[3]["bundle"], "org.zephrin.DemoPad")
            self.assertEqual((out[3]["window"], out[3]["url"]), ("", ""))
        finally:
            app.terminate()
            app.wait()


if __name__ == "__main__":
    unittest.main()
