#!/usr/bin/python3
"""The act binary without any display: every run answers one line and exits 0 or 2."""
import json
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import protocol  # noqa: E402

ACT = os.environ.get("ACT_BINARY", os.path.join(os.path.dirname(__file__), "../../build/act/act"))
ENV = {k: v for k, v in os.environ.items() if k != "DISPLAY"}


def run(*words):
    out = subprocess.run([ACT, *words], env=ENV, capture_output=True, timeout=10)
    return out.returncode, out.stdout, out.stderr


class WithoutDisplay(unittest.TestCase):
    def test_answers(self):
        cases = [
            ((), 2, {"ok": False, "error": "No action."}),
            (("trusted",), 0, {"ok": True, "trusted": False}),
            (("frontmost",), 0, {"ok": True, "name": None, "bundle_id": None}),
            (("window-at", "1", "2"), 0, {"ok": True, "pid": -1, "name": "", "bundle_id": ""}),
            (("click", "1", "2", "--pid", "1"), 2,
             {"ok": False, "error": "The app in front changed, so nothing was sent."}),
            (("type", b"\xff", "--pid", "1"), 2, {"ok": False, "error": "Text must be UTF-8."}),
            (("key", "cmd+c"), 2, {"ok": False, "error": "Which app the input is for is missing."}),
            ((b"\xc3\x28",), 2, {"ok": False, "error": "Unknown action."}),
        ]
        for words, status, reply in cases:
            code, out, err = run(*words)
            self.assertEqual(code, status, words)
            self.assertEqual(out.count(b"\n"), 1, words)
            self.assertTrue(out.endswith(b"\n"), words)
            # Compact, one line.
            self.assertEqual(out, (json.dumps(reply, separators=(",", ":"), sort_keys=True)
                                   + "\n").encode(), words)
            self.assertEqual(json.loads(out), reply, words)
            protocol.check_reply(out, words[0] if words else None)
            self.assertEqual(err, b"", words)


if __name__ == "__main__":
    unittest.main()
