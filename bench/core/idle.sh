#!/usr/bin/env bash
# CPU time and peak memory of a paused watcher left alone, on a virtual desktop, against `cat`
# idling on its standard input over the same time in the same run.
#   bench/core/idle.sh [seconds] [watch binary]        (default 60 s, build/watch/watch)
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
secs=${1:-60}
watch=${2:-$root/build/watch/watch}
exec "$root/scripts/desktop.py" run -- bash -c '
  secs=$1; watch=$2
  measure() { # pid -> "cpu_ns peak_rss_kb"   (schedstat counts CPU time in nanoseconds)
    echo "$(awk "{print \$1}" /proc/$1/schedstat) $(awk "/VmHWM/ {print \$2}" /proc/$1/status)"
  }
  exec 3< <(sleep $((secs + 5)))
  "$watch" <&3 >/dev/null & w=$!
  cat <&3 >/dev/null & c=$!
  sleep 1; w0=$(measure $w); c0=$(measure $c)
  sleep "$secs"
  w1=$(measure $w); c1=$(measure $c)
  kill $w $c; wait $w $c 2>/dev/null || true
  read wc0 _ <<<"$w0"; read wc1 wrss <<<"$w1"; read cc0 _ <<<"$c0"; read cc1 crss <<<"$c1"
  awk -v s="$secs" -v wc="$(( wc1 - wc0 ))" -v cc="$(( cc1 - cc0 ))" -v hz=1000000000 \
      -v wr="$wrss" -v cr="$crss" "BEGIN {
    wc /= hz; cc /= hz
    printf \"idle for %d s (paused)\n\", s
    printf \"watch: %.6f CPU s = %.4f %% of one core, peak RSS %.1f MB\n\", wc, wc / s * 100, wr / 1024
    printf \"cat:   %.6f CPU s = %.4f %% of one core, peak RSS %.1f MB\n\", cc, cc / s * 100, cr / 1024
    printf \"ratio of peak RSS watch / cat: %.1f\n\", wr / cr
  }"
' idle "$secs" "$watch"
