#!/bin/sh
# The accessibility backend's figures on a fresh virtual desktop:
#   bench/atspi/run.sh [BUILD_DIR] [ROWS] [PAGE_ROWS]
# ROWS rows of 20 labels in a GTK3 window (default 200: about 4,000 labels); then a Chromium page
# of PAGE_ROWS rows of about 9 elements each (default 280: about 2,500; 0 leaves it out).
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$(dirname "$here")")
build=${1:-$root/build}
ATSPI_BENCH_APP=$root/tests/atspi/atspiapp.py ATSPI_BENCH_ROWS=${2:-200} \
  ATSPI_BENCH_PAGE_ROWS=${3:-280} ATSPI_BENCH_BROWSER=$root/tests/atspi/browser.py \
  ATSPI_BENCH_PAGES=$root/tests/atspi/pages \
  exec /usr/bin/python3 "$root/scripts/desktop.py" run -- "$build/bench/atspi/bench_atspi"
