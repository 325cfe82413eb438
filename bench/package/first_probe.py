#!/usr/bin/python3
"""Install to first probe: unpacking the Debian package (dpkg -x) into a fresh folder and the
first `watch --probe` from there, against `watch --probe` from the build tree, round by round in
the same run. Also the package's size.

    bench/package/first_probe.py [--deb PATH] [--rounds N] [--build DIR]

Without --deb the package is built from the build tree first (cpack, as scripts/package does).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
ENV = {k: v for k, v in os.environ.items() if k != "DISPLAY"}


def timed(argv):
    start = time.perf_counter()
    subprocess.run(argv, check=True, stdout=subprocess.DEVNULL, env=ENV)
    return time.perf_counter() - start


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--deb")
    ap.add_argument("--rounds", type=int, default=20)
    ap.add_argument("--build", default=os.path.join(ROOT, "build"))
    args = ap.parse_args()
    scratch = tempfile.mkdtemp(prefix="zephrin-first-probe-")
    try:
        deb = args.deb
        if not deb:
            out = os.path.join(scratch, "out")
            r = subprocess.run(["cpack", "--config", os.path.join(args.build, "CPackConfig.cmake"),
                                "-B", out], capture_output=True, text=True)
            if r.returncode != 0:
                raise SystemExit(r.stdout + r.stderr)
            deb = next(os.path.join(out, f) for f in os.listdir(out) if f.endswith(".deb"))
        installed = subprocess.run(["dpkg-deb", "--field", deb, "Installed-Size"], check=True,
                                   capture_output=True, text=True).stdout.strip()
        print(f"package: {os.path.basename(deb)} {os.path.getsize(deb)} bytes "
              f"({os.path.getsize(deb) / 1024:.0f} KiB), installed {installed} KiB")

        baseline, unpack, probe, total = [], [], [], []
        build_watch = os.path.join(args.build, "watch", "watch")
        for n in range(args.rounds):
            baseline.append(timed([build_watch, "--probe"]))
            root = os.path.join(scratch, f"root{n}")
            start = time.perf_counter()
            unpack.append(timed(["dpkg", "-x", deb, root]))
            probe.append(timed([os.path.join(root, "usr/libexec/zephrin/watch"), "--probe"]))
            total.append(time.perf_counter() - start)
            shutil.rmtree(root)

        def ms(values):
            return f"{statistics.median(values) * 1000:7.1f} ms median, " \
                   f"{max(values) * 1000:7.1f} ms worst"
        print(f"rounds: {args.rounds}")
        print(f"baseline  watch --probe (build tree):  {ms(baseline)}")
        print(f"dpkg -x into a fresh folder:           {ms(unpack)}")
        print(f"first watch --probe (unpacked):        {ms(probe)}")
        print(f"install to first probe:                {ms(total)}")
        print(f"install to first probe / baseline probe: "
              f"{statistics.median(total) / statistics.median(baseline):.1f}x; "
              f"unpacked probe / baseline probe: "
              f"{statistics.median(probe) / statistics.median(baseline):.2f}x")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
