# Shared by scripts/setup, scripts/test and scripts/run.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$ROOT/build}"
JOBS="${JOBS:-$(nproc)}"

PACKAGES=(
  build-essential cmake pkg-config git
  qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev qml-module-qtquick2 qml-module-qtquick-window2
  qml-module-qtquick-controls2 qml-module-qtquick-layouts libqt5serialbus5-dev libqt5svg5-dev
  libqt5sql5-sqlite qttools5-dev qttools5-dev-tools libmosquitto-dev mosquitto mosquitto-clients
  libqrcodegencpp-dev fonts-dejavu-core
  xvfb xauth sqlite3 openssl curl netcat-openbsd python3 python3-paho-mqtt librsvg2-bin zbar-tools
  libbenchmark-dev time xdotool
  qml-module-qtgraphicaleffects qml-module-qtquick-extras qml-module-qtquick-controls qml-module-qtqml-models2
  qml-module-qtquick-virtualkeyboard
  clang libfuzzer-14-dev
)

install_packages() {
  local missing=()
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
  fi
}

# configure_and_build <build dir> [cmake args...]
configure_and_build() {
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}

# Background processes a script started, stopped together when it ends: at its own end,
# on Ctrl-C, and on a plain `kill <pid of the script>`.
STARTED_PIDS=()
started() { STARTED_PIDS+=("$1"); }

# Asks each started process to end (the last started first), gives each up to 5 s and
# then kills what is left. One that is already gone does not keep the others running.
stop_started() {
  local i pid
  for ((i = ${#STARTED_PIDS[@]} - 1; i >= 0; i--)); do
    kill -TERM "${STARTED_PIDS[i]}" 2>/dev/null || true
  done
  for pid in "${STARTED_PIDS[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
  done
  STARTED_PIDS=()
}
trap stop_started EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Starts Xvfb when there is no display; sets DISPLAY.
ensure_display() {
  if [ -z "${DISPLAY:-}" ]; then
    local n=99
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x600x24 -nolisten tcp >/dev/null 2>&1 &
    started $!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
}

# A TCP port that is free on the loopback address right now.
free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# True when something accepts connections on the loopback port.
port_taken() { nc -z 127.0.0.1 "$1" 2>/dev/null; }
