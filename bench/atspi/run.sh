#!/bin/sh
# The accessibility backend's figures on a fresh virtual desktop:
#   bench/atspi/run.sh [BUILD_DIR] [ROWS]
# ROWS rows of 20 labels (default 200: about 4,000 labels).
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$(dirname "$here")")
build=${1:-$root/build}
ATSPI_BENCH_APP=$root/tests/atspi/atspiapp.py ATSPI_BENCH_ROWS=${2:-200} \
  exec /usr/bin/python3 "$root/scripts/desktop.py" run -- "$build/bench/atspi/bench_atspi"
