#!/usr/bin/env bash
# Kills the saving driver (crash_driver) with SIGKILL at random moments, KILLS times (default
# 50), and after each kill checks what a crash may not leave behind:
#   - the database passes PRAGMA integrity_check;
#   - no row is half-written (each save writes fields that have to agree);
#   - every picture reference saved in a case names a file of the store that holds one of the
#     source pictures whole;
#   - the temporary copies of an interrupted import are gone once the driver has started again,
#     and no reference ever names one.
# Usage: crash_safety.sh <crash_driver> <belcara-mkdb> [kills]
set -euo pipefail
driver=$1
mkdb=$2
kills=${3:-${KILLS:-50}}

work=$(mktemp -d /tmp/belcara-crash.XXXXXX)
trap 'kill -9 $pid 2>/dev/null || true; rm -rf "$work"' EXIT
pid=0
install=$work/Belcara
mkdir -p "$install/pic" "$work/sources"
"$mkdb" "$install/Data/Data.mdb" >/dev/null
db=$install/Data/Data.mdb

# Source pictures of a few sizes, so that a kill often lands in the middle of a copy.
i=0
for kb in 64 256 768 1536; do
  i=$((i + 1))
  head -c $((kb * 1024)) /dev/urandom > "$work/sources/p$i.jpg"
  sha256sum "$work/sources/p$i.jpg" | cut -d' ' -f1 >> "$work/hashes"
done

fail() { echo "FAIL after kill $k: $*" >&2; exit 1; }
q() { sqlite3 "$db" "$1"; }

# Pictures are hashed when they are new since the last check (all of them at the end).
touch -d '1970-01-02' "$work/checked"
check() {
  [ "$(q 'PRAGMA integrity_check;')" = ok ] || fail "integrity_check: $(q 'PRAGMA integrity_check;')"
  n=$(q "SELECT COUNT(*) FROM tUserInfo WHERE 用户姓名 IS NULL OR 电话 IS NULL OR substr(用户姓名,2) <> substr(电话,2) OR length(地址) <> 200;")
  [ "$n" = 0 ] || fail "$n customer rows half-written"
  n=$(q "SELECT COUNT(*) FROM Surgery WHERE 手术大类 IS NULL OR 手术医生 <> 'D' || 金额 OR 手术前 IS NULL OR 手术前1 IS NULL;")
  [ "$n" = 0 ] || fail "$n case rows half-written"
  n=$(q "SELECT COUNT(*) FROM Surgery WHERE 客户编号 NOT IN (SELECT 客户编号 FROM tUserInfo);")
  [ "$n" = 0 ] || fail "$n cases without their customer"
  n=$(q "SELECT COUNT(*) FROM Class WHERE 类别名称 IS NULL OR 父类别 IS NULL;")
  [ "$n" = 0 ] || fail "$n category rows half-written"
  # Stored references have the form <customer number>\<file name>; a picture whose import
  # failed keeps its full source path (starting with /), which is allowed.
  q "SELECT 手术前 FROM Surgery UNION SELECT 手术前1 FROM Surgery UNION SELECT 手术前2 FROM Surgery
     UNION SELECT 手术后 FROM Surgery UNION SELECT 手术后1 FROM Surgery UNION SELECT 手术后2 FROM Surgery;" > "$work/refs"
  : > "$work/files"
  while IFS= read -r ref; do
    case "$ref" in ''|/*) continue ;; esac
    file=$install/pic/${ref//\\//}
    case "${file##*/}" in .*.part-*) fail "a reference names a temporary copy: $ref" ;; esac
    [ -f "$file" ] || fail "stored reference $ref names no file"
    if [ "${1:-}" = all ] || [ "$file" -nt "$work/checked" ]; then
      printf '%s\0' "$file" >> "$work/files"
    fi
  done < "$work/refs"
  if [ -s "$work/files" ]; then
    bad=$(xargs -0 sha256sum < "$work/files" | cut -d' ' -f1 | { grep -vxFf "$work/hashes" || true; } | wc -l)
    [ "$bad" = 0 ] || fail "$bad stored pictures are not whole"
  fi
  touch -d "@$(( $(date +%s) - 2 ))" "$work/checked"
}

leftovers_total=0
kills_mid_copy=0
for k in $(seq 1 "$kills"); do
  before=$(find "$install/pic" -name '.*.part-*' | sort)
  # Emptied here, not only by the redirection: that happens in the child, and the wait below could
  # otherwise read the previous run's "started" before it.
  : > "$work/out"
  "$driver" "$install" "$work/sources" > "$work/out" 2> "$work/err" &
  pid=$!
  # Until the driver has started (a busy machine, or the sanitizers, may take many seconds), then
  # a random moment of its saving.
  for _ in $(seq 1 1200); do
    grep -q '^started' "$work/out" 2>/dev/null && break
    kill -0 $pid 2>/dev/null || { cat "$work/err" >&2; fail "the driver ended by itself"; }
    sleep 0.05
  done
  grep -q '^started' "$work/out" || fail "the driver did not start"
  # Leftovers of the previous kill are gone once the driver (like the program) has started.
  for f in $before; do
    [ ! -e "$f" ] || fail "temporary copy $f left behind after the restart"
  done
  sleep "0.$(printf '%03d' $((RANDOM % 1000)))"
  kill -0 $pid 2>/dev/null || { cat "$work/err" >&2; fail "the driver ended by itself"; }
  kill -9 $pid
  wait $pid 2>/dev/null || true
  # Gone for good before the next start judges its copies by whether their process still runs.
  for _ in $(seq 1 200); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
  left=$(find "$install/pic" -name '.*.part-*' | wc -l)
  leftovers_total=$((leftovers_total + left))
  [ "$left" = 0 ] || kills_mid_copy=$((kills_mid_copy + 1))
  check
done

# One last start cleans up after the last kill.
k=final
"$driver" "$install" "$work/sources" --start-only > "$work/out" 2> "$work/err" || { cat "$work/err" >&2; fail "the last start failed"; }
left=$(find "$install/pic" -name '.*.part-*' | wc -l)
[ "$left" = 0 ] || fail "$left temporary copies left after the last start"
check all
echo "crash safety: $kills kills; $(q 'SELECT COUNT(*) FROM tUserInfo;') customers, $(q 'SELECT COUNT(*) FROM Surgery;') cases," \
     "$(find "$install/pic" -type f ! -name '.*' | wc -l) stored pictures; $kills_mid_copy kills left a temporary copy" \
     "($leftovers_total in all), each removed at the next start"
