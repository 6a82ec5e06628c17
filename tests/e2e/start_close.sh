#!/usr/bin/env bash
# The real program from a fresh installation: it comes up, the close box asks "退出本软件吗？",
# Enter answers No and keeps it running, Yes ends it with status 0.
set -u
if [ -z "${DISPLAY:-}" ] || [ -z "${E2E_INNER:-}" ]; then
  E2E_INNER=1 exec xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.bash"
dir=$(make_install "$1" "$2")
trap 'rm -rf "$dir"' EXIT
export LC_ALL=C.UTF-8
"$dir/Belcara" >"$dir/out.log" 2>&1 &
pid=$!

main=$(wait_window "Orvane美容效果演示1.2" 30) || fail "the main window did not appear"
wm_close "$main"
box=$(wait_window "提示" 10) || fail "closing did not ask"
press "$box" Return
sleep 1
kill -0 "$pid" 2>/dev/null || fail "Enter (No) ended the program"
window_exists "提示" && fail "the question stayed open after Enter"

wm_close "$main"
box=$(wait_window "提示" 10) || fail "closing did not ask the second time"
press "$box" y
wait_exit "$pid" 15
[ "$EXIT_STATUS" -eq 0 ] || fail "exit status $EXIT_STATUS"
echo "1 passed, 0 failed"
