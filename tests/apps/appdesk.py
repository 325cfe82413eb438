"""Shared steps of the compatibility suite: one real application on its own virtual desktop,
the watcher recording it, and the checks every application goes through.

Each app's script subclasses AppCase and says how to start the app (and, where it differs, what
a person does in it). The README's table "what works with which app" is the list of checks: one
marked ✓ for the app must pass; the others are still run and reported, so a toolkit that starts
working shows up as "unexpectedly works" in the output.
"""
import os
import re
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
from watchdesk import PYTHON, ROOT, Desk, Proc  # noqa: E402

README = os.path.join(ROOT, "README.md")

# 100 marker words among 300 ordinary ones, ten paragraphs of forty words.
MARKERS = [f"zq{chr(97 + i // 26)}{chr(97 + i % 26)}mark" for i in range(100)]
FILLER = ("the quick brown fox jumps over a lazy dog while people read the page "
          "and nobody minds the words that fill each line").split()


def paragraphs():
    out, f = [], 0
    for p in range(10):
        words = []
        for i in range(10):
            words.append(MARKERS[p * 10 + i])
            for _ in range(3):
                words.append(FILLER[f % len(FILLER)])
                f += 1
        out.append(" ".join(words))
    return out


def write_document(folder, name):
    """A document of the markers: .txt (one paragraph a line) or .html."""
    path = os.path.join(folder, name)
    with open(path, "w") as f:
        if name.endswith(".html"):
            f.write("<!doctype html><html><head><title>Marker page</title>"
                    "<style>body{font:11px sans-serif;margin:4px}p{margin:2px}</style></head>"
                    "<body contenteditable><h1>Marker page</h1>"
                    + "".join(f"<p>{p.split(' ', 5)[0]} <a href='#'>{MARKERS[i]}x</a> "
                              f"{p.split(' ', 1)[1]}</p>" for i, p in enumerate(paragraphs()))
                    + "</body></html>")
        else:
            f.write("\n".join(paragraphs()) + "\n")
    return path


def markers_in(text):
    words = set(re.findall(r"zq[a-z]{2}mark", text))
    return sum(1 for m in MARKERS if m in words)


def readme_table():
    """{app: set of checks marked ✓} from the README's table."""
    rows = {}
    with open(README) as f:
        lines = f.read().split("\n")
    start = next(i for i, l in enumerate(lines) if l.startswith("| App |"))
    head = [c.strip() for c in lines[start].strip("|").split("|")]
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        cells = [c.strip() for c in line.strip("|").split("|")]
        rows[cells[0]] = {head[i] for i in range(1, len(head)) if cells[i] == "✓"}
    return rows


def answers(env, pid, timeout=10):
    """Whether the app's accessibility root answers within timeout (its main loop runs); None
    for an app that isn't on the accessibility bus."""
    probe = ("import gi,sys\ngi.require_version('Atspi','2.0')\n"
             "from gi.repository import Atspi\nd=Atspi.get_desktop(0)\n"
             "for i in range(d.get_child_count()):\n a=d.get_child_at_index(i)\n"
             " if a and a.get_process_id()==int(sys.argv[1]):\n"
             "  print('on'); a.get_child_count(); print('up'); break\n")
    try:
        r = subprocess.run([PYTHON, "-c", probe, str(pid)], env=env, capture_output=True,
                           text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return False
    if "on" not in r.stdout:
        return None
    return "up" in r.stdout


class App:
    """A started application: its process (stopped by PID with the desk) and its X window."""

    def __init__(self, desk, argv, env=None, window_name=".", timeout=120):
        self.desk = desk
        # A home of the desk's own: apps write their settings and first-run state there.
        home = os.path.join(desk.tmp, "home")
        os.makedirs(home, exist_ok=True)
        env = dict(env or desk.env, HOME=home, XDG_CONFIG_HOME=os.path.join(home, ".config"),
                   XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                   XDG_CACHE_HOME=os.path.join(home, ".cache"))
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                     stdout=desk.log, stderr=desk.log, start_new_session=True)
        desk.children.append(self)
        deadline = time.monotonic() + timeout
        self.xid = None
        while time.monotonic() < deadline and self.xid is None:
            ids = desk.xdotool("search", "--onlyvisible", "--name", window_name).split()
            for i in ids:
                pid = desk.xdotool("getwindowpid", i)
                if pid.isdigit() and self._ours(int(pid)):
                    self.xid, self.pid = int(i), int(pid)
            time.sleep(0.2)
        if self.xid is None:
            raise AssertionError(f"{argv[0]}: no window named {window_name!r} in {timeout} s")

    def _ours(self, pid):
        # Launchers (LibreOffice's) hand over to a child: any process of our session counts.
        try:
            return os.getsid(pid) == self.proc.pid
        except OSError:
            return False

    def alive(self):
        try:
            os.kill(self.pid, 0)
        except OSError:
            return False
        return self.proc.poll() is None or self.pid != self.proc.pid

    def geometry(self):
        out = self.desk.xdotool("getwindowgeometry", "--shell", self.xid)
        g = dict(l.split("=") for l in out.split() if "=" in l)
        return int(g["X"]), int(g["Y"]), int(g["WIDTH"]), int(g["HEIGHT"])

    def stop(self):
        # The app's whole session: its launcher and whatever it started.
        for sig in (15, 9):
            try:
                os.killpg(self.proc.pid, sig)
            except OSError:
                pass
            try:
                self.proc.wait(timeout=10)
                break
            except subprocess.TimeoutExpired:
                continue
        if self.pid != self.proc.pid:
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                try:
                    os.kill(self.pid, 0)
                except OSError:
                    break
                time.sleep(0.1)


def firefox(desk, url, window_name):
    """Firefox ESR on a fresh profile with accessibility on, showing url."""
    profile = os.path.join(desk.tmp, "firefox-profile")
    os.mkdir(profile)
    with open(os.path.join(profile, "user.js"), "w") as f:
        for pref in ('"browser.shell.checkDefaultBrowser", false',
                     '"browser.startup.homepage_override.mstone", "ignore"',
                     '"datareporting.policy.dataSubmissionEnabled", false',
                     '"app.update.enabled", false', '"browser.aboutwelcome.enabled", false',
                     '"accessibility.force_disabled", 0'):
            f.write(f"user_pref({pref});\n")
    env = dict(desk.env, GNOME_ACCESSIBILITY="1", MOZ_DISABLE_CONTENT_SANDBOX="1")
    return App(desk, ["firefox-esr", "--no-remote", "--new-instance", "--profile", profile, url],
               env=env, window_name=window_name, timeout=180)


class AppCase(unittest.TestCase):
    """One application, one desktop, one recording: `steps` runs the person's part, each check
    records what it found in self.found."""
    NAME = None      # the README's row
    TEXT_WAIT = 40   # seconds for the document's words to be read

    @classmethod
    def setUpClass(cls):
        if cls.NAME is None:
            raise unittest.SkipTest("the shared steps alone")
        cls.desk = Desk().start()
        cls.docs = os.path.join(cls.desk.tmp, "docs")
        os.mkdir(cls.docs)
        cls.WORKS = readme_table()[cls.NAME]
        cls.found = {}
        cls.failed = []
        try:
            cls.w = cls.desk.recording()
        except BaseException:
            cls.desk.stop()
            raise

    @classmethod
    def tearDownClass(cls):
        status = cls.w.stop()
        if os.environ.get("APPS_EVENTS"):
            import json
            with open(os.environ["APPS_EVENTS"], "w") as f:
                f.write("\n".join(json.dumps(e)[:400] for e in cls.w.events))
        if cls.failed or os.environ.get("APPS_VERBOSE"):
            print("\nwatch's standard error, last lines:\n" +
                  "\n".join(cls.w.stderr().splitlines()[-40:]), file=sys.stderr)
        cls.desk.stop()
        assert status == 0, status
        print(f"\n{cls.NAME}:\n" + "\n".join(f"  {k:7} {v}" for k, v in sorted(cls.found.items())),
              file=sys.stderr)

    def check(self, name, ok, detail=""):
        """Notes a check's outcome; those that must pass are asserted at the end, together."""
        self.found[name] = ("ok " if ok else "NO ") + str(detail)
        if name in self.WORKS and not ok:
            self.failed.append(f"{name}: {detail}")
        elif ok and name not in self.WORKS:
            print(f"{self.NAME}: {name} unexpectedly works {detail}", file=sys.stderr)

    def events(self, kind, since=0, **fields):
        return [e for e in self.w.since(since, kind, **fields) if e.get("app") == self.app_name]

    def wait_for(self, kind, since, timeout=20, pred=lambda e: True):
        """The first event of the app that matches, or None after timeout (never fails)."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for e in self.w.since(since, kind):
                if pred(e):
                    return e
            time.sleep(0.1)
        return None

    # The common scenario; apps fill in start() and the person's steps.
    def start(self):
        raise NotImplementedError

    def test_app(self):
        m = self.w.mark()
        self.app = self.start()
        self.desk.activate(window=self.app.xid, timeout=60)
        got = self.wait_for("app", m, 60, lambda e: True)
        self.app_name = got["app"] if got else None
        self.check("app", got is not None and got["app"] != "", str(got and got["app"]))
        self.scenario(m)
        time.sleep(0.5)
        # An app off the bus (xterm) counts as answering while it runs.
        self.check("alive", self.app.alive() and answers(self.desk.env, self.app.pid) != False)
        self.assertEqual(self.failed, [])

    def scenario(self, m):
        w = self.wait_for("window", m, 30, lambda e: e.get("window"))
        self.check("window", w is not None, repr(w and w["window"]))
        self.page_check(m)
        self.text_check(m)
        self.person(m)
        f = self.wait_for("frame", m, 30, lambda e: e.get("app") == self.app_name)
        self.check("frames", f is not None, f and f.get("why", ""))

    def page_check(self, m):
        p = self.wait_for("page", m, 15, lambda e: e.get("url"))
        self.check("page", p is not None, repr(p and p["url"]))

    def text_check(self, m):
        best, last = 0, None
        deadline = time.monotonic() + self.TEXT_WAIT
        while time.monotonic() < deadline and best < 90:
            for e in self.w.since(m, "text"):
                last = e
                best = max(best, markers_in(e["text"]))
            time.sleep(0.2)
        self.check("text", best >= 90, f"{best}/100 markers" + (
            f"; last of {len(self.w.since(m, 'text'))}: partial {last['partial']}, "
            f"{last['text'][:300]!r}, outline {last['outline']}" if last else ""))

    # What the person clicks: the document (a point in the window, as fractions of its size), a
    # labelled control (AT-SPI role names, a name expression, the role it is described with)
    # and a context-menu item.
    DOC_AT = (0.5, 0.6)
    MENU_AT = None  # where the context menu is asked for; DOC_AT when None
    BUTTON = (("push button", "toggle button"), r"\w.*", "AXButton")
    ITEM = r"\s*Select [Aa]ll\s*"
    TYPED = "hello typed words"

    def person(self, m):
        env, pid = self.desk.env, self.app.pid
        x, y, w, h = self.app.geometry()
        dx, dy = x + int(w * self.DOC_AT[0]), y + int(h * self.DOC_AT[1])

        m = self.w.mark()
        button = find(env, pid, *self.BUTTON[:2], origin=(x, y))
        click = None
        if button:
            self.desk.click(button["x"], button["y"])
            click = self.wait_for("click", m, 10, lambda e: e.get("app") == self.app_name)
            self.desk.key("Escape")
        described = click and click["element"]
        self.check("click", bool(described) and described.get("role") == self.BUTTON[2] and
                   described.get("label") == button["name"],
                   f"{button and button['name']!r} as {described}")

        # Back into the document. It may have had the focus all along (a menu bar takes none):
        # any focus of the app counts.
        self.desk.click(dx, dy)
        focus = self.wait_for("focus", 0, 10, lambda e: e.get("app") == self.app_name and
                              e["element"].get("role"))
        self.check("focus", focus is not None, focus and focus["element"].get("role", ""))

        m = self.w.mark()
        self.desk.type(self.TYPED)
        keys = self.wait_for("keys", m, 15, lambda e: e.get("app") == self.app_name)
        self.check("keys", keys is not None and keys["count"] >= len(self.TYPED),
                   keys and str(keys["count"]))
        value = self.wait_for("value", m, 10, lambda e: "typed" in e.get("value", ""))
        self.check("value", value is not None, repr(value and value["value"][-40:]))

        m = self.w.mark()
        mx, my = self.MENU_AT or self.DOC_AT
        self.desk.click(x + int(w * mx), y + int(h * my), button=3)
        # A menu may still be filling (Firefox adds items as it opens): asked until it holds still.
        item, was = None, {}
        time.sleep(1)
        for _ in range(10):
            item = find(env, pid, ("menu item", "check menu item"), self.ITEM, origin=(x, y),
                        timeout=10)
            if item == was:
                break
            was = item
            time.sleep(0.3)
        chosen = click = None
        if item:
            # As a person does: onto the item, then the press (the item's highlight is what
            # tells the press inside a popup menu).
            self.desk.move(item["x"], item["y"])
            time.sleep(0.3)
            self.desk.click(item["x"], item["y"])
            chosen = self.wait_for("menu", m, 10, lambda e: e.get("app") == self.app_name)
            click = self.wait_for("click", m, 5, lambda e: (e["x"], e["y"]) ==
                                  (item["x"], item["y"]))
        else:
            self.desk.key("Escape")
        label = item and item["name"].strip()
        self.check("menu", bool(chosen and click) and chosen["element"]["label"] == label and
                   click["element"].get("role") == "AXMenuItem" and
                   click["element"].get("label") == label,
                   f"{item and item['name']!r}: {chosen and chosen['element']}, "
                   f"click {click and click['element']}")

        if not chosen:
            self.desk.key("Escape")
            time.sleep(0.5)
        m = self.w.mark()
        self.desk.key("ctrl+a")
        self.desk.key("ctrl+c")
        copy = self.wait_for("copy", m, 10, lambda e: e.get("app") == self.app_name)
        self.check("copy", copy is not None, copy and str(copy.get("has_text")))


_FIND = r"""
import gi, json, re, sys
gi.require_version('Atspi', '2.0')
from gi.repository import Atspi
pid, roles, name = int(sys.argv[1]), sys.argv[2].split(','), re.compile(sys.argv[3])
origin = tuple(map(int, sys.argv[4].split(',')))
S = Atspi.StateType
def walk(o, depth, seen):
    if depth > 40 or seen[0] > 20000:
        return None
    seen[0] += 1
    try:
        states = o.get_state_set()
        # GTK 4 tells "showing" of nothing but its frames, and answers window coordinates.
        if o.get_role_name() in roles and name.fullmatch(o.get_name() or '') and \
                states.contains(S.SHOWING if showing_told else S.VISIBLE):
            e = o.get_extents(Atspi.CoordType.SCREEN)
            w = o.get_extents(Atspi.CoordType.WINDOW)
            if e.width > 0 and e.height > 0 and e.x > -10000 and e.y > -10000:
                x, y = e.x + e.width // 2, e.y + e.height // 2
                if (e.x, e.y) == (w.x, w.y):
                    x, y = x + origin[0], y + origin[1]
                return {'x': x, 'y': y, 'name': o.get_name()}
        for i in range(o.get_child_count()):
            c = o.get_child_at_index(i)
            if c is not None:
                got = walk(c, depth + 1, seen)
                if got:
                    return got
    except Exception:
        pass
    return None
d = Atspi.get_desktop(0)
for i in range(d.get_child_count()):
    a = d.get_child_at_index(i)
    if a is not None and a.get_process_id() == pid:
        showing_told = not (a.get_toolkit_name().lower() == 'gtk' and
                            a.get_toolkit_version().startswith('4.'))
        got = walk(a, 0, [0])
        if got:
            print(json.dumps(got))
            break
"""


def find(env, pid, roles, name, origin=(0, 0), timeout=20):
    """The centre of the first showing object of the app with one of the AT-SPI role names and a
    name matching the expression, asked of the bus as a separate client; None when there is none
    within timeout. origin: the window's, for toolkits that answer window coordinates."""
    import json
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            r = subprocess.run([PYTHON, "-c", _FIND, str(pid), ",".join(roles), name,
                                "%d,%d" % origin], env=env,
                               capture_output=True, text=True, timeout=30)
            if r.stdout.strip():
                return json.loads(r.stdout)
        except subprocess.TimeoutExpired:
            pass
        time.sleep(0.5)
    return None
