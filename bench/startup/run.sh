#!/usr/bin/env bash
# Start-up to the first frame of the window: the time from launch to the first frame
# (the program prints the moment of its first frame) and the peak memory (from
# /usr/bin/time -v) of the terminal program and of a bare Qt Quick window, started in turn,
# each as min / median / max of the runs; their ratio (of the median times, of the largest
# memories), and where the terminal's time goes (the probe's phases, median of the runs each).
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

median() { sort -g | awk '{ v[NR] = $1 } END { print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'; }
# spread <printf format of a value>: "min / median / max" of the numbers on standard input.
spread() {
  sort -g | awk -v f="$1" '{ v[NR] = $1 }
    END { printf f " / " f " / " f, v[1], (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2, v[NR] }'
}

# once <program> [args...] -> "seconds_to_first_frame peak_kib"; the program's phase lines
# are added to $WORK/phases-<name>.txt
once() {
  local start=$EPOCHREALTIME name
  name=$(basename "$1")
  (cd "$WORK" && /usr/bin/time -v -o "$WORK/time.txt" "$@" >"$WORK/out.txt" 2>/dev/null)
  local frame rss
  frame=$(awk '/^startup\/first-frame/ { print $2 }' "$WORK/out.txt")
  [ -n "$frame" ] || { echo "no first frame from $1" >&2; exit 1; }
  grep '^startup/phase' "$WORK/out.txt" >>"$WORK/phases-$name.txt" || true
  rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$WORK/time.txt")
  echo "$(awk -v a="$start" -v b="$frame" 'BEGIN { printf "%.4f", b - a }') $rss"
}

# First start creates the configuration file; the measured starts find it in place. Its
# camera listener takes a port of the system's choosing (0), not the default 8000 that a
# running lane may hold.
printf '[cameras]\nserverPort=0\n' >"$WORK/gui.conf"
(cd "$WORK" && "$PROBE" -f gui.conf >/dev/null 2>&1)

# The two programs take turns, so that a change in the machine's load meets both alike.
: >"$WORK/probe.txt"
: >"$WORK/base.txt"
for _ in $(seq "$RUNS"); do
  once "$PROBE" -f gui.conf >>"$WORK/probe.txt"
  once "$BASE" >>"$WORK/base.txt"
done
zw=$(awk '{ print $1 }' "$WORK/probe.txt" | median)
zm=$(awk '{ print $2 }' "$WORK/probe.txt" | sort -n | tail -1)
bw=$(awk '{ print $1 }' "$WORK/base.txt" | median)
bm=$(awk '{ print $2 }' "$WORK/base.txt" | sort -n | tail -1)
cp "$WORK/phases-$(basename "$PROBE").txt" "$WORK/probe-phases.txt"
echo "counts: wall time from launch to the first frame, peak resident memory; min / median / max of $RUNS starts"
for f in probe base; do
  [ $f = probe ] && name="startup/zuka-terminal-ui" || name="startup/baseline (bare Qt Quick window)"
  echo "$name  first frame $(awk '{ print $1 }' "$WORK/$f.txt" | spread %.3f) s" \
       " peak $(awk '{ print $2 }' "$WORK/$f.txt" | spread %d) KiB"
done
awk -v zw="$zw" -v bw="$bw" -v zm="$zm" -v bm="$bm" \
  'BEGIN { printf "ratio to baseline: time %.2f (of the medians), peak memory %.2f (of the largest)\n", (bw > 0 ? zw / bw : 0), zm / bm }'
# The terminal's phases (from the start of main), median of the runs each.
awk '{ name = $2; for (i = 3; i < NF - 1; i++) name = name " " $i; print name "\t" $(NF - 1) }' \
    "$WORK/probe-phases.txt" >"$WORK/phase-values.txt"
cut -f1 "$WORK/phase-values.txt" | awk '!seen[$0]++' | while IFS= read -r phase; do
  printf '  phase %-20s %6.1f ms\n' "$phase" \
    "$(awk -F'\t' -v p="$phase" '$1 == p { print $2 }' "$WORK/phase-values.txt" | median)"
done
