"""`watch` recording for a long while across three applications with frames on, while a person
types, clicks, switches, copies and scrolls: no line lost or malformed, memory flat after the
first minute, and nothing written but 0600 frame files in the frames directory.

ZEPHRIN_SOAK_SECONDS sets the length of the activity (default 120; by hand, 600);
ZEPHRIN_SOAK_LOG names a file for the watcher's whole output. The CPU and
memory of the watcher are printed against an idle watcher and the applications, measured in the
same run (bench/soak/run)."""
import ctypes
import json
import os
import select
import stat
import struct
import sys
import tempfile
import threading
import time
import unittest

ROOT = os.environ.get("ZEPHRIN_ROOT", os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests"))
import watchdesk  # noqa: E402
from demo_session import center  # noqa: E402  (scripts/, on the path through watchdesk)

SECONDS = float(os.environ.get("ZEPHRIN_SOAK_SECONDS", "120"))
WARM_UP = 60.0  # memory is expected to grow while caches and the image module settle
TICK = os.sysconf("SC_CLK_TCK")
MB = 1024 * 1024

PAGE = """<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Soak page</title></head>
<body style="font: 16px sans-serif; margin: 0">
<div style="position: fixed; top: 0; left: 0; right: 0; height: 80px; background: #eee">
<label style="position: absolute; left: 20px; top: 24px">Note <input id="note"></label>
<button style="position: absolute; left: 320px; top: 20px; width: 100px; height: 36px"
  onclick="document.title = 'Soak page ' + document.getElementById('note').value">Keep</button>
</div>
<div style="padding-top: 100px">%s</div>
</body></html>
""" % "\n".join(f"<p>Paragraph {i} of a long page that the person scrolls through.</p>"
                for i in range(400))


class WriteWatch:
    """Every file closed after writing, anywhere on the mounts of /, /tmp and /dev/shm, by the
    processes in `pids` (fanotify; needs CAP_SYS_ADMIN). `available` is false without it."""

    def __init__(self):
        self.pids = set()
        self.paths = []
        self.overflow = False
        libc = ctypes.CDLL(None, use_errno=True)
        libc.fanotify_mark.argtypes = [ctypes.c_int, ctypes.c_uint, ctypes.c_uint64,
                                       ctypes.c_int, ctypes.c_char_p]
        # FAN_CLOEXEC | FAN_UNLIMITED_QUEUE; events: FAN_CLOSE_WRITE; FAN_MARK_ADD | FAN_MARK_MOUNT
        self.fd = libc.fanotify_init(0x1 | 0x10, os.O_RDONLY | os.O_LARGEFILE)
        self.available = self.fd >= 0
        if not self.available:
            return
        for mount in ("/", "/tmp", "/dev/shm"):
            if os.path.isdir(mount):
                libc.fanotify_mark(self.fd, 0x1 | 0x10, 0x8, -100, mount.encode())
        self.stopping = False
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        while not self.stopping:
            if not select.select([self.fd], [], [], 0.2)[0]:
                continue
            buf = os.read(self.fd, 1 << 16)
            off = 0
            while off + 24 <= len(buf):
                length, _, _, _, mask, fd, pid = struct.unpack_from("IBBHQii", buf, off)
                off += length
                if mask & 0x4000:  # FAN_Q_OVERFLOW
                    self.overflow = True
                if fd < 0:
                    continue
                try:
                    if pid in self.pids:
                        self.paths.append(os.readlink(f"/proc/self/fd/{fd}"))
                finally:
                    os.close(fd)

    def close(self):
        if self.available:
            time.sleep(0.5)
            self.stopping = True
            self.thread.join()
            os.close(self.fd)


def cpu_seconds(pid):
    """User and system time of a process, all its threads, living or gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except (OSError, IndexError):
        return 0.0


def tree_cpu_seconds(root):
    """CPU of a process and every descendant alive now."""
    parents = {}
    for pid in os.listdir("/proc"):
        if pid.isdigit():
            try:
                with open(f"/proc/{pid}/stat") as f:
                    parents[int(pid)] = int(f.read().rsplit(")", 1)[1].split()[1])
            except (OSError, IndexError):
                pass
    tree, grew = {root}, True
    while grew:
        more = {p for p, pp in parents.items() if pp in tree} - tree
        grew = bool(more)
        tree |= more
    return sum(cpu_seconds(p) for p in tree)


def status(pid, field):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def slope_per_minute(samples):
    """Least-squares slope of (seconds, bytes) samples, in bytes per minute."""
    n = len(samples)
    mx = sum(t for t, _ in samples) / n
    my = sum(v for _, v in samples) / n
    var = sum((t - mx) ** 2 for t, _ in samples)
    return 60 * sum((t - mx) * (v - my) for t, v in samples) / var if var else 0.0


def files_under(folder):
    return sorted(os.path.relpath(os.path.join(d, n), folder)
                  for d, dirs, names in os.walk(folder) for n in dirs + names)


class Soak(unittest.TestCase):
    def test_recording_for_a_long_while(self):
        with watchdesk.Desk() as desk:
            os.environ.update(desk.env)  # our accessibility client finds places in the page
            base = tempfile.mkdtemp(prefix="soak-", dir=desk.tmp)
            home, tmp, cwd, frames = (os.path.join(base, d) for d in
                                      ("home", "tmp", "cwd", "frames"))
            for d in (home, tmp, cwd, frames):
                os.mkdir(d, 0o700)
            env = {k: v for k, v in desk.env.items()
                   if k not in ("XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME",
                                "XDG_STATE_HOME")}
            env.update(HOME=home, TMPDIR=tmp)

            pages = desk.serve()
            pages.page("soak.html", PAGE)
            browser = desk.browser(pages.url("soak.html"))
            apps = [desk.gtk("Ledger", "Quarterly ledger"), desk.gtk("Notes", "Shopping notes")]
            browser_win = self.page_window(desk)
            note = center(browser.pid, "entry", "Note")
            keep = center(browser.pid, "push button", "Keep")

            writes = WriteWatch()
            here = os.getcwd()
            os.chdir(cwd)
            try:
                watch = watchdesk.Watch(env, log_dir=desk.tmp)
                idle = watchdesk.Watch(env, log_dir=desk.tmp)  # the baseline: never configured
            finally:
                os.chdir(here)
            desk.watches += [watch, idle]
            writes.pids |= {watch.proc.pid, idle.proc.pid}
            watch.wait("probe")
            idle.wait("probe")
            watch.send(cmd="config", frames_dir=frames, frames=True)
            watch.wait("resumed")

            done = {"keys": 0, "clicks": 0, "shortcuts": 0, "copies": [], "scrolls": 0}
            start = time.monotonic()
            cpu0 = {"watch": cpu_seconds(watch.proc.pid), "idle": cpu_seconds(idle.proc.pid),
                    "apps": sum(cpu_seconds(a.pid) for a in apps) + tree_cpu_seconds(browser.pid)}
            rss = []
            sampling = threading.Event()

            def sample():
                while not sampling.wait(2.0):
                    rss.append((time.monotonic() - start, status(watch.proc.pid, "VmRSS")))

            sampler = threading.Thread(target=sample)
            sampler.start()
            n = 0
            try:
                while time.monotonic() - start < SECONDS:
                    n += 1
                    word = f"note{n} "
                    if n % 3 == 0:
                        desk.activate(window=browser_win)
                        field, button, list_at = note, keep, (640, 500)
                    else:
                        app = apps[n % 3 - 1]
                        desk.activate(window=app.xid)
                        field, button = app.where("name"), app.where("rename")
                        list_at = app.where("list")
                    time.sleep(0.3)
                    desk.click(*field)
                    desk.key("ctrl+a")
                    desk.type(word, delay=40)
                    desk.key("ctrl+a")
                    time.sleep(0.2)
                    desk.key("ctrl+c")
                    done["clicks"] += 1
                    done["shortcuts"] += 3
                    done["keys"] += len(word)
                    done["copies"].append(word)
                    time.sleep(0.8)
                    desk.click(*button)
                    done["clicks"] += 1
                    time.sleep(0.5)
                    desk.scroll(*list_at, down=n % 2 == 1, times=4)
                    done["scrolls"] += 1
                    time.sleep(2.5)  # one scroll per burst: the next comes after its report
                time.sleep(6)  # the last keys are reported at an idle check
                active = time.monotonic() - start
                cpu1 = {"watch": cpu_seconds(watch.proc.pid), "idle": cpu_seconds(idle.proc.pid),
                        "apps": sum(cpu_seconds(a.pid) for a in apps)
                        + tree_cpu_seconds(browser.pid)}
                peak = {"watch": status(watch.proc.pid, "VmHWM"),
                        "idle": status(idle.proc.pid, "VmHWM"),
                        "idle_rss": status(idle.proc.pid, "VmRSS")}
                with open(f"/proc/{watch.proc.pid}/maps") as f:
                    peak["images"] = "zephrin-images.so" in f.read()
            finally:
                sampling.set()
                sampler.join()
            self.assertEqual(watch.stop(), 0)
            self.assertEqual(idle.stop(), 0)
            writes.close()

            if os.environ.get("ZEPHRIN_SOAK_LOG"):
                with open(os.environ["ZEPHRIN_SOAK_LOG"], "wb") as f:
                    f.write(watch.raw)
            self.report(active, cpu0, cpu1, peak, rss, len(watch.events))
            self.check_stream(watch, done)
            self.check_memory(rss)
            self.check_files(watch, writes, frames, (home, tmp, cwd))

    def page_window(self, desk, timeout=60):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = desk.xdotool("search", "--onlyvisible", "--name", "^Soak page").split()
            if found:
                return int(found[0])
            time.sleep(0.2)
        self.fail("the page did not load")

    def report(self, active, cpu0, cpu1, peak, rss, lines):
        pct = {k: (cpu1[k] - cpu0[k]) / active * 100 for k in cpu0}
        late = [v for t, v in rss if t >= WARM_UP]
        print(f"\nsoak: {active:.0f} s of activity, {lines} lines")
        print(f"CPU, % of one core: watch {pct['watch']:.2f} (goal <= 2); idle watch "
              f"{pct['idle']:.2f}; the applications (2 GTK, Chromium) {pct['apps']:.1f}; "
              f"watch / applications {pct['watch'] / max(pct['apps'], 1e-9):.3f}")
        print(f"RSS: watch peak {peak['watch'] / MB:.1f} MB (goal <= 60, image module "
              f"{'loaded' if peak['images'] else 'NOT loaded'}), after the first minute "
              f"{min(late, default=0) / MB:.1f}-{max(late, default=0) / MB:.1f} MB, trend "
              f"{slope_per_minute([s for s in rss if s[0] >= WARM_UP] or [(0, 0)]) / MB:+.2f} "
              f"MB/min; idle watch {peak['idle_rss'] / MB:.1f} MB (peak {peak['idle'] / MB:.1f});"
              f" watch / idle {peak['watch'] / max(peak['idle'], 1):.1f}", flush=True)

    def check_stream(self, watch, done):
        self.assertEqual(watch.bad, [], "lines that are not JSON")
        events = watch.events
        for e in events:
            self.assertIsInstance(e.get("kind"), str, e)
            self.assertIsInstance(e.get("t"), int, e)
        kinds = [e["kind"] for e in events]
        self.assertEqual(kinds[:3], ["probe", "configured", "resumed"])
        self.assertEqual(kinds[-2:], ["restored", "stopped"])
        backwards = [(a, b) for a, b in zip(events, events[1:]) if b["t"] < a["t"]]
        self.assertEqual(backwards, [], "time runs backwards")
        for kind in ("app", "window", "page", "focus", "value", "text", "keys", "key_shortcut",
                     "click", "copy", "scroll", "frame"):
            self.assertIn(kind, kinds)
        # Nothing the person did is lost.
        story = "\n".join(f"{e['t']} {e['kind']} {e.get('app', '')} {e.get('window', '')} "
                          f"{e.get('why', '')} {(e.get('element') or {}).get('label', '')}"
                          for e in events if e["kind"] in ("app", "window", "private", "click"))
        self.assertEqual(sum(e["count"] for e in events if e["kind"] == "keys"), done["keys"])
        self.assertEqual(kinds.count("key_shortcut"), done["shortcuts"])
        self.assertEqual(kinds.count("click"), done["clicks"], story)
        copied = [e.get("text") for e in events if e["kind"] == "copy"]
        self.assertEqual(copied, done["copies"])
        self.assertTrue(0 < kinds.count("scroll") <= done["scrolls"])

    def check_memory(self, rss):
        late = [s for s in rss if s[0] >= WARM_UP]
        if len(late) < 10:
            return
        # Generous: a leak shows as a steady climb; allocator noise and the frames in flight
        # come and go.
        rise = slope_per_minute(late) * (late[-1][0] - late[0][0]) / 60
        self.assertLess(rise, 6 * MB, f"RSS grows by {rise / MB:.1f} MB over the last "
                        f"{late[-1][0] - late[0][0]:.0f} s: {[v // MB for _, v in late]}")

    def check_files(self, watch, writes, frames, fresh):
        kept = {os.path.basename(e["path"]) for e in watch.events if e["kind"] == "frame"}
        names = set(os.listdir(frames))
        self.assertEqual(names, kept, "files in the frames directory that no frame names")
        for name in names:
            st = os.lstat(os.path.join(frames, name))
            self.assertTrue(stat.S_ISREG(st.st_mode), name)
            self.assertEqual(stat.S_IMODE(st.st_mode), 0o600, name)
        for folder in fresh:
            self.assertEqual(files_under(folder), [], f"written in {folder}")
        if not writes.available:
            print("soak: fanotify unavailable (needs CAP_SYS_ADMIN): writes outside HOME, "
                  "TMPDIR and the working directory were not watched")
            return
        self.assertFalse(writes.overflow)
        outside = [p for p in writes.paths if os.path.dirname(p) != frames]
        self.assertEqual(outside, [], "files written outside the frames directory")
        self.assertTrue(writes.paths, "no write seen at all: the write watch is blind")


if __name__ == "__main__":
    unittest.main()
