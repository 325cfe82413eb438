#!/usr/bin/python3
"""act against xdotool on one virtual desktop, in the same run, with a GTK window as the target.

    bench/act/act_bench.py [click|type|busy|all] [--runs N] [--act PATH] [--against PATH]

click: wall time of `act click X Y --pid P` against `xdotool mousemove X Y click 1`, runs
       alternating, median of N (default 30). act's overhead is its time beyond its own 60 ms of
       pauses; it is compared with xdotool's whole time, and with xdotool's time without the
       100 ms it sleeps after a click (`click --delay 0 1`, also measured).
       With --against, another build of act (say, an earlier commit's) runs in the same rounds,
       and the ratio of the two medians is printed (for type too).
type:  a 200-character mixed ASCII and Unicode text typed by `act type` and by `xdotool type`,
       alternating, median of N (default 5): milliseconds per character, and whether every
       character arrived as sent.
busy:  50 mixed characters typed into the target while it reads nothing for 1 s (its main
       thread sleeps), by act (and --against) and by `xdotool type` as the baseline, median of N
       (default 5): how many characters arrived right, and how often act answered ok with the
       text wrong (a failure reported as success).
"""
import argparse
import os
import statistics
import subprocess
import sys
import time
import unicodedata

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "act"))

from actdesk import TestApp, VirtualDesktop  # noqa: E402

CLICK_PAUSES_MS = 60  # the move's 30 ms and the click's 30 ms


def mixed_text(length=200):
    """A fixed text of `length` user-perceived characters: ASCII words and punctuation mixed with
    accented Latin, Greek, Cyrillic, CJK, symbols, a combining sequence and emoji."""
    pieces = ["Hello", " ", "wörld", ", ", "ça", " ", "va", "? ", "Καλημέρα", " ", "мир", " ",
              "日本語", " ", "✓", "→", " ", "e\u0301", " ", "😀", "👍🏽", " ", "#42", "!", " ",
              "naïve", " ", "Straße", "; ", "€5", " ", "(ok)", " "]
    out, count = [], 0
    while count < length:
        for piece in pieces:
            for ch in _clusters(piece):
                if count == length:
                    break
                out.append(ch)
                count += 1
    return "".join(out)


def _clusters(s):
    """Rough grapheme clusters, enough for the fixed text above: a base with following combining
    marks, variation selectors and emoji modifiers."""
    out = []
    for ch in s:
        if out and (unicodedata.combining(ch) or 0x1F3FB <= ord(ch) <= 0x1F3FF or ch == "\ufe0f"):
            out[-1] += ch
        else:
            out.append(ch)
    return out


def timed(desk, argv):
    t = time.perf_counter()
    out = subprocess.run(argv, env=desk.env, capture_output=True, text=True)
    return (time.perf_counter() - t) * 1000, out


def bench_click(desk, app, act, runs, against=None):
    x, y = app.point(200, 150)
    commands = {
        "act": [act, "click", str(x), str(y), "--pid", str(app.pid)],
        **({"against": [against, "click", str(x), str(y), "--pid", str(app.pid)]}
           if against else {}),
        "xdotool": ["xdotool", "mousemove", str(x), str(y), "click", "1"],
        # xdotool sleeps its click delay (100 ms by default) after the click; without it:
        "xdotool0": ["xdotool", "mousemove", str(x), str(y), "click", "--delay", "0", "1"],
    }
    times = {name: [] for name in commands}
    for i in range(runs + 1):  # the first round warms up
        for name, argv in commands.items():
            ms, out = timed(desk, argv)
            if out.returncode != 0:
                raise SystemExit(f"{name} failed: {out.stdout} {out.stderr}")
            if i:
                times[name].append(ms)
            time.sleep(0.45)  # two clicks at one spot inside the double-click time are one double
    med = {name: statistics.median(v) for name, v in times.items()}
    overhead = med["act"] - CLICK_PAUSES_MS
    print(f"click, median of {runs} runs each, alternating")
    for name, label in (("act", "act click X Y --pid P"),
                        ("xdotool", "xdotool mousemove X Y click 1"),
                        ("xdotool0", "xdotool ... click --delay 0 1")):
        v = times[name]
        print(f"  {label:32s} {med[name]:7.2f} ms  (min {min(v):.2f}, max {max(v):.2f})")
    print(f"  act beyond its 60 ms of pauses:  {overhead:7.2f} ms")
    print(f"  ratio to xdotool click 1:        {overhead / med['xdotool']:7.3f}"
          f"   difference {overhead - med['xdotool']:+.2f} ms")
    print(f"  ratio to xdotool without delay:  {overhead / med['xdotool0']:7.3f}"
          f"   difference {overhead - med['xdotool0']:+.2f} ms  (goal: at most +5 ms)")
    if against:
        print(f"  act --against {against}: {med['against']:7.2f} ms; ratio act / against "
              f"{med['act'] / med['against']:.3f}, beyond the pauses "
              f"{overhead / (med['against'] - CLICK_PAUSES_MS):.3f}")


def bench_type(desk, app, act, runs, against=None):
    text = mixed_text()
    chars = len(_clusters(text))
    commands = {"act type": [act, "type", text, "--pid", str(app.pid)],
                "xdotool type": ["xdotool", "type", "--", text]}
    if against:
        commands["against type"] = [against, "type", text, "--pid", str(app.pid)]
    results = {name: ([], 0) for name in commands}
    for i in range(runs):
        for name, argv in commands.items():
            app.ask('set ""', "set")
            ms, out = timed(desk, argv)
            time.sleep(0.3)
            got = app.ask("text")["text"]
            times, exact = results[name]
            times.append(ms)
            results[name] = (times, exact + (got == text))
            if got != text and i == 0:
                wrong = sum(1 for a, b in zip(got, text) if a != b) + abs(len(got) - len(text))
                print(f"  {name}: {wrong} characters differ in run 1", file=sys.stderr)
    print(f"type, {chars} characters ({len(text.encode('utf-16-le')) // 2} UTF-16 units), "
          f"median of {runs} runs each, alternating")
    base = statistics.median(results["xdotool type"][0]) / chars
    for name, (times, exact) in results.items():
        per = statistics.median(times) / chars
        print(f"  {name:13s} {per:6.2f} ms per character, exact in {exact} of {runs} runs"
              f"  (ratio to xdotool {per / base:.2f})")
    print("  goal for act: at most 12 ms per character (8 ms are its pause), every character right")


def right(got, text):
    """How many of the text's characters arrived, in order."""
    import difflib
    want, have = _clusters(text), _clusters(got)
    return sum(b.size for b in difflib.SequenceMatcher(None, want, have,
                                                       autojunk=False).get_matching_blocks())


def bench_busy(desk, app, act, runs, against=None, busy=1.0):
    text = mixed_text(50)
    chars = len(_clusters(text))
    commands = {"act type": [act, "type", text, "--pid", str(app.pid)],
                "xdotool type": ["xdotool", "type", "--", text]}
    if against:
        commands["against type"] = [against, "type", text, "--pid", str(app.pid)]
    results = {name: {"right": [], "ok": 0, "ok_wrong": 0, "ms": []} for name in commands}
    for _ in range(runs):
        for name, argv in commands.items():
            app.ask('set ""', "set")
            app.ask(f"busy {busy}")
            ms, out = timed(desk, argv)
            deadline = time.monotonic() + 5  # until the app has caught up and its text rests
            got, last = None, app.ask("text")["text"]
            while got != last and time.monotonic() < deadline:
                time.sleep(0.2)
                got, last = last, app.ask("text")["text"]
            r = results[name]
            r["right"].append(right(last, text))
            r["ms"].append(ms)
            ok = out.returncode == 0 and '"ok":true' in out.stdout
            r["ok"] += ok
            r["ok_wrong"] += ok and last != text
    print(f"type into a target busy for {busy:g} s: {chars} characters, median of {runs} runs "
          f"each, alternating")
    base = statistics.median(results["xdotool type"]["right"])
    for name, r in results.items():
        med = statistics.median(r["right"])
        said = ("" if name.startswith("xdotool") else
                f"; answered ok {r['ok']} of {runs}, ok with the text wrong {r['ok_wrong']} of {runs}")
        print(f"  {name:13s} {med:4.0f} of {chars} right (ratio to xdotool {med / max(base, 1):.2f})"
              f", {statistics.median(r['ms']):6.0f} ms{said}")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("what", nargs="?", default="all", choices=["click", "type", "busy", "all"])
    p.add_argument("--runs", type=int)
    p.add_argument("--act", default=os.path.join(ROOT, "build", "act", "act"))
    p.add_argument("--against", help="another act binary to compare in the same rounds")
    args = p.parse_args()
    with VirtualDesktop() as desk:
        app = TestApp(desk, "zephrin-bench")
        try:
            if args.what in ("click", "all"):
                bench_click(desk, app, args.act, args.runs or 30, args.against)
            if args.what in ("type", "all"):
                bench_type(desk, app, args.act, args.runs or 5, args.against)
            if args.what in ("busy", "all"):
                bench_busy(desk, app, args.act, args.runs or 5, args.against)
        finally:
            app.stop()


if __name__ == "__main__":
    main()
