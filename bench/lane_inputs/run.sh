#!/usr/bin/env bash
# Level-change latency of the loop and the button, on the stand-in board library (loaded
# at run time from the test build's folder) and on the simulated board.
#   bench/lane_inputs/run.sh [build dir] [rounds]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
BUILD="$(cd "${1:-$ROOT/build}" && pwd)"
ROUNDS="${2:-40}"
cmake --build "$BUILD" -j3 --target bench_lane_inputs susi_standin >/dev/null
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
export ZUKA_GPIO_DIR="$WORK"
echo "== stand-in board library"
LD_LIBRARY_PATH="$BUILD/tests/susi" "$BUILD/bench/lane_inputs/bench_lane_inputs" "$ROUNDS"
echo "== simulated board"
"$BUILD/bench/lane_inputs/bench_lane_inputs" "$ROUNDS" 2>/dev/null
