#!/usr/bin/env bash
# The records window in the real program, typed into with real keys: appending to a customer's
# name, a new customer typed box by box, a case with two photos picked through Qt's (Chinese)
# open-file dialog, closing with the save question. Then a second opening: a case saved under a
# new customer nobody typed into, a refused case save with a photo named like a stored one, and
# a delete after the number box was changed to another customer's number. The rows in
# Data/Data.mdb and the files under pic/ are checked after each opening.
set -u
if [ -z "${DISPLAY:-}" ] || [ -z "${E2E_INNER:-}" ]; then
  E2E_INNER=1 exec xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.bash"
command -v sqlite3 >/dev/null || fail "sqlite3 is not installed"
dir=$(make_install "$1" "$2")
trap 'rm -rf "$dir"' EXIT
export LC_ALL=C.UTF-8
db="$dir/Data/Data.mdb"
q() { sqlite3 "$db" "$1"; }
failures=0
check() { # check "what" actual wanted
  if [ "$2" != "$3" ]; then echo "FAIL: $1: got '$2', wanted '$3'" >&2; failures=$((failures + 1)); fi
}

anna=A1200612070001
today=A1$(date +%Y%m%d)
q "INSERT INTO tUserInfo (客户编号, 用户姓名, 性别) VALUES ('$anna','Anna','F');
   INSERT INTO Class (类别名称, 父类别) VALUES ('眼部',''),('鼻部','');
   INSERT INTO Surgery (客户编号, 手术大类, 手术前) VALUES ('$anna','眼部','$anna\\before1.jpg');"
mkdir -p "$dir/pic/$anna" "$dir/camera"
# Small photos, each of its own colour (ImageMagick's own convert, not a stand-in on the path).
jpeg() { /usr/bin/convert -size 80x60 "xc:$2" "$1" || fail "cannot make $1"; }
jpeg "$dir/pic/$anna/before1.jpg" red
jpeg "$dir/camera/before1.jpg" blue
jpeg "$dir/camera/after.jpg" green
cp "$dir/pic/$anna/before1.jpg" "$dir/stored-before1.jpg"

start() {
  "$dir/Belcara" >>"$dir/out.log" 2>&1 &
  pid=$!
  main=$(wait_window "Orvane美容效果演示1.2" 30) || fail "the main window did not appear"
  sleep 0.5
  press "$main" alt+m
  rec=$(wait_window "资料管理" 10) || fail "Alt+M opened no records window"
  sleep 0.5
  read -r RX RY < <(xdotool getwindowgeometry "$rec" | awk '/Position/{split($2,a,","); print a[1], a[2]}')
}
# click X Y: a left click at the records window's client point X, Y
click() { xdotool mousemove $((RX + $1)) $((RY + $2)) click 1; sleep 0.4; }
keys() { press "$rec" "$@"; sleep 0.2; }
type_text() { xdotool type --delay 40 "$1"; sleep 0.2; }
# The controls, by their place in the window (client coordinates of their middles).
NAME="310 71"; SEX="438 71"; NUMBER="133 71"; ADDRESS="520 97"
CUST_PRIOR="408 125"; CUST_INSERT="488 125"; CUST_DELETE="528 125"
MAJOR="118 185"; DATE="252 209"
CASE_INSERT="488 237"; CASE_POST="568 237"
PICK_BEFORE="425 185"; PICK_AFTER="425 209"
FIND_NUMBER="447 17"; FIND_NUMBER_BUTTON="565 17"
pick() { # pick BUTTON FILE: through the real open-file dialog, typing the path
  click $1
  local dlg
  dlg=$(wait_window "打开" 10) || fail "the open-file dialog did not appear"
  sleep 0.4
  type_text "$2"
  press "$dlg" Return
  sleep 0.6
}
finish() { # closes the main window, answering Yes
  wm_close "$main"
  local box
  box=$(wait_window "提示" 10) || fail "closing the main window asked nothing"
  press "$box" y
  wait_exit "$pid" 15
}

# ---- first opening -----------------------------------------------------------------------
start
# The name box has the focus: End, then more text.
keys End L e e
click $SEX
keys End e m a l e
# A new customer (the changed one is saved first), typed box by box.
click $CUST_INSERT
click $NAME
keys B e l l a Tab F Tab 3 0
# Her case: the major from the keyboard, the date, two photos.
click $CASE_INSERT
click $MAJOR
keys Down Return
click $DATE
type_text "2006-12-07"
pick "$PICK_BEFORE" "$dir/camera/before1.jpg"
pick "$PICK_AFTER" "$dir/camera/after.jpg"
click $CASE_POST
# The address left unsaved; Alt+Q closes and asks about it.
click $ADDRESS
keys T o w n
keys alt+q
box=$(wait_window "提示" 10) || fail "closing the records window asked nothing"
press "$box" y
sleep 1
window_exists "资料管理" && fail "the records window stayed open"
finish

bella=${today}0001
check "Anna, appended to" "$(q "select 用户姓名 || '|' || 性别 from tUserInfo where 客户编号='$anna'")" "AnnaLee|Female"
check "the new customer" "$(q "select 用户姓名 || '|' || 性别 || '|' || 年龄 || '|' || 地址 from tUserInfo where 客户编号='$bella'")" \
  "Bella|F|30|Town"
check "her case" "$(q "select 手术大类 || '|' || 手术日期 || '|' || 手术前 || '|' || 手术后 from Surgery where 客户编号='$bella'")" \
  "鼻部|2006-12-07|$bella\\before1.jpg|$bella\\after.jpg"
cmp -s "$dir/camera/before1.jpg" "$dir/pic/$bella/before1.jpg" || check "stored before1.jpg" differs same
cmp -s "$dir/camera/after.jpg" "$dir/pic/$bella/after.jpg" || check "stored after.jpg" differs same
check "files in her folder" "$(ls -A "$dir/pic/$bella" | tr '\n' ' ')" "after.jpg before1.jpg "

# ---- second opening ----------------------------------------------------------------------
start
# A case under a new customer nobody types into, then away to the previous customer.
click $CUST_INSERT
click $CASE_INSERT
click $MAJOR
keys Down Return
click $CASE_POST
click $CUST_PRIOR
# Anna: a case whose date is no date, with a photo named like her stored one.
click $FIND_NUMBER
type_text "$anna"
click $FIND_NUMBER_BUTTON
click $CASE_INSERT
click $MAJOR
keys Down Return
click $DATE
type_text "bad"
pick "$PICK_BEFORE" "$dir/camera/before1.jpg"
click $CASE_POST
err=$(wait_window "Orvane美容管理软件1.2" 10) || fail "the refused save showed no error"
press "$err" Return
sleep 0.5
cmp -s "$dir/stored-before1.jpg" "$dir/pic/$anna/before1.jpg" || check "Anna's stored before1.jpg after the refused save" replaced kept
check "Anna's folder after the refused save" "$(ls -A "$dir/pic/$anna" | tr '\n' ' ')" "before1.jpg "
click $DATE
keys ctrl+a
type_text "2006-12-09"
click $CASE_POST
# Bella: her number box changed to Anna's number, then delete.
click $FIND_NUMBER
keys ctrl+a
type_text "$bella"
click $FIND_NUMBER_BUTTON
click $NUMBER
keys ctrl+a
type_text "$anna"
click $CUST_DELETE
box=$(wait_window "警告" 10) || fail "the delete asked nothing"
press "$box" y
sleep 0.5
keys alt+q
sleep 1
window_exists "资料管理" && fail "the records window stayed open"
finish

untouched=${today}0002
check "the customer nobody typed into" "$(q "select count(*) from tUserInfo where 客户编号='$untouched'")" 1
check "cases without their customer" "$(q "select count(*) from Surgery s where not exists
  (select 1 from tUserInfo u where u.客户编号 = s.客户编号)")" 0
check "Bella deleted with her case" "$(q "select count(*) from tUserInfo where 客户编号='$bella'")|$(q "select count(*) from Surgery where 客户编号='$bella'")" "0|0"
check "Anna's cases" "$(q "select ifnull(手术日期, '') || '|' || 手术前 from Surgery where 客户编号='$anna' order by id")" \
  "|$anna\\before1.jpg
2006-12-09|$anna\\before1(2).jpg"
cmp -s "$dir/stored-before1.jpg" "$dir/pic/$anna/before1.jpg" || check "Anna's first photo" replaced kept
cmp -s "$dir/camera/before1.jpg" "$dir/pic/$anna/before1(2).jpg" || check "Anna's new photo" differs same
check "temporary files left" "$(find "$dir/pic" -name '.*' | wc -l)" 0
check "exit status" "$EXIT_STATUS" 0

[ "$failures" -eq 0 ] || { tail -5 "$dir/out.log" >&2; exit 1; }
echo "1 passed, 0 failed"
