"""What the session benchmarks (bench/wayland, bench/gnome) share: act timed as a whole
command, a recording watcher's CPU, the capture of a kept frame, and the printed table."""
import os
import subprocess
import time


def run_act(act, desk, *words, target):
    """Wall time of one act command in ms; stops the benchmark when act refuses."""
    t = time.perf_counter()
    r = subprocess.run([act, *map(str, words), "--pid", str(target)], env=desk.env,
                       capture_output=True, text=True, timeout=60, **desk.run_as)
    ms = (time.perf_counter() - t) * 1000
    if '"ok":true' not in r.stdout:
        raise SystemExit(f"act {words[0]} failed: {r.stdout}")
    return ms


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle_cpu(watchers, seconds=10):
    """% of one core each recording watcher uses while nothing happens, measured together."""
    before = [cpu_seconds(w.proc.pid) for w in watchers]
    time.sleep(seconds)
    return [(cpu_seconds(w.proc.pid) - b) / seconds * 100 for w, b in zip(watchers, before)]


def frame_ms(w, app, i):
    """From a retitle of the front window (tests/act/testapp.py's "title") to the watcher's
    "frame" line for it: the capture of one kept frame, with the watcher's own wait before it."""
    m = w.mark()
    t0 = time.monotonic()
    app.ask(f"title bench {i}")
    e = w.wait("frame", since=m, window=f"bench {i}", timeout=60)
    return (w.times[w.index(e)] - t0) * 1000


def print_table(rows, names, ratio):
    """rows: (label, baseline figure, other figure); the ratio is other / baseline."""
    base, other = names
    print(f"{'':34s} {base:>12s} {other:>16s}  ratio {ratio}")
    for label, a, b in rows:
        print(f"{label:34s} {a:12.2f} {b:16.2f}  {b / a if a else float('nan'):8.2f}")
