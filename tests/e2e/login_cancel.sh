#!/usr/bin/env bash
# With the login switch on, the real program asks for a login before anything else, and ending
# that dialog without logging in (Alt+C on "取消(&C)", or its close box) ends the program with
# status 0 and without the main window ever appearing.
set -u
if [ -z "${DISPLAY:-}" ] || [ -z "${E2E_INNER:-}" ]; then
  E2E_INNER=1 exec xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.bash"
dir=$(make_install "$1" "$2")
pid=
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
sqlite3 "$dir/Data/Data.mdb" "UPDATE Param SET MustLogin=1" || fail "cannot turn the login on"
export LC_ALL=C.UTF-8
MAIN="Orvane美容效果演示1.2"

# run_and_cancel HOW: starts the program, ends its login dialog HOW (keys|closebox) and checks
# that the program ends at once, cleanly, without showing its main window.
run_and_cancel() {
  local how=$1 login i
  "$dir/Belcara" >"$dir/out.log" 2>&1 &
  pid=$!
  login=$(wait_window "用户登录" 15) || fail "$how: the login dialog did not appear"
  window_exists "$MAIN" && fail "$how: the main window is shown behind the login"
  sleep 0.5
  if [ "$how" = keys ]; then press "$login" alt+c; else wm_close "$login"; fi
  for ((i = 0; i < 40 && $(kill -0 "$pid" 2>/dev/null && echo 1 || echo 0); i++)); do
    window_exists "$MAIN" && fail "$how: the main window appeared after the login was cancelled"
    sleep 0.25
  done
  wait_exit "$pid" 1
  pid=
  [ "$EXIT_STATUS" -eq 0 ] || fail "$how: exit status $EXIT_STATUS"
}

run_and_cancel keys
run_and_cancel closebox
echo "2 passed, 0 failed"
