#!/usr/bin/python3
"""act on a virtual X desktop against real GTK windows that report what they receive.

    e2e_test.py [unittest arguments, e.g. InputTest]
"""
import subprocess
import time
import unittest

from actdesk import ACT, TestApp, VirtualDesktop, act, collect, tool

CHANGED = "The app in front changed, so nothing was sent."


def buttons(reports):
    return [(r["kind"], r["button"]) for r in reports if r["event"] == "button"]


def answer_when(app, line, holds, timeout=10.0):
    """The app's answer to line once holds(answer), else its last answer."""
    deadline = time.monotonic() + timeout
    while True:
        got = app.ask(line)
        if holds(got) or time.monotonic() > deadline:
            return got
        time.sleep(0.05)


def settled(app, line, field, want):
    return answer_when(app, line, lambda got: got[field] == want)[field]


def text_of(app, want):
    return settled(app, "text", "text", want)


def seen(app):
    """Every report the app made before it answers "sync": what it received by now."""
    app.send("sync")
    got = collect(app, lambda r: r and r[-1]["event"] == "sync", timeout=10)
    assert got and got[-1]["event"] == "sync", got
    return got[:-1]


class InputTest(unittest.TestCase):
    """What the target receives from each action."""

    @classmethod
    def setUpClass(cls):
        cls.desk = VirtualDesktop().start()
        cls.app = TestApp(cls.desk, "zephrin-target")

    @classmethod
    def tearDownClass(cls):
        cls.app.stop()
        cls.desk.stop()

    def act(self, *words):
        status, reply, _ = act(self.desk, *words, pid=self.app.pid)
        self.assertEqual((status, reply), (0, {"ok": True}), words)

    def setUp(self):
        self.app.ask("set " + '""', "set")
        self.app.drain()

    def test_clicks(self):
        x, y = self.app.point(200, 100)
        self.act("click", x, y)
        got = collect(self.app, lambda r: ("release", 1) in buttons(r))
        self.assertEqual(buttons(got), [("press", 1), ("release", 1)])
        press = [r for r in got if r["event"] == "button"][0]
        self.assertEqual((press["x"], press["y"]), (x, y))

        # X has no click state: the toolkit must see the two clicks as one double click.
        time.sleep(0.6)  # beyond the double-click time of the first click
        self.app.drain()
        self.act("double_click", x, y)
        got = collect(self.app, lambda r: buttons(r).count(("release", 1)) == 2)
        self.assertEqual(buttons(got), [("press", 1), ("release", 1), ("press", 1),
                                        ("double", 1), ("release", 1)])

        time.sleep(0.6)
        self.app.drain()
        self.act("right_click", x, y)
        got = collect(self.app, lambda r: ("release", 3) in buttons(r))
        self.assertEqual(buttons(got), [("press", 3), ("release", 3)])

    def test_drag_selects_text(self):
        self.app.ask('set "hello world, dragging selects this"', "set")
        x, y = self.app.point(1, 8)
        self.act("drag", x, y, x + 120, y)
        got = answer_when(self.app, "text", lambda got: got["selected"])
        self.assertTrue(got["selected"], got)
        self.assertTrue(got["text"].startswith(got["selected"]), got)
        self.assertGreater(len(got["selected"]), 5, got)

    def test_a_window_kept_on_top_is_still_the_apps_window(self):
        self.app.ask("above on", "above")
        try:
            self.act("type", "on top")
            self.assertEqual(text_of(self.app, "on top"), "on top")
        finally:
            self.app.ask("above off", "above")

    def test_killed_mid_drag_lets_go_of_the_button(self):
        x, y = self.app.point(10, 10)
        proc = subprocess.Popen([ACT, "drag", str(x), str(y), str(x + 200), str(y + 100), "--pid",
                                 str(self.app.pid)], env=self.desk.env, stdout=subprocess.PIPE)
        pressed = collect(self.app, lambda r: ("press", 1) in buttons(r), timeout=10)
        self.assertIn(("press", 1), buttons(pressed))
        proc.terminate()
        proc.communicate(timeout=10)
        got = collect(self.app, lambda r: ("release", 1) in buttons(r), timeout=10)
        self.assertIn(("release", 1), buttons(got), (proc.returncode, got))

    def test_killed_while_typing_gives_the_keyboard_back(self):
        spare = self.app.ask("spare")["count"]
        text = "ab\u00e9\u2713" * 100
        tool(self.desk, "xdotool", "key", "Caps_Lock")
        try:
            proc = subprocess.Popen([ACT, "type", text, "--pid", str(self.app.pid)],
                                    env=self.desk.env, stdout=subprocess.PIPE)
            deadline = time.monotonic() + 10
            while len(self.app.ask("text")["text"]) < 3 and time.monotonic() < deadline:
                time.sleep(0.05)
            proc.terminate()
            out, _ = proc.communicate(timeout=10)
            self.assertEqual((proc.returncode, out), (-15, b""))
            typed = self.app.ask("text")["text"]
            self.assertTrue(0 < len(typed) < len(text) and text.startswith(typed), typed)
            # The borrowed key codes are unbound and Caps Lock is on again.
            self.assertEqual(self.app.ask("spare")["count"], spare)
            self.act("key", "a")
            self.assertEqual(text_of(self.app, typed + "A"), typed + "A")
        finally:
            tool(self.desk, "xdotool", "key", "Caps_Lock")

    def test_each_run_is_delivered_before_it_answers(self):
        # Typing changes the key mapping, after which the window manager holds the pointer frozen
        # for a while; no run may answer before its input has arrived, so none can overtake.
        x, y = self.app.point(200, 100)
        start = self.app.point(1, 8)
        for _ in range(2):
            self.app.ask('set ""', "set")
            self.app.drain()
            self.act("type", "h\u00e9llo \u2713 \u65e5\u672c")
            keys = [r["name"] for r in seen(self.app) if r["event"] == "key"]
            self.assertEqual(len(keys), 10, keys)
            self.act("double_click", x, y)
            self.assertEqual(buttons(seen(self.app)), [("press", 1), ("release", 1), ("press", 1),
                                                       ("double", 1), ("release", 1)])
            self.act("scroll", x, y, "down", 2)
            self.assertEqual([r["direction"] for r in seen(self.app) if r["event"] == "scroll"],
                             ["down"] * 2)
            self.act("drag", *start, start[0] + 40, start[1])
            self.assertEqual(buttons(seen(self.app)), [("press", 1), ("release", 1)])
            self.act("key", "x")
            self.assertEqual([r["name"] for r in seen(self.app) if r["event"] == "key"], ["x"])
        # The drag selected the start of the text, and the key replaced it.
        text = self.app.ask("text")["text"]
        self.assertTrue(text.startswith("x") and text.endswith("\u65e5\u672c"), text)

    def test_a_text_changes_the_key_mapping_at_most_twice(self):
        # Each change makes every client reload its keymap: one to bind, one to unbind.
        def changes(*words):
            before = self.app.ask("keymaps")["count"]
            self.act(*words)
            deadline, count = time.monotonic() + 5, -1
            while time.monotonic() < deadline:  # until the app has seen the last change
                time.sleep(0.3)
                now = self.app.ask("keymaps")["count"]
                if now == count:
                    break
                count = now
            return count - before

        # Characters on the keyboard's keys without a modifier need no change at all (the first
        # key an app receives may make it read its keymap once).
        changes("type", "a")
        self.assertEqual(changes("type", "hello 42"), 0)
        one = changes("type", "\u2713")
        self.assertGreater(one, 0)
        # GDK counts a change as several notices, not always the same number of them: eight
        # characters must cost less than two changes of one.
        self.assertLess(changes("type", "h\u00e9llo \u2713 \u65e5\u672c"), 2 * one)

    def test_input_held_back_is_answered_as_late(self):
        # A grab that never lets the pointer go: the move cannot arrive.
        self.assertEqual(self.app.ask("freeze")["status"], 0)
        try:
            x, y = self.app.point(150, 50)
            status, reply, _ = act(self.desk, "click", x, y, pid=self.app.pid)
            self.assertEqual((status, reply["error"]),
                             (2, "The input was sent but had not arrived after 2 seconds, so it "
                                 "may still arrive late; take a screenshot before trying again."))
        finally:
            self.app.ask("thaw")
        self.assertEqual(buttons(seen(self.app)), [])
        self.act("click", x, y)  # the pointer works again
        self.assertEqual(buttons(seen(self.app)), [("press", 1), ("release", 1)])

    def test_a_busy_app_gets_every_character(self):
        # The app reads nothing for a second while the text goes out: the borrowed key codes
        # must keep their symbols until it has read its keys.
        text = "h\u00e9llo@\u20ac\u00f1"
        self.app.ask("busy 1")
        self.act("type", text)
        self.assertEqual(text_of(self.app, text), text)

    def test_an_app_that_reads_nothing_is_no_success(self):
        self.app.ask("busy 3.5")
        started = time.monotonic()
        status, reply, _ = act(self.desk, "type", "\u00e9t\u00e9", pid=self.app.pid)
        self.assertEqual((status, reply["error"]),
                         (2, "The app did not take the typed text within 2 seconds (it may be busy "
                             "or hung), so some characters may be missing; take a screenshot "
                             "before trying again."))
        self.assertGreaterEqual(time.monotonic() - started, 2.0)
        # Once awake, the app reads what is left: the plain t (the borrowed codes went back).
        self.assertEqual(settled(self.app, "text", "text", "t"), "t")

    def test_control_characters_that_are_keys(self):
        # Backspace and delete both delete backwards; escape is the Escape key.
        self.act("type", "ab\bc\x7f\x1bd")
        keys = [r["name"] for r in seen(self.app) if r["event"] == "key"]
        self.assertEqual(keys, ["a", "b", "BackSpace", "c", "BackSpace", "Escape", "d"])
        self.assertEqual(self.app.ask("text")["text"], "ad")

    def test_scroll_lines(self):
        x, y = self.app.point(100, 100)
        for direction, amount in (("up", 3), ("down", 2), ("left", 1), ("right", 4)):
            self.act("scroll", x, y, direction, amount)
            got = collect(self.app, lambda r: len([e for e in r if e["event"] == "scroll"])
                          >= amount)
            self.assertEqual([e["direction"] for e in got if e["event"] == "scroll"],
                             [direction] * amount)

    def test_typing_arrives_exactly(self):
        spare = self.app.ask("spare")["count"]
        text = "Hello, World! h\u00e9llo \u2713 \u65e5\u672c e\u0301 \U0001F600 \U0001F44D\U0001F3FD" \
               " \U0001F1EB\U0001F1F7 ~`!@#$%^&*()_+{}|:\"<>?[]\\;',./ \u00dc\u00df\u20ac"
        self.act("type", text)
        self.assertEqual(text_of(self.app, text), text)
        # The borrowed key codes are given back.
        self.assertEqual(self.app.ask("spare")["count"], spare)
        self.act("type", "a\nb\tc")
        self.assertEqual(text_of(self.app, text + "a\nb\tc"), text + "a\nb\tc")

    def test_caps_lock_changes_no_typed_character(self):
        tool(self.desk, "xdotool", "key", "Caps_Lock")
        try:
            self.act("type", "abc ABC \u00e9\u00c9 \u03c9")
            # The lock is back afterwards: a plain key press is upper-cased again.
            self.act("key", "a")
            want = "abc ABC \u00e9\u00c9 \u03c9A"
            self.assertEqual(text_of(self.app, want), want)
        finally:
            tool(self.desk, "xdotool", "key", "Caps_Lock")

    def test_key_combinations(self):
        self.app.ask('set "select all of this"', "set")
        self.act("key", "ctrl+a")
        self.assertEqual(settled(self.app, "text", "selected", "select all of this"),
                         "select all of this")
        self.act("key", "right")
        self.act("key", "shift+left")
        self.act("key", "shift+left")
        self.assertEqual(settled(self.app, "text", "selected", "is"), "is")
        self.act("key", "backspace")
        self.act("key", "shift+1")
        self.act("key", "RETURN")
        keys = collect(self.app, lambda r: any(e.get("name") == "Return" for e in r))
        self.assertIn({"event": "key", "name": "exclam", "mods": ["shift"]}, keys)
        self.assertEqual(self.app.ask("text")["text"], "select all of th!\n")


class RefusalTest(unittest.TestCase):
    """Nothing reaches the target, or anyone, when something else is in the way."""

    @classmethod
    def setUpClass(cls):
        cls.desk = VirtualDesktop().start()
        cls.target = TestApp(cls.desk, "zephrin-target", 100, 100, 500, 400)
        cls.other = TestApp(cls.desk, "zephrin-other", 700, 100, 400, 300)

    @classmethod
    def tearDownClass(cls):
        cls.target.stop()
        cls.other.stop()
        cls.desk.stop()

    def activate(self, app):
        tool(self.desk, "xdotool", "windowactivate", "--sync", str(app.where["xid"]))
        deadline = time.monotonic() + 10
        while act(self.desk, "frontmost")[1].get("pid") != app.pid and time.monotonic() < deadline:
            time.sleep(0.05)

    def quiet(self):
        """Nothing arrived at either window."""
        for app in (self.target, self.other):
            delivered = [r for r in app.drain(settle=0.3) if r["event"] in ("button", "key", "scroll",
                                                                          "shaped")]
            self.assertEqual(delivered, [], app.name)

    def test_another_app_in_front(self):
        self.activate(self.other)
        self.target.drain()
        x, y = self.target.point(100, 100)
        for words in (("click", x, y), ("type", "nope"), ("key", "ctrl+a"),
                      ("scroll", x, y, "down", 3), ("drag", x, y, x + 50, y)):
            status, reply, _ = act(self.desk, *words, pid=self.target.pid)
            self.assertEqual((status, reply), (2, {"ok": False, "error": CHANGED}), words)
        self.quiet()

    def test_another_apps_window_in_front(self):
        # The target stays active while a window of the other app is raised over everything.
        self.activate(self.target)
        tool(self.desk, "xdotool", "windowraise", str(self.other.where["xid"]))
        time.sleep(0.2)
        self.assertEqual(act(self.desk, "frontmost")[1]["pid"], self.target.pid)
        self.target.drain()
        x, y = self.target.point(100, 100)
        for words in (("type", "nope"), ("click", x, y)):
            status, reply, _ = act(self.desk, *words, pid=self.target.pid)
            self.assertEqual((status, reply["error"]),
                             (2, "The window in front is a window of zephrin-other, so nothing "
                                 "was sent. Take a screenshot and try again."))
        self.quiet()

    def test_a_window_over_the_point(self):
        self.activate(self.target)
        x, y = self.target.point(50, 50)
        self.other.ask(f"popup {x - 20} {y - 20} 100 60", "popup")
        self.target.drain()
        status, reply, _ = act(self.desk, "click", x, y, pid=self.target.pid)
        self.assertEqual((status, reply["error"]), (2, "That spot is on a window of zephrin-other, "
                                                       "so nothing was sent. Take a screenshot and "
                                                       "try again."))
        self.quiet()
        # Beside the overlay the same click goes through.
        status, _, _ = act(self.desk, "click", x + 200, y + 200, pid=self.target.pid)
        self.assertEqual(status, 0)
        got = collect(self.target, lambda r: ("release", 1) in buttons(r))
        self.assertEqual(buttons(got), [("press", 1), ("release", 1)])

    def test_a_window_claiming_the_targets_pid(self):
        # _NET_WM_PID is the application's own word: the X server says whose window it is.
        self.activate(self.target)
        x, y = self.target.point(60, 260)
        claimed = self.other.ask(f"popup {x - 20} {y - 20} 100 60", "popup")["xid"]
        tool(self.desk, "xprop", "-id", str(claimed), "-f", "_NET_WM_PID", "32c", "-set",
             "_NET_WM_PID", str(self.target.pid))
        self.target.drain()
        status, reply, _ = act(self.desk, "window-at", x, y)
        self.assertEqual(reply["pid"], self.other.pid)
        status, reply, _ = act(self.desk, "click", x, y, pid=self.target.pid)
        self.assertEqual((status, reply["error"]), (2, "That spot is on a window of zephrin-other, "
                                                       "so nothing was sent. Take a screenshot and "
                                                       "try again."))
        self.quiet()

    def test_input_shapes(self):
        # A window of the other app lies over the target, but takes input only 30 px inside its
        # edges; a second one names 30 px of shadow margins in _GTK_FRAME_EXTENTS.
        self.activate(self.target)
        x, y = self.target.point(250, 40)  # clear of the overlay of test_a_window_over_the_point
        self.other.ask(f"shaped {x} {y} 200 120 30 0", "shaped_shown")
        ex, ey = self.target.point(250, 220)
        self.other.ask(f"shaped {ex} {ey} 200 120 0 30", "shaped_shown")
        self.target.drain()
        for px, py, owner in ((x + 10, y + 10, self.target), (x + 100, y + 60, self.other),
                              (ex + 190, ey + 110, self.target), (ex + 100, ey + 60, self.other)):
            status, reply, _ = act(self.desk, "window-at", px, py)
            self.assertEqual((status, reply["pid"]), (0, owner.pid), (px, py))

        # A press in the margin reaches the target, which is meant.
        status, _, _ = act(self.desk, "click", x + 10, y + 10, pid=self.target.pid)
        self.assertEqual(status, 0)
        got = collect(self.target, lambda r: ("release", 1) in buttons(r))
        self.assertEqual(buttons(got), [("press", 1), ("release", 1)])
        self.assertEqual([r for r in self.other.drain(settle=0.3) if r["event"] == "shaped"], [])
        status, reply, _ = act(self.desk, "click", x + 100, y + 60, pid=self.target.pid)
        self.assertEqual((status, reply["error"]), (2, "That spot is on a window of zephrin-other, "
                                                       "so nothing was sent. Take a screenshot and "
                                                       "try again."))
        self.quiet()

        # For the other app as the target, the margin is the target's window: refused.
        self.activate(self.other)
        status, reply, _ = act(self.desk, "click", x + 10, y + 10, pid=self.other.pid)
        self.assertEqual((status, reply["error"]), (2, "That spot is on a window of "
                                                       "zephrin-target, so nothing was sent. Take a "
                                                       "screenshot and try again."))
        self.quiet()

    def test_the_hosts_own_window(self):
        # The target is in front; the point is on a window of act's parent process.
        self.activate(self.other)
        x, y = self.target.point(100, 100)
        self.target.drain()
        self.target.send(f'spawn ["{ACT}", "click", "{x}", "{y}", "--pid", '
                         f'"{self.other.pid}"]')
        got = self.target.wait("spawned")
        self.assertEqual(got["status"], 2)
        self.assertIn("That spot is on Zephrin's own window, so nothing was sent.", got["stdout"])
        self.quiet()


def owner_of(desk, window):
    """_NET_WM_PID of the window or the first window inside it (xdotool names the frame)."""
    tree = tool(desk, "xwininfo", "-tree", "-id", str(window))
    for w in [str(window)] + [word for word in tree.split() if word.startswith("0x")]:
        said = tool(desk, "xprop", "-id", w, "_NET_WM_PID")
        if "=" in said:
            return int(said.split("=")[1])
    return None


class QueryTest(unittest.TestCase):
    """frontmost and window-at agree with what xprop and xdotool report."""

    def test_front_and_window_at(self):
        with VirtualDesktop() as desk:
            app = TestApp(desk, "zephrin-query", 150, 120, 500, 300)
            try:
                status, reply, _ = act(desk, "trusted")
                self.assertEqual((status, reply), (0, {"ok": True, "trusted": True}))

                active = tool(desk, "xdotool", "getactivewindow")
                pid = int(tool(desk, "xdotool", "getwindowpid", active))
                wm_class = tool(desk, "xprop", "-id", active, "WM_CLASS").split('"')[3]
                status, reply, _ = act(desk, "frontmost")
                self.assertEqual(status, 0)
                self.assertEqual((reply["pid"], reply["name"]), (pid, wm_class))

                x, y = app.point(40, 40)
                tool(desk, "xdotool", "mousemove", "--sync", str(x), str(y))
                shell = dict(line.split("=", 1) for line in
                             tool(desk, "xdotool", "getmouselocation", "--shell").splitlines())
                under = owner_of(desk, shell["WINDOW"])
                status, reply, _ = act(desk, "window-at", x, y)
                self.assertEqual((status, reply["pid"], reply["name"]), (0, under, wm_class))
                self.assertEqual(under, app.pid)

                # The bare desktop: no window.
                status, reply, _ = act(desk, "window-at", 5, 790)
                self.assertEqual((status, reply),
                                 (0, {"ok": True, "pid": -1, "name": "", "bundle_id": ""}))
            finally:
                app.stop()

    def test_a_lost_display_is_answered(self):
        with VirtualDesktop() as desk:
            app = TestApp(desk, "zephrin-query")
            try:
                proc = subprocess.Popen([ACT, "type", "x" * 200, "--pid", str(app.pid)],
                                        env=desk.env, stdout=subprocess.PIPE)
                app.wait("key")
                desk.procs[0].kill()  # the X server
                out, _ = proc.communicate(timeout=10)
                self.assertEqual((proc.returncode, out),
                                 (2, b'{"error":"macOS refused the input event.","ok":false}\n'))
            finally:
                app.stop()


if __name__ == "__main__":
    unittest.main()
