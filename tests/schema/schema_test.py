"""The protocol's schemas: valid JSON Schema, in step with the README's reference tables, and
strict where a host relies on it (privacy forms, enums, no stray fields)."""
import json
import os
import re
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import protocol  # noqa: E402
import watchdesk  # noqa: E402

README = os.path.join(os.path.dirname(protocol.SCHEMAS), "README.md")
CONTEXT = {"app": "Editor", "bundle": "org.example.Editor", "window": "Notes", "url": "h.test/a"}
FIELD = {"role": "AXTextField", "label": "Name", "frame": {"x": 10, "y": -4, "w": 200, "h": 24}}
SECRET = dict(FIELD, subrole="AXSecureTextField", label="Password", secure=True)


def line(kind, **fields):
    return {"kind": kind, "t": 1700000000123, **fields}


def seen(kind, **fields):
    return line(kind, **{**CONTEXT, **fields})


# One line of every shape watch prints, as it prints them.
GOOD = [
    line("probe", version="1", ax=1, listen=True, screen=False, macos="Debian 12", pid=42),
    line("configured", skip_bundles=1, skip_hosts=2),
    *[line(k) for k in ("resumed", "paused", "stopped", "restored", "active", "sleep", "wake",
                        "lock", "unlock")],
    line("app", app="Editor", bundle="org.example.Editor", window="", url=""),
    line("private", why="site"),
    seen("keys", count=3),
    *[seen("key_shortcut", keys=k) for k in ("cmd+s", "ctrl+shift+z", "return", "shift+tab",
                                             "cmd+ctrl+opt+shift+forward_delete")],
    seen("paste", element={}, change=17),
    seen("click", element=FIELD, x=-3, y=20, right=False),
    seen("scroll"),
    seen("copy", text="hello", element=FIELD, has_text=1),
    seen("copy", text="", element={}, has_text=0),
    seen("copy", concealed=True),
    line("copy", private=True),
    line("idle", seconds=121),
    seen("window", why="AXTitleChanged"),
    seen("page"),
    seen("text", hash="00ff00ff00ff00ff", text="Total\n", readable=1, partial=False,
         outline={"headings": ["Total"], "buttons": [], "fields": ["Name"], "columns": []}),
    seen("text", hash="14650fb0739d0383", text="", readable=0, partial=True,
         outline={"headings": [], "buttons": [], "fields": [], "columns": []}),
    seen("focus", element=SECRET),
    seen("value", element=FIELD, value="Ada"),
    seen("value", element=SECRET, secure=True),
    seen("menu", element={"role": "AXMenuItem", "label": "Save"}),
    seen("frame", path="/tmp/frames/f1700000000123-48213.jpg", dhash="00000000000000ff", w=1280,
         h=800, why="window", window_id=31457282),
    line("frame_dropped", why="capture_failed"),
    line("names", id="1", names=["Sarah", "Daniel Okafor"]),
    line("blurred", id="", ok=False),
    line("ocr", id="3", text="line one\n", boxes=[{"text": "line one", "x": 0.1, "y": 0.8,
                                                  "w": 0.5, "h": 0.05}]),
    line("ocr", id="4", text="", boxes=[]),
]

# Lines a host must never get, with what makes each wrong.
BAD = [
    ("a count as text", seen("keys", count="3")),
    ("an extra field", seen("click", element=FIELD, x=1, y=2, right=True, text="hi")),
    ("a private copy with text", line("copy", private=True, text="hunter2")),
    ("a private copy with context", line("copy", private=True, **CONTEXT)),
    ("a concealed copy with text", seen("copy", concealed=True, text="hunter2")),
    ("a copy out of a secure field", seen("copy", text="hunter2", element=SECRET, has_text=1)),
    ("has_text that disagrees", seen("copy", text="", element={}, has_text=1)),
    ("a secure field's value", seen("value", element=SECRET, value="hunter2")),
    ("value and secure at once", seen("value", element=FIELD, value="x", secure=True)),
    ("a shortcut of a plain letter", seen("key_shortcut", keys="a")),
    ("modifiers out of order", seen("key_shortcut", keys="shift+ctrl+z")),
    ("an unknown why", line("frame_dropped", why="busy")),
    ("a frame wider than kept", seen("frame", path="/f/f1-2.jpg", dhash="00000000000000ff",
                                     w=2560, h=1600, why="window", window_id=3)),
    ("no t", {"kind": "paused"}),
    ("a fractional t", line("paused", t=1.5)),
    ("an unknown kind", line("typed", text="hunter2")),
    ("ax as a boolean", line("probe", version="1", ax=True, listen=True, screen=True, macos="",
                             pid=1)),
    ("a whole address as page", seen("page", url="https://h.test/a")),
    ("an empty page", seen("page", url="")),
    ("readable without text", seen("text", hash="14650fb0739d0383", text="", readable=1,
                                   partial=False, outline={"headings": [], "buttons": [],
                                                           "fields": [], "columns": []})),
    ("a label past 200", seen("focus", element=dict(FIELD, label="x" * 201))),
    ("an app line with a window", line("app", **CONTEXT)),
    ("a name twice", line("names", id="1", names=["Tom", "Tom"])),
    ("secure: false", seen("focus", element=dict(FIELD, secure=False))),
]


def readme_table(heading, column=0):
    """The first cells (backticked words) of the table under a README heading."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    section = text.split(heading, 1)[1].split("\n#", 1)[0]
    names = []
    for row in re.findall(r"^\|(.*)\|\s*$", section, re.M):
        cell = row.split("|")[column]
        names += re.findall(r"`([^`]+)`", cell)
    return names


class Events(unittest.TestCase):
    def test_every_shape_watch_prints_passes(self):
        for record in GOOD:
            with self.subTest(record=record):
                self.assertIsNone(protocol.event_problem(record))

    def test_bad_lines_are_refused(self):
        for why, record in BAD:
            with self.subTest(why):
                self.assertIsNotNone(protocol.event_problem(record))

    def test_the_shortcut_by_kind_agrees_with_the_whole_schema(self):
        whole = protocol.Validator(protocol.EVENTS)
        for record in GOOD + [r for _, r in BAD]:
            with self.subTest(record=record):
                self.assertEqual(protocol.event_problem(record) is None, whole.is_valid(record))

    def test_the_command_line_answers(self):
        self.assertIsNone(protocol.command_line_problem({"kind": "version", "version": "1"}))
        probe = {"kind": "probe", "version": "1", "ax": 0, "listen": False, "screen": False,
                 "macos": "", "pid": 7}
        self.assertIsNone(protocol.command_line_problem(probe))
        self.assertIsNotNone(protocol.command_line_problem(dict(probe, t=1)))
        self.assertIsNotNone(protocol.command_line_problem({"kind": "version", "version": 1}))

    def test_the_kinds_are_the_readmes(self):
        kinds = set(protocol.EVENTS["$defs"]["event"]["properties"]["kind"]["enum"])
        self.assertEqual(kinds, set(readme_table("### Events (standard output)")))
        self.assertEqual(kinds, set(protocol._by_kind))
        why = protocol.EVENTS["$defs"]["frame_dropped"]["properties"]["why"]["enum"]
        self.assertEqual(set(why) - {"same"}, set(readme_table("| `why` | When |")) - {"why"})

    def test_the_harness_fails_on_a_bad_line_and_shows_it(self):
        good = json.dumps(line("resumed"))
        bad = json.dumps(line("copy", private=True, text="hunter2"))
        w = watchdesk.Watch(dict(os.environ), ["-c", f"echo '{good}'; echo '{bad}'; "
                                                     "echo '{\"kind\":\"paused\"}'; cat"],
                            binary="/bin/sh")
        try:
            with self.assertRaisesRegex(AssertionError, "line 2 .*hunter2"):
                w.wait("paused", timeout=30)
            self.assertEqual(len(w.invalid), 2)  # and the paused line without "t"
        finally:
            w.stop()


class Commands(unittest.TestCase):
    def test_commands(self):
        schema = protocol.COMMANDS
        self.assertEqual(set(schema["properties"]["cmd"]["enum"]),
                         set(readme_table("### Commands (standard input)")) - {'"cmd"'})
        for good in ({"cmd": "config", "skip_bundles": ["a"], "frames_dir": "", "start": False},
                     {"cmd": "frames", "on": "yes"}, {"cmd": "stop"},
                     {"cmd": "blur", "id": "2", "path": "/f/f1.jpg",
                      "boxes": [{"x": 0.1, "y": "0.8", "w": 0.5, "h": 0.05}]}):
            self.assertIsNone(protocol.command_problem(good), good)
        for bad in ({"cmd": "config", "frames_dir": 7}, {"cmd": "pause", "now": True},
                    {"cmd": "blur", "id": "2", "path": "/f/f1.jpg", "boxes": []},
                    {"cmd": "Stop"}, {"id": "1"}):
            self.assertIsNotNone(protocol.command_problem(bad), bad)


class ActReplies(unittest.TestCase):
    def test_replies(self):
        actions = set(protocol.ACTIONS)
        self.assertEqual(actions, set(readme_table("### Actions")))
        good = [("trusted", {"ok": True, "trusted": False}),
                ("frontmost", {"ok": True, "name": None, "bundle_id": None}),
                ("frontmost", {"ok": True, "name": "gedit", "bundle_id": "org.gnome.gedit",
                               "pid": 9}),
                ("window-at", {"ok": True, "pid": -1, "name": "", "bundle_id": ""}),
                ("click", {"ok": True}),
                ("key", {"ok": False, "error": "Unknown modifier hyper."}),
                ("type", {"ok": False, "error": "That spot is on a window of Firefox, so nothing "
                          "was sent. Take a screenshot and try again."})]
        for action, reply in good:
            self.assertIsNone(protocol.reply_problem(reply, action), (action, reply))
        bad = [("click", {"ok": True, "trusted": True}),
               ("window-at", {"ok": True, "pid": -1, "name": "Firefox", "bundle_id": ""}),
               ("frontmost", {"ok": True, "name": None, "bundle_id": None, "pid": 0}),
               ("move", {"ok": False, "error": "Something went wrong."}),
               ("move", {"ok": False}),
               (None, {})]
        for action, reply in bad:
            self.assertIsNotNone(protocol.reply_problem(reply, action), (action, reply))

    def test_every_sentence_in_the_readme_is_allowed(self):
        sentences = readme_table("### Replies on failure") + readme_table(
            "### The guard and the refusals")
        for sentence in sentences:
            if sentence in ("Sentence",) or "…" in sentence:
                continue
            sentence = sentence.replace("NAME", "hyper").replace("DESCRIPTION",
                                                                 "another app's window")
            self.assertIsNone(protocol.reply_problem({"ok": False, "error": sentence}), sentence)

    def test_check_reply_shows_the_line(self):
        with self.assertRaisesRegex(AssertionError, "ok.*yes"):
            protocol.check_reply('{"ok":"yes"}\n')
        with self.assertRaisesRegex(AssertionError, "not JSON"):
            protocol.check_reply("ok\n")
        self.assertEqual(protocol.check_reply(b'{"ok":true}\n', "move"), {"ok": True})


if __name__ == "__main__":
    unittest.main()
