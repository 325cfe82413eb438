"""The protocol's schemas: valid, in step with the README's tables, and strict where a host relies
on them (privacy forms, enums, no stray fields). Real lines are checked by the e2e suites."""
import json
import os
import re
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import protocol  # noqa: E402  (loading checks each schema against the 2020-12 meta-schema)
import watchdesk  # noqa: E402

README = os.path.join(os.path.dirname(protocol.SCHEMAS), "README.md")
FIELD = {"role": "AXTextField", "label": "Name", "frame": {"x": 10, "y": -4, "w": 200, "h": 24}}
SECRET = dict(FIELD, subrole="AXSecureTextField", secure=True)


def line(kind, context=True, **fields):
    ctx = {"app": "Ed", "bundle": "org.ex.Ed", "window": "Notes", "url": "h.test/a"}
    return {"kind": kind, "t": 1700000000123, **(ctx if context else {}), **fields}


# The conditional shapes, each beside what its neighbour must not be.
GOOD = [
    line("copy", text="hi", element=FIELD, has_text=1), line("copy", concealed=True),
    line("copy", False, private=True), line("value", element=FIELD, value="Ada"),
    line("value", element=SECRET, secure=True), line("key_shortcut", keys="cmd+ctrl+opt+shift+z"),
    line("key_shortcut", keys="shift+tab"), line("ocr", False, id="", text="", boxes=[]),
    line("text", hash="14650fb0739d0383", text="", readable=0, partial=True,
         outline={"headings": [], "buttons": [], "fields": [], "columns": []}),
]
BAD = {
    "a count as text": line("keys", count="3"),
    "an extra field": line("click", element=FIELD, x=1, y=2, right=True, text="hi"),
    "a private copy with text": line("copy", False, private=True, text="hunter2"),
    "a private copy with context": line("copy", private=True),
    "a copy out of a secure field": line("copy", text="hunter2", element=SECRET, has_text=1),
    "a secure field's value": line("value", element=SECRET, value="hunter2"),
    "value and secure at once": line("value", element=FIELD, value="x", secure=True),
    "a shortcut of a plain letter": line("key_shortcut", keys="a"),
    "an unknown why": line("frame_dropped", False, why="busy"),
    "no t": {"kind": "paused"},
    "an unknown kind": line("typed", text="hunter2"),
    "a whole address as page": line("page", url="https://h.test/a"),
    "readable without text": dict(GOOD[-1], readable=1),
}


def readme_table(heading):
    """The backticked words in the first column of the table under a README heading."""
    with open(README, encoding="utf-8") as f:
        section = f.read().split(heading, 1)[1].split("\n#", 1)[0]
    rows = re.findall(r"^\|([^|]*)\|", section, re.M)
    return [w for cell in rows for w in re.findall(r"`([^`]+)`", cell)]


class Schemas(unittest.TestCase):
    def test_good_and_bad_lines(self):
        whole = protocol.Validator(protocol.EVENTS)
        for record in GOOD:
            self.assertIsNone(protocol.event_problem(record), record)
        for why, record in BAD.items():
            self.assertIsNotNone(protocol.event_problem(record), why)
        # The harness goes straight to a kind's definition: the same verdict as the whole schema.
        for record in GOOD + list(BAD.values()):
            self.assertEqual(protocol.event_problem(record) is None, whole.is_valid(record))
        probe = {"kind": "probe", "version": "1", "ax": 0, "listen": False, "screen": False,
                 "macos": "", "pid": 7}
        self.assertIsNone(protocol.command_line_problem(probe))
        self.assertIsNotNone(protocol.command_line_problem(dict(probe, t=1)))

    def test_in_step_with_the_readme(self):
        kinds = protocol.EVENTS["$defs"]["event"]["properties"]["kind"]["enum"]
        self.assertEqual(set(kinds), set(readme_table("### Events (standard output)")))
        self.assertEqual(set(kinds), set(protocol._by_kind))
        self.assertEqual(set(protocol.COMMANDS["properties"]["cmd"]["enum"]),
                         set(readme_table("### Commands (standard input)")) - {'"cmd"'})
        self.assertEqual(set(protocol.ACTIONS), set(readme_table("### Actions")))
        for sentence in readme_table("### Replies on failure") + readme_table(
                "### The guard and the refusals"):
            if "…" not in sentence:
                sentence = sentence.replace("NAME", "hyper").replace("DESCRIPTION", "a window of X")
                self.assertIsNone(protocol.reply_problem({"ok": False, "error": sentence}),
                                  sentence)

    def test_commands_and_replies(self):
        self.assertIsNone(protocol.command_problem(
            {"cmd": "blur", "id": "2", "path": "/f/f1.jpg", "boxes": [{"x": 0.1, "y": "0.8"}]}))
        for bad in ({"cmd": "config", "frames_dir": 7}, {"cmd": "pause", "now": True},
                    {"cmd": "Stop"}):
            self.assertIsNotNone(protocol.command_problem(bad), bad)
        self.assertIsNone(protocol.reply_problem({"ok": True, "pid": -1, "name": "",
                                                  "bundle_id": ""}, "window-at"))
        for action, bad in (("click", {"ok": True, "trusted": True}),
                            ("window-at", {"ok": True, "pid": -1, "name": "X", "bundle_id": ""}),
                            ("move", {"ok": False, "error": "Something went wrong."})):
            self.assertIsNotNone(protocol.reply_problem(bad, action), bad)
        with self.assertRaisesRegex(AssertionError, "ok.*yes"):
            protocol.check_reply('{"ok":"yes"}\n')

    def test_the_harness_fails_on_a_bad_line_and_shows_it(self):
        printed = [line("resumed", False), BAD["a private copy with text"], {"kind": "paused"}]
        script = "".join(f"echo '{json.dumps(r)}'; " for r in printed) + "cat"
        w = watchdesk.Watch(dict(os.environ), ["-c", script], binary="/bin/sh")
        try:
            with self.assertRaisesRegex(AssertionError, "line 2 .*hunter2"):
                w.wait("paused", timeout=30)
            # The wait fails at the first bad line; the reader goes on with the rest.
            deadline = time.monotonic() + 30
            while len(w.events) < len(printed) and time.monotonic() < deadline:
                time.sleep(0.01)
            self.assertEqual(len(w.invalid), 2)
        finally:
            w.stop()


if __name__ == "__main__":
    unittest.main()
