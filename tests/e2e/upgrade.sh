#!/usr/bin/env bash
# The real program started on a database made by the first release: it is copied aside and
# upgraded before the login, keeps every row, and the login leaves its events. Started again on
# a database newer than it knows, the program shows its refusal, writes nothing and ends with
# status 1.
set -u
if [ -z "${DISPLAY:-}" ] || [ -z "${E2E_INNER:-}" ]; then
  E2E_INNER=1 exec xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.bash"
FIXTURE="$(cd "$(dirname "$0")/.." && pwd)/fixtures/release1-filled.mdb"
dir=$(make_install "$1" "")
pid=
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
mkdir -p "$dir/Data"
cp "$FIXTURE" "$dir/Data/Data.mdb"
export LC_ALL=C.UTF-8
MAIN="Orvane美容效果演示1.2"
db() { sqlite3 "$dir/Data/Data.mdb" "$1"; }
rows() {
  local f=$1 t out=
  for t in tUserInfo Surgery Class SysManager Param; do out+="$(sqlite3 "$f" "SELECT * FROM $t ORDER BY id")"; done
  echo "$out" | md5sum
}
before=$(rows "$FIXTURE")

"$dir/Belcara" >"$dir/out.log" 2>&1 &
pid=$!
login=$(wait_window "用户登录" 60) || { cat "$dir/out.log"; fail "the login dialog did not appear"; }
# The newest version is the highest numbered upgrade script the program carries.
newest=$(ls "$(dirname "$0")/../../resources"/upgrade-*.sql | sed -n 's/.*upgrade-\([0-9]*\)\.sql$/\1/p' | sort -n | tail -1)
[ "$(db 'SELECT Version FROM BelcaraSchema')" = "$newest" ] || fail "the database was not upgraded before the login"
copies=("$dir"/Data/Data-v1-*.mdb)
[ ${#copies[@]} -eq 1 ] && [ -f "${copies[0]}" ] || fail "no copy aside: $(ls "$dir/Data")"
[ "$(rows "${copies[0]}")" = "$before" ] || fail "the copy aside differs from the first-release file"
[ "$(rows "$dir/Data/Data.mdb")" = "$before" ] || fail "the upgrade changed the original tables"
sleep 0.5
press "$login" shift+a d m i n Tab a d m i n alt+o
wait_window "$MAIN" 20 >/dev/null || fail "the main window did not appear after the login"
# One event per upgrade step (from version 1 to the newest), then the login.
expected=""
for ((v = 2; v <= newest; v++)); do expected+="upgraded:$(id -un) "; done
[ "$(db "SELECT group_concat(Action || ':' || UserName, ' ') FROM AuditLog ORDER BY id")" = "${expected}login:Admin" ] \
  || fail "events: $(db 'SELECT Action, UserName FROM AuditLog')"
kill "$pid"; wait "$pid" 2>/dev/null; pid=

# A newer database: refused with a message, untouched, status 1.
db "UPDATE BelcaraSchema SET Version = 9; PRAGMA journal_mode=DELETE;" >/dev/null
sum=$(md5sum <"$dir/Data/Data.mdb")
"$dir/Belcara" >"$dir/out.log" 2>&1 &
pid=$!
box=$(wait_window "Orvane美容管理软件1.2" 20) || fail "no message for a newer database"
window_exists "$MAIN" && fail "the main window opened on a newer database"
press "$box" Return
wait_exit "$pid" 10
pid=
[ "$EXIT_STATUS" -eq 1 ] || fail "exit status $EXIT_STATUS for a newer database"
[ "$(md5sum <"$dir/Data/Data.mdb")" = "$sum" ] || fail "the newer database was written"
[ ! -e "$dir/Data/Data.mdb-wal" ] || [ ! -s "$dir/Data/Data.mdb-wal" ] || fail "the newer database got a journal"
echo "2 passed, 0 failed"
