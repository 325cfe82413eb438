#!/usr/bin/python3
"""A virtual X11 desktop: Xvfb, a session D-Bus, openbox and the accessibility bus; or a headless
sway session with the same buses (SwayDesktop).

    scripts/desktop.py run -- COMMAND [ARG...]   run COMMAND on a fresh desktop, then stop it
    scripts/desktop.py env                        (inside run) print the desktop's variables

Used by the demo and the end-to-end tests (import VirtualDesktop). Every process it starts is
stopped by PID and waited for. It also becomes a child subreaper, so daemons that fork (the
accessibility bus) are reaped here rather than left as zombies: PID 1 on our machines does not
reap orphans.
"""
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PR_SET_CHILD_SUBREAPER = 36


def _become_subreaper():
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    except Exception:
        pass


def _wait_for(what, check, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if check():
            return
        time.sleep(0.02)
    raise RuntimeError(f"virtual desktop: {what} did not come up within {timeout:.0f} s")


def _accessibility_bus_owned(env, **kw):
    """Whether the session bus has an accessibility bus launcher. Asked without calling the
    launcher itself: a call would start a second one through the session bus's activation, and
    ours would leave."""
    return b"true" in subprocess.run(
        ["gdbus", "call", "--session", "--dest", "org.freedesktop.DBus", "--object-path",
         "/org/freedesktop/DBus", "--method", "org.freedesktop.DBus.NameHasOwner",
         "org.a11y.Bus"], env=env, capture_output=True, timeout=5, **kw).stdout


def _quiet(cmd, env):
    return subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                          timeout=5).returncode == 0


class VirtualDesktop:
    def __init__(self, width=1280, height=800, log=None):
        self.width, self.height = width, height
        self.procs = []
        self.tmp = tempfile.mkdtemp(prefix="zephrin-desktop-")
        self.log = log or open(os.path.join(self.tmp, "desktop.log"), "wb")
        self.env = dict(os.environ)

    def _spawn(self, cmd, **kw):
        p = subprocess.Popen(cmd, env=self.env, stdout=self.log, stderr=self.log,
                             stdin=subprocess.DEVNULL, **kw)
        self.procs.append(p)
        return p

    def start(self):
        _become_subreaper()
        try:
            self._start()
        except BaseException:
            self.stop()
            raise
        return self

    def _start(self):
        # Xvfb picks a free display and tells us which through a pipe.
        r, w = os.pipe()
        self._spawn(["Xvfb", "-displayfd", str(w), "-screen", "0",
                     f"{self.width}x{self.height}x24", "-nolisten", "tcp", "-noreset"],
                    pass_fds=(w,))
        os.close(w)
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        if not number.strip():
            raise RuntimeError("virtual desktop: Xvfb did not start")
        self.env["DISPLAY"] = ":" + number.decode().strip()
        _wait_for("the X server", lambda: _quiet(["xdpyinfo"], self.env))

        bus = os.path.join(self.tmp, "bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus
        self._spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--address=unix:path=" + bus])
        _wait_for("the session bus", lambda: os.path.exists(bus))

        # Toolkits must not try to start a bus of their own or use a portal.
        self.env.pop("NO_AT_BRIDGE", None)
        self.env["GTK_USE_PORTAL"] = "0"
        self.env["XDG_RUNTIME_DIR"] = self.tmp

        self._spawn(["openbox", "--sm-disable"])
        _wait_for("the window manager", lambda: b"_NET_SUPPORTING_WM_CHECK(WINDOW)" in
                  subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env,
                                 capture_output=True, timeout=5).stdout)

        self._spawn(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
        _wait_for("the accessibility bus", lambda: _accessibility_bus_owned(self.env))

    def stop(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
        for p in reversed(self.procs):
            try:
                p.wait(timeout=5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.procs.clear()
        # Reap whatever the daemons forked (we are their subreaper).
        while True:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if pid == 0:
                time.sleep(0.05)
                try:
                    pid, _ = os.waitpid(-1, os.WNOHANG)
                except ChildProcessError:
                    break
                if pid == 0:
                    break
        shutil.rmtree(self.tmp, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# sway refuses to run as root: as root, the Wayland desktop and everything on it run as this
# unprivileged user, made on first use.
DESK_USER = "zephrin-desk"


def _desk_user():
    import pwd
    if os.geteuid() != 0:
        return None
    try:
        return pwd.getpwnam(DESK_USER)
    except KeyError:
        subprocess.run(["useradd", "--system", "--user-group", "--no-create-home",
                        "--shell", "/usr/sbin/nologin", DESK_USER], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        return pwd.getpwnam(DESK_USER)


def sway_missing():
    """Why this machine can't run the Wayland desktop; None when it can."""
    for tool in ("sway", "dbus-daemon"):
        if not shutil.which(tool):
            return f"{tool} is not installed (scripts/setup installs it)"
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        return "the accessibility bus (at-spi2-core) is not installed"
    return None


class SwayDesktop(VirtualDesktop):
    """A headless sway session: the compositor (its one output WIDTHxHEIGHT), a session D-Bus and
    the accessibility bus, all as an unprivileged user with a private XDG_RUNTIME_DIR. Children
    started with `run_as` (keyword arguments for Popen) run as that user too."""

    def __init__(self, width=1280, height=800, log=None):
        super().__init__(width, height, log)
        user = _desk_user()
        self.run_as = {}
        if user:
            self.run_as = {"user": user.pw_uid, "group": user.pw_gid, "extra_groups": []}
            os.chown(self.tmp, user.pw_uid, user.pw_gid)
        os.chmod(self.tmp, 0o700)
        self.env = {k: v for k, v in os.environ.items()
                    if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SWAYSOCK", "NO_AT_BRIDGE",
                                 "DBUS_SESSION_BUS_ADDRESS", "XAUTHORITY")}
        self.env.update(HOME=self.tmp, XDG_RUNTIME_DIR=self.tmp, GTK_USE_PORTAL="0",
                        GDK_BACKEND="wayland", QT_QPA_PLATFORM="wayland",
                        WLR_BACKENDS="headless", WLR_LIBINPUT_NO_DEVICES="1",
                        WLR_RENDERER="pixman")

    def _spawn(self, cmd, **kw):
        return super()._spawn(cmd, **self.run_as, **kw)

    def own(self, path):
        """Makes a file or folder made here the desktop user's."""
        if self.run_as:
            os.chown(path, self.run_as["user"], self.run_as["group"])

    def swaymsg(self, *args):
        return subprocess.run(["swaymsg", *args], env=self.env, capture_output=True, text=True,
                              timeout=10, **self.run_as)

    def _start(self):
        bus = os.path.join(self.tmp, "bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus
        self._spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--address=unix:path=" + bus])
        _wait_for("the session bus", lambda: os.path.exists(bus))

        config = os.path.join(self.tmp, "sway.conf")
        with open(config, "w") as f:
            f.write(f"output HEADLESS-1 resolution {self.width}x{self.height} position 0 0\n"
                    "xwayland disable\n"
                    "default_border none\n"
                    "default_floating_border none\n"
                    "focus_on_window_activation focus\n")
        self.own(config)
        sway = self._spawn(["sway", "-c", config])

        def up():
            if sway.poll() is not None:
                raise RuntimeError("virtual desktop: sway ended at start (see its log)")
            names = os.listdir(self.tmp)
            sock = [n for n in names if n.startswith("sway-ipc.") and n.endswith(".sock")]
            display = [n for n in names if n.startswith("wayland-") and not n.endswith(".lock")]
            if not sock or not display:
                return False
            self.env["SWAYSOCK"] = os.path.join(self.tmp, sock[0])
            self.env["WAYLAND_DISPLAY"] = display[0]
            return self.swaymsg("-t", "get_outputs").returncode == 0
        _wait_for("sway", up, timeout=30)

        self._spawn(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
        _wait_for("the accessibility bus",
                  lambda: _accessibility_bus_owned(self.env, **self.run_as))


def mutter_missing():
    """Why this machine can't run the GNOME desktop; None when it can."""
    for tool in ("mutter", "pipewire", "wireplumber", "dbus-daemon"):
        if not shutil.which(tool):
            return f"{tool} is not installed (scripts/setup installs it)"
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        return "the accessibility bus (at-spi2-core) is not installed"
    return None


# A headless Mutter's seat has no keyboard, and without one no window ever takes the focus: a
# remote-desktop session held open for the desktop's life stands in for the person's keyboard.
_MUTTER_KEYBOARD = """
import sys
from gi.repository import Gio, GLib
bus = Gio.bus_get_sync(Gio.BusType.SESSION)
rd = "org.gnome.Mutter.RemoteDesktop"
def call(path, iface, method, params=None, reply=None):
    return bus.call_sync(rd, path, iface, method, params,
                         GLib.VariantType(reply) if reply else None, 0, 10000, None)
session = call("/org/gnome/Mutter/RemoteDesktop", rd, "CreateSession", reply="(o)")[0]
call(session, rd + ".Session", "Start")
for down in (True, False):
    call(session, rd + ".Session", "NotifyKeyboardKeysym", GLib.Variant("(ub)", (0xffe1, down)))
print("ready", flush=True)
sys.stdin.read()
"""


class MutterDesktop(SwayDesktop):
    """A headless GNOME compositor (Mutter) with one virtual monitor WIDTHxHEIGHT, PipeWire and its
    session manager for the screen casts, a session D-Bus, the accessibility bus and a keyboard on the seat, as the same
    unprivileged user."""

    def __init__(self, width=1280, height=800, log=None):
        super().__init__(width, height, log)
        for k in ("WLR_BACKENDS", "WLR_LIBINPUT_NO_DEVICES", "WLR_RENDERER"):
            self.env.pop(k, None)
        self.env["XDG_CURRENT_DESKTOP"] = "GNOME"

    def _start(self):
        bus = os.path.join(self.tmp, "bus")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + bus
        self._spawn(["dbus-daemon", "--session", "--nofork", "--nopidfile",
                     "--address=unix:path=" + bus])
        _wait_for("the session bus", lambda: os.path.exists(bus))
        # PipeWire links a reader to a screen cast only through a session manager.
        self._spawn(["pipewire"])
        self._spawn(["wireplumber"])
        mutter = self._spawn(["mutter", "--headless", "--wayland", "--no-x11",
                              "--virtual-monitor", f"{self.width}x{self.height}"])

        def up():
            if mutter.poll() is not None:
                raise RuntimeError("virtual desktop: mutter ended at start (see its log)")
            display = [n for n in os.listdir(self.tmp)
                       if n.startswith("wayland-") and not n.endswith(".lock")]
            if not display:
                return False
            self.env["WAYLAND_DISPLAY"] = display[0]
            return subprocess.run(
                ["gdbus", "call", "--session", "--dest", "org.gnome.Mutter.IdleMonitor",
                 "--object-path", "/org/gnome/Mutter/IdleMonitor/Core", "--method",
                 "org.gnome.Mutter.IdleMonitor.GetIdletime"], env=self.env,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=5,
                **self.run_as).returncode == 0
        _wait_for("mutter", up, timeout=60)
        keyboard = subprocess.Popen(["/usr/bin/python3", "-c", _MUTTER_KEYBOARD], env=self.env,
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=self.log, **self.run_as)
        self.procs.append(keyboard)
        self._keyboard = keyboard
        if keyboard.stdout.readline() != b"ready\n":
            raise RuntimeError("virtual desktop: no keyboard on Mutter's seat (see its log)")

        self._spawn(["/usr/libexec/at-spi-bus-launcher", "--launch-immediately"])
        _wait_for("the accessibility bus",
                  lambda: _accessibility_bus_owned(self.env, **self.run_as))

    def stop(self):
        super().stop()
        keyboard = getattr(self, "_keyboard", None)
        if keyboard:
            keyboard.stdin.close()
            keyboard.stdout.close()


def main(argv):
    if len(argv) >= 3 and argv[1] == "run" and argv[2] == "--":
        cmd = argv[3:]
        if not cmd:
            print("usage: desktop.py run -- COMMAND [ARG...]", file=sys.stderr)
            return 64
        with VirtualDesktop(log=sys.stderr.buffer if os.environ.get("ZEPHRIN_DESKTOP_LOG") else None) as d:
            print(f"virtual desktop up on {d.env['DISPLAY']}", file=sys.stderr)
            child = subprocess.Popen(cmd, env=d.env)
            signal.signal(signal.SIGINT, lambda *_: child.send_signal(signal.SIGINT))
            signal.signal(signal.SIGTERM, lambda *_: child.send_signal(signal.SIGTERM))
            status = child.wait()
        return status if status >= 0 else 128 - status
    print(__doc__, file=sys.stderr)
    return 64


if __name__ == "__main__":
    sys.exit(main(sys.argv))
