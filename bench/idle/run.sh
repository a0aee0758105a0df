#!/usr/bin/env bash
# Idle cost of the whole terminal under scripts/run (every simulated peer up, no passage):
# CPU share of one core over 60 s and resident memory sampled once a minute, read from
# /proc, beside the broker of the same run as the baseline of an idle process.
#   bench/idle/run.sh [minutes of memory samples, default 10]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
. "$ROOT/scripts/common.sh"
MINUTES="${1:-10}"
WORK="$(mktemp -d)"
HZ="$(getconf CLK_TCK)"

mqtt_port="$(free_port)"
camera_port="$(free_port)"
: >"$WORK/run.out"
MQTT_PORT="$mqtt_port" CAMERA_PORT="$camera_port" RUN_DIR="$WORK" JOBS="${JOBS:-3}" \
  "$ROOT/scripts/run" >"$WORK/run.out" 2>&1 &
RUN_PID=$!
trap 'kill $RUN_PID 2>/dev/null; wait $RUN_PID 2>/dev/null; rm -rf "$WORK"' EXIT

app=""
for _ in $(seq 600); do
  app="$(sed -n 's/^Terminal running (pid \([0-9]*\)).*/\1/p' "$WORK/run.out")"
  [ -n "$app" ] && break
  kill -0 $RUN_PID 2>/dev/null || { cat "$WORK/run.out" >&2; exit 1; }
  sleep 1
done
[ -n "$app" ] || { echo "the terminal did not start" >&2; exit 1; }
port="$(sed -n 's/.*broker on 127.0.0.1:\([0-9]*\).*/\1/p' "$WORK/run.out")"
broker="$(pgrep -f "mosquitto -c $WORK/mosquitto.conf" | head -1)"
# Up: its status document is on the broker.
mosquitto_sub -h 127.0.0.1 -p "$port" -t vexo/ui/status -C 1 -W 60 >/dev/null

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$1/status"; }

a0=$(ticks "$app"); b0=$(ticks "$broker")
sleep 60
a1=$(ticks "$app"); b1=$(ticks "$broker")
echo "counts: CPU time (user and system, all threads, from /proc/PID/stat) over one window of 60 s, no repetitions"
awk -v a=$((a1 - a0)) -v b=$((b1 - b0)) -v hz="$HZ" 'BEGIN {
  printf "idle/cpu zuka-terminal-ui  %.2f %% of a core over 60 s\n", 100 * a / hz / 60
  printf "idle/cpu baseline (mosquitto of the same run)  %.2f %% of a core\n", 100 * b / hz / 60
  if (b > 0) printf "idle/cpu ratio to the broker  %.1f\n", a / b }'

echo "counts: resident memory (VmRSS) sampled once a minute"
first=$(rss "$app"); firstb=$(rss "$broker")
for m in $(seq "$MINUTES"); do
  sleep 60
  echo "idle/rss minute $m: zuka-terminal-ui $(rss "$app") KiB, mosquitto $(rss "$broker") KiB"
done
last=$(rss "$app"); lastb=$(rss "$broker")
echo "idle/rss zuka-terminal-ui  $first -> $last KiB over $MINUTES min (growth $((last - first)) KiB)"
echo "idle/rss baseline (mosquitto)  $firstb -> $lastb KiB (growth $((lastb - firstb)) KiB)"
