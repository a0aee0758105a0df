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
  libbenchmark-dev libsqlite3-dev time xdotool x11-apps netpbm tzdata
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
# ZUKA_WERROR=ON (scripts/test sets it under CI) makes a compiler warning in the project's own
# code fail the build; OFF lets it pass again.
configure_and_build() {
  configure_build "$@"
  cmake --build "$1" -j "$JOBS"
}

# configure_build <build dir> [cmake args...]: configures a build folder that is not configured yet,
# or whose cache lacks one of the -DNAME=VALUE arguments. A configured build configures itself
# again when a CMakeLists.txt changes; configuring it anyway would only cost time.
configure_build() {
  local dir="$1"; shift
  set -- "$@" ${ZUKA_WERROR:+-DZUKA_WERROR="$ZUKA_WERROR"}
  configured "$dir" "$@" || cmake -S "$ROOT" -B "$dir" "$@" >/dev/null
}

# configured <build dir> [cmake args...]: true when the folder holds a configured build whose
# cache has each -DNAME=VALUE (or -DNAME:TYPE=VALUE) argument's value.
configured() {
  local dir="$1" arg name; shift
  [ -f "$dir/CMakeCache.txt" ] || return 1
  [ -f "$dir/Makefile" ] || [ -f "$dir/build.ninja" ] || return 1
  for arg in "$@"; do
    case "$arg" in -D?*=*) ;; *) return 1 ;; esac
    name="${arg#-D}"
    name="${name%%=*}"
    NAME="${name%%:*}" VALUE="${arg#*=}" awk '
      index($0, ENVIRON["NAME"] ":") == 1 { sub(/^[^=]*=/, ""); found = ($0 == ENVIRON["VALUE"]) }
      END { exit !found }' "$dir/CMakeCache.txt" || return 1
  done
}

# Background processes a script started, stopped together when it ends: at its own end,
# on Ctrl-C, and on a plain `kill <pid of the script>`. Start them with `setsid`, so that
# a Ctrl-C reaches only the script, which then stops them in order.
STARTED_PIDS=()
started() { STARTED_PIDS+=("$1"); }
# Printed once everything is stopped, when set: what a stopped process left in the file
# STOPPED_NOTES to be said last, then the message.
STOPPED_MESSAGE=""
STOPPED_NOTES=""

# Stops the started processes one after the other, the last started first (the terminal
# before the simulated lane, the broker and the display it uses): each is asked to end,
# given up to 5 s and then killed. One that is already gone does not keep the others running.
stop_started() {
  local i pid
  for ((i = ${#STARTED_PIDS[@]} - 1; i >= 0; i--)); do
    pid="${STARTED_PIDS[i]}"
    kill -TERM "$pid" 2>/dev/null || continue
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  STARTED_PIDS=()
  if [ -n "$STOPPED_NOTES" ]; then
    if [ -s "$STOPPED_NOTES" ]; then cat "$STOPPED_NOTES"; fi
    rm -f "$STOPPED_NOTES"
  fi
  if [ -n "$STOPPED_MESSAGE" ]; then echo "$STOPPED_MESSAGE"; fi
}
trap stop_started EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Starts Xvfb when there is no display; sets DISPLAY, and XVFB_DISPLAY when it started one.
XVFB_DISPLAY=""
ensure_display() {
  if [ -z "${DISPLAY:-}" ]; then
    local n=99
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    setsid Xvfb ":$n" -screen 0 1024x600x24 -nolisten tcp >/dev/null 2>&1 &
    started $!
    export DISPLAY=":$n"
    XVFB_DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
}

# A TCP port that is free on the loopback address right now.
free_port() {
  /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# True when something accepts connections on the loopback port.
port_taken() { nc -z 127.0.0.1 "$1" 2>/dev/null; }

# True when a listener could take the port on every address now (as the broker and the
# terminal bind it: an old connection's TIME_WAIT does not count).
port_free() {
  /usr/bin/python3 - "$1" <<'PY' 2>/dev/null
import socket, sys
port = int(sys.argv[1])
try:
    s = socket.socket(socket.AF_INET6)
    s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    address = ("::", port)
except OSError:
    s = socket.socket()
    address = ("0.0.0.0", port)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(address)
s.listen(1)
PY
}

# choose_port <what> <variable> <default>: the port named by the variable when it is set
# (it must be free: else the script stops and says so), else the default when it is free,
# else a free one (said on screen).
choose_port() {
  local what="$1" var="$2" default="$3" port
  port="${!var:-}"
  if [ -n "$port" ]; then
    if ! port_free "$port"; then
      echo "Port $port ($var, $what) is already in use; choose another $var." >&2
      return 1
    fi
  else
    port="$default"
    if ! port_free "$port"; then
      port="$(free_port)"
      echo "Port $default ($what) is already in use; using port $port instead ($var to choose one)." >&2
    fi
  fi
  echo "$port"
}
