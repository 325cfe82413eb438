#!/usr/bin/python3
"""How long "stop" takes while something the watcher depends on hangs, on one virtual desktop.

    bench/watch/stop_latency.py [--watch PATH] [--against PATH] [--cap SECONDS]

Each case starts a recording watcher, lets the fault hold for 6 s (more than one idle check),
then sends "stop" and times it until the process has ended:
  quiet        nothing hangs: the baseline the others are compared with
  server grab  another client holds XGrabServer
  hung bus     the session bus is stopped (SIGSTOP) before the watcher starts
  a11y gone    the accessibility bus is killed and its launcher stopped
With --against, another build of watch runs the same cases in the same run. A watcher that has
not ended after --cap seconds (default 30) is killed and reported as "never".
"""
import argparse
import os
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests"))
from watchdesk import PYTHON, Desk, Watch  # noqa: E402

GRABBER = """
import ctypes, sys
xlib = ctypes.CDLL("libX11.so.6")
xlib.XOpenDisplay.restype = ctypes.c_void_p
dpy = ctypes.c_void_p(xlib.XOpenDisplay(None))
xlib.XGrabServer(dpy)
xlib.XSync(dpy, 0)
print("grabbed", flush=True)
sys.stdin.readline()
"""


def children_of(pid):
    out = []
    for p in os.listdir("/proc"):
        if p.isdigit():
            try:
                with open(f"/proc/{p}/stat") as f:
                    if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                        out.append(int(p))
            except (OSError, IndexError, ValueError):
                pass
    return out


def stop_time(w, cap):
    started = time.monotonic()
    w.send(cmd="stop")
    try:
        w.proc.wait(timeout=cap)
        return time.monotonic() - started
    except subprocess.TimeoutExpired:
        for p in [w.proc]:
            os.kill(p.pid, signal.SIGKILL)
            p.wait()
        return None


def run_case(case, binary, cap):
    with Desk() as desk:
        env = dict(desk.env)
        undo = []
        bus = None
        if case == "hung bus":
            sock = os.path.join(desk.tmp, "private_bus")
            bus = subprocess.Popen(["dbus-daemon", "--session", "--address=unix:path=" + sock,
                                    "--nofork", "--nopidfile"], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
            while not os.path.exists(sock):
                time.sleep(0.02)
            env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + sock
            os.kill(bus.pid, signal.SIGSTOP)
            undo.append(lambda: (os.kill(bus.pid, signal.SIGCONT), bus.kill(), bus.wait()))
        app = desk.gtk("Bench")
        w = Watch(env, binary=binary, log_dir=desk.tmp)
        try:
            w.send(cmd="config", frames=False)
            if case == "server grab":
                g = subprocess.Popen([PYTHON, "-c", GRABBER], env=desk.env, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE)
                g.stdout.readline()
                undo.append(lambda: (g.stdin.close(), g.wait()))
            if case == "a11y gone":
                launcher = desk.vd.procs[-1]
                daemons = children_of(launcher.pid)
                os.kill(launcher.pid, signal.SIGSTOP)
                for pid in daemons:
                    os.kill(pid, signal.SIGKILL)
                undo.append(lambda: (os.kill(launcher.pid, signal.SIGCONT)))
                for _ in range(3):  # the person switches windows meanwhile
                    desk.xdotool("key", "super")
            time.sleep(6)
            return stop_time(w, cap)
        finally:
            for u in reversed(undo):
                u()
            if w.proc.poll() is None:
                w.proc.kill()
                w.proc.wait()
            app.stop()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--watch", default=os.path.join(ROOT, "build", "watch", "watch"))
    p.add_argument("--against")
    p.add_argument("--cap", type=float, default=30)
    args = p.parse_args()
    builds = [("watch", args.watch)] + ([("against", args.against)] if args.against else [])
    cases = ["quiet", "server grab", "hung bus", "a11y gone"]
    print("stop latency: \"stop\" to process end (ratio to the quiet case of the same build)")
    for name, binary in builds:
        times = {c: run_case(c, binary, args.cap) for c in cases}
        base = times["quiet"] or 1e-9
        cells = []
        for c in cases:
            t = times[c]
            cells.append(f"{c}: " + (f"never (>{args.cap:g} s)" if t is None
                                     else f"{t * 1000:.0f} ms (x{t / base:.1f})"))
        print(f"  {name:8s} {binary}\n           " + "; ".join(cells))


if __name__ == "__main__":
    main()
