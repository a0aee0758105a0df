#!/usr/bin/env bash
# Start-up to a running event loop, measured with /usr/bin/time -v: wall time (median of
# the runs) and peak memory (largest of the runs) of the terminal program and of a bare
# Qt Quick window, and their ratio.
#   bench/startup/run.sh [build dir] [runs]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
RUNS="${2:-7}"
cmake --build "$BUILD" -j3 --target zuka-startup-probe qt-startup-baseline >/dev/null

export QT_QPA_PLATFORM=offscreen QT_QUICK_BACKEND=software
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
export XDG_RUNTIME_DIR="$WORK"
PROBE="$BUILD/bench/startup/zuka-startup-probe"
BASE="$BUILD/bench/startup/qt-startup-baseline"

# measure <program> [args...] -> "wall_seconds peak_kib"
measure() {
  local walls=() peak=0
  for _ in $(seq "$RUNS"); do
    (cd "$WORK" && /usr/bin/time -v -o "$WORK/time.txt" "$@" >/dev/null 2>&1)
    local wall rss
    wall=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, p, ":"); s = 0;
             for (i = 1; i <= n; i++) s = s * 60 + p[i]; print s }' "$WORK/time.txt")
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt")
    walls+=("$wall")
    [ "$rss" -gt "$peak" ] && peak=$rss
  done
  local median
  median=$(printf '%s\n' "${walls[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  echo "$median $peak"
}

# First start creates the configuration file; the measured starts find it in place.
(cd "$WORK" && "$PROBE" -f gui.conf >/dev/null 2>&1)

read -r zw zm < <(measure "$PROBE" -f gui.conf)
read -r bw bm < <(measure "$BASE")
printf 'startup/zuka-terminal-ui  wall %.3f s  peak %d KiB\n' "$zw" "$zm"
printf 'startup/baseline (bare Qt Quick window)  wall %.3f s  peak %d KiB\n' "$bw" "$bm"
awk -v zw="$zw" -v bw="$bw" -v zm="$zm" -v bm="$bm" \
  'BEGIN { printf "ratio to baseline: wall %.2f, peak memory %.2f\n", (bw > 0 ? zw / bw : 0), zm / bm }'
