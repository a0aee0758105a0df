#!/usr/bin/env bash
# Start-up to the first frame of the window: wall time (median of the runs, from the
# shell's clock) and peak memory (largest of the runs, from /usr/bin/time -v) of the
# terminal program and of a bare Qt Quick window, their ratio, and where the terminal's
# time goes (the probe's phases, median of the runs).
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

# measure <program> [args...] -> "wall_seconds peak_kib"; the probe's phase lines go to
# $WORK/phases.txt
measure() {
  local walls=() peak=0
  : >"$WORK/phases.txt"
  for _ in $(seq "$RUNS"); do
    local start=$EPOCHREALTIME
    (cd "$WORK" && /usr/bin/time -v -o "$WORK/time.txt" "$@" >"$WORK/out.txt" 2>/dev/null)
    local end=$EPOCHREALTIME
    grep '^startup/phase' "$WORK/out.txt" >>"$WORK/phases.txt" || true
    local rss
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt")
    walls+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')")
    [ "$rss" -gt "$peak" ] && peak=$rss
  done
  local median
  median=$(printf '%s\n' "${walls[@]}" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }')
  echo "$median $peak"
}

# First start creates the configuration file; the measured starts find it in place.
(cd "$WORK" && "$PROBE" -f gui.conf >/dev/null 2>&1)

read -r zw zm < <(measure "$PROBE" -f gui.conf)
cp "$WORK/phases.txt" "$WORK/probe-phases.txt"
read -r bw bm < <(measure "$BASE")
printf 'startup/zuka-terminal-ui  wall %.3f s  peak %d KiB\n' "$zw" "$zm"
printf 'startup/baseline (bare Qt Quick window)  wall %.3f s  peak %d KiB\n' "$bw" "$bm"
awk -v zw="$zw" -v bw="$bw" -v zm="$zm" -v bm="$bm" \
  'BEGIN { printf "ratio to baseline: wall %.2f, peak memory %.2f\n", (bw > 0 ? zw / bw : 0), zm / bm }'
# The probe's phases, median of the runs each.
awk '{ name = $2; for (i = 3; i < NF - 1; i++) name = name " " $i; v[name] = v[name] " " $(NF - 1);
       if (!(name in seen)) { seen[name] = 1; order[++n] = name } }
     END { for (i = 1; i <= n; i++) { c = split(substr(v[order[i]], 2), a, " ");
             for (j = 1; j <= c; j++) for (k = j + 1; k <= c; k++) if (a[k] < a[j]) { t = a[j]; a[j] = a[k]; a[k] = t }
             printf "  phase %-20s %6.1f ms\n", order[i], a[int((c + 1) / 2)] } }' "$WORK/probe-phases.txt"
