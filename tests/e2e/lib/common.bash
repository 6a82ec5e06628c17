# Shared steps of the end-to-end tests: a throw-away installation and waiting for windows.
# Sourced by the tests, which run inside xvfb-run.

# The real program shows real windows on the Xvfb display, whatever the caller set.
export QT_QPA_PLATFORM=xcb

E2E_LIB=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

fail() { echo "FAIL: $*" >&2; exit 1; }

# make_install BELCARA MKDB -> prints the folder
make_install() {
  local dir
  dir=$(mktemp -d /tmp/belcara-e2e.XXXXXX)
  cp "$1" "$dir/Belcara"
  mkdir -p "$dir/pic"
  if [ -n "${2:-}" ]; then "$2" "$dir/Data/Data.mdb" || fail "cannot make the database"; fi
  echo "$dir"
}

# wait_window TITLE [SECONDS] -> prints the first window id whose name is exactly TITLE
wait_window() {
  local title=$1 limit=${2:-20} i wid
  for ((i = 0; i < limit * 4; i++)); do
    wid=$(xdotool search --onlyvisible --name "^${title}\$" 2>/dev/null | head -n 1)
    if [ -n "$wid" ]; then echo "$wid"; return 0; fi
    sleep 0.25
  done
  # What was on the screen instead, for the failure's report.
  echo "no window \"$title\" after ${limit} s; visible: $(xdotool search --onlyvisible --name . 2>/dev/null |
    while read -r w; do printf '[%s] ' "$(xdotool getwindowname "$w" 2>/dev/null)"; done)" >&2
  return 1
}

# window_exists TITLE
window_exists() { xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; }

# press WINDOW KEYS...: gives the window the keyboard and types the keys
press() {
  local wid=$1; shift
  xdotool windowfocus --sync "$wid" 2>/dev/null || xdotool windowfocus "$wid"
  sleep 0.3
  # Real key presses (XTEST) to the focused window; Qt ignores keys sent as synthetic events.
  xdotool key --clearmodifiers "$@"
}

wm_close() { /usr/bin/python3 "$E2E_LIB/wm_close.py" "$1"; }

# wait_exit PID SECONDS -> sets EXIT_STATUS; fails when the process is still running
wait_exit() {
  local pid=$1 limit=$2 i
  for ((i = 0; i < limit * 4; i++)); do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"; EXIT_STATUS=$?; return 0
    fi
    sleep 0.25
  done
  kill -9 "$pid" 2>/dev/null
  fail "the program did not end within $limit s"
}
