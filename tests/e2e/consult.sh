#!/usr/bin/env bash
# The consultation mode in the real program, with the login on: F5 opens it full screen over the
# main window (Xvfb gives one screen here; the two-screen choice is tested offscreen), Return
# walks down to the comparison, Esc back up, and leaving asks for a staff password: a wrong one
# keeps the mode, the right one ends it. Only the consented case is shown and logged.
# Screenshots of the levels are kept in $CONSULT_SHOTS when it is set.
set -u
if [ -z "${DISPLAY:-}" ] || [ -z "${E2E_INNER:-}" ]; then
  E2E_INNER=1 exec xvfb-run -a -s "-screen 0 1280x800x24" bash "$0" "$@"
fi
source "$(dirname "$0")/lib/common.bash"
dir=$(make_install "$1" "$2")
pid=
trap '[ -n "$pid" ] && kill -9 "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
export LC_ALL=C.UTF-8
MAIN="Orvane美容效果演示1.2"
db() { sqlite3 "$dir/Data/Data.mdb" "$1"; }
shot() { [ -n "${CONSULT_SHOTS:-}" ] && mkdir -p "$CONSULT_SHOTS" && import -window root "$CONSULT_SHOTS/$1.png"; return 0; }

# One customer, two cases with photos: 眼部/双眼皮 may be shown, 鼻部/隆鼻 is record only.
mkdir -p "$dir/pic/A1202301150001"
for f in b1:firebrick a1:seagreen b2:navy a2:gold; do
  convert -size 640x480 "xc:${f#*:}" "$dir/pic/A1202301150001/${f%%:*}.jpg" || fail "cannot make a photo"
done
db "UPDATE Param SET MustLogin = 1;
INSERT INTO tUserInfo (客户编号, 用户姓名, 性别, 年龄, 电话, 地址) VALUES ('A1202301150001', '林晓梅', '女', '37', '13912345678', '杭州市');
INSERT INTO Surgery (id, 客户编号, 手术大类, 手术小类, 手术医生, 金额, 手术日期, 手术前, 手术后)
  VALUES (1, 'A1202301150001', '眼部', '双眼皮', '王建国', '12800', '2023-03-10', 'A1202301150001\\b1.jpg', 'A1202301150001\\a1.jpg'),
         (2, 'A1202301150001', '鼻部', '隆鼻', '王建国', '21000', '2023-04-10', 'A1202301150001\\b2.jpg', 'A1202301150001\\a2.jpg');
INSERT INTO CaseConsent (CaseId, Level, SignedOn, Note, ChangedAt, ChangedBy) VALUES
  (1, 1, '2023-03-10', '', '2023-03-10T00:00:00.000Z', 'Admin'), (2, 0, '', '', '2023-03-10T00:00:00.000Z', 'Admin');" \
  || fail "cannot fill the database"

"$dir/Belcara" >"$dir/out.log" 2>&1 &
pid=$!
login=$(wait_window "用户登录" 20) || { cat "$dir/out.log"; fail "the login dialog did not appear"; }
sleep 0.5
press "$login" shift+a d m i n Tab a d m i n alt+o
main=$(wait_window "$MAIN" 20) || fail "the main window did not appear after the login"
sleep 1
press "$main" F5
mode=$(wait_window "咨询演示" 10) || { cat "$dir/out.log"; fail "F5 did not open the consultation mode"; }
sleep 1
geometry=$(xdotool getwindowgeometry "$mode" | tr -d '\n')
case "$geometry" in *"Position: 0,0"*"Geometry: 1280x800"*) ;; *) fail "the mode does not fill the screen: $geometry" ;; esac
shot 1-categories
# The mode has the keyboard by itself: a remote's key reaches it without anyone clicking it.
xdotool key --clearmodifiers Return
sleep 0.5
[ "$(db "SELECT count(*) FROM AuditLog WHERE Action = 'consultation-case-shown'")" = 0 ] || fail "cases shown on level 2"
press "$mode" Return
shot 3-cases
press "$mode" Return
sleep 1
shot 4-compare
[ "$(db "SELECT group_concat(CaseId || ':' || Detail, ' ') FROM AuditLog WHERE Action = 'consultation-case-shown'")" = "1:缩略图 1:对比" ] \
  || fail "cases shown: $(db "SELECT CaseId, Detail FROM AuditLog WHERE Action = 'consultation-case-shown'")"
press "$mode" b
sleep 0.5
shot 5-blank
press "$mode" b Escape Escape Escape

# Leaving: the staff password, wrong first.
press "$mode" Escape
unlock=$(wait_window "结束咨询演示" 10) || fail "leaving did not ask for a password"
press "$unlock" shift+a d m i n Tab g u e s s Return
sleep 1
window_exists "结束咨询演示" || fail "a wrong password closed the dialog"
window_exists "咨询演示" || fail "a wrong password ended the mode"
press "$unlock" a d m i n Return
for ((i = 0; i < 40; i++)); do window_exists "咨询演示" || break; sleep 0.25; done
window_exists "咨询演示" && fail "the right password did not end the mode"
kill -0 "$pid" 2>/dev/null || fail "the program ended with the mode"
[ "$(db "SELECT Action FROM AuditLog WHERE Action LIKE 'consultation%' ORDER BY id DESC LIMIT 1")" = consultation-ended ] \
  || fail "the end of the mode was not logged"
[ "$(db "SELECT UserName FROM AuditLog WHERE Action = 'consultation-started'")" = Admin ] || fail "the start names no user"

wm_close "$main"
box=$(wait_window "提示" 10) || fail "closing did not ask"
press "$box" y
wait_exit "$pid" 15
[ "$EXIT_STATUS" -eq 0 ] || fail "exit status $EXIT_STATUS"
echo "1 passed, 0 failed"
