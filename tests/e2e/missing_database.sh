#!/usr/bin/env bash
# Without Data/Data.mdb the program shows the database's error in the error box and, after OK,
# ends by itself: no hang, no crash, no database made.
set -u
if [ -z "${DISPLAY:-}" ] || [ -z "${E2E_INNER:-}" ]; then
  E2E_INNER=1 exec xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.bash"
dir=$(make_install "$1" "")
trap 'rm -rf "$dir"' EXIT
export LC_ALL=C.UTF-8
"$dir/Belcara" >"$dir/out.log" 2>&1 &
pid=$!

box=$(wait_window "Orvane美容管理软件1.2" 30) || fail "no error box appeared"
window_exists "Orvane美容效果演示1.2" && fail "the main window opened without a database"
press "$box" Return
wait_exit "$pid" 15
[ "$EXIT_STATUS" -eq 1 ] || fail "exit status $EXIT_STATUS (expected 1: start-up failed)"
[ -e "$dir/Data/Data.mdb" ] && fail "a database was created"
echo "1 passed, 0 failed"
