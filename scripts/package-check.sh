#!/usr/bin/env bash
# Builds the Debian package and checks it on this machine as a clinic would use it: install,
# start, add a customer, remove, reinstall, and the customer is still there. Needs root; leaves
# the machine as it found it (the package, the check's users and its data are removed at the end).
# It refuses to run where belcara is installed or /var/lib/belcara already holds a clinic's data.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD_DIR:-$ROOT/build}
DATA=/var/lib/belcara
MARK=$DATA/.package-check
TITLE="Orvane美容效果演示1.2"
CUST=A1209901010001
USERS=(belcara-check1 belcara-check2)

[ "$(id -u)" -eq 0 ] || { echo "package-check: run as root (it installs and removes a package)" >&2; exit 1; }
fail() { echo "FAIL: $*" >&2; exit 1; }
installed() { dpkg-query -W -f='${Status}' belcara 2>/dev/null | grep -q "install ok installed"; }

# ---- the package ----
cmake -S . -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" --target Belcara belcara-mkdb belcara-admin belcara-desktop-icons
rm -f "$BUILD"/belcara_*.deb
(cd "$BUILD" && cpack -G DEB >/dev/null)
DEB=$(ls "$BUILD"/belcara_*.deb)
echo "package-check: $DEB"

# ---- a clean machine, and cleaning up after ourselves ----
if [ -e "$MARK" ]; then
  echo "package-check: cleaning up after an earlier, interrupted check"
elif installed || [ -e "$DATA/Data" ] || [ -e "$DATA/pic" ] || [ -e /etc/belcara ]; then
  fail "belcara is installed or $DATA or /etc/belcara holds data here; the check would touch a clinic's records"
fi
# The settings file, when the check makes it, goes at the end (a mark file remembers it).
ini_existed=1
if [ -e "$MARK" ]; then
  grep -q '^ini_existed=0' "$MARK" && ini_existed=0
elif [ ! -e "$DATA/Belcara.ini" ]; then
  ini_existed=0
fi
group_existed=0
getent group belcara >/dev/null && [ ! -e "$MARK" ] && group_existed=1
cleanup() {
  set +e
  installed && apt-get purge -y -q belcara >/dev/null 2>&1
  for u in "${USERS[@]}"; do getent passwd "$u" >/dev/null && userdel "$u"; done
  [ -n "${photo:-}" ] && rm -f "$photo"
  if [ -e "$MARK" ]; then
    rm -rf "$DATA/Data" "$DATA/pic" /etc/belcara
    [ "$ini_existed" = 1 ] || rm -f "$DATA/Belcara.ini"
    [ "$group_existed" = 1 ] || groupdel belcara 2>/dev/null
    rm -f "$MARK"
  fi
}
cleanup
trap cleanup EXIT
mkdir -p "$DATA"
echo "ini_existed=$ini_existed" >"$MARK"

# starts the installed program under Xvfb and waits for its main window
start_program() {
  xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    source "$1/tests/e2e/lib/common.bash"
    export LC_ALL=C.UTF-8
    /opt/belcara/Belcara >/tmp/belcara-package-check.log 2>&1 & pid=$!
    wid=$(wait_window "$2" 40) || { cat /tmp/belcara-package-check.log; kill $pid; exit 1; }
    kill $pid; wait $pid 2>/dev/null; exit 0' _ "$ROOT" "$TITLE" \
    || fail "the installed program did not show its main window ($1)"
}
q() { sqlite3 "$DATA/Data/Data.mdb" "$1"; }

# ---- install ----
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$DEB" >/dev/null || fail "apt-get install"
[ -f /opt/belcara/Belcara ] && [ ! -L /opt/belcara/Belcara ] || fail "/opt/belcara/Belcara is not a file"
[ "$(readlink /opt/belcara/Data)" = "$DATA/Data" ] || fail "/opt/belcara/Data is not a link to $DATA/Data"
[ "$(readlink /opt/belcara/pic)" = "$DATA/pic" ] || fail "/opt/belcara/pic is not a link to $DATA/pic"
[ -s "$DATA/Data/Data.mdb" ] || fail "no supplied database"
[ "$(q 'select count(*) from SysManager')" -ge 1 ] || fail "the supplied database has no accounts"
for d in "$DATA/Data" "$DATA/pic"; do
  [ "$(stat -c '%a %G' "$d")" = "2775 belcara" ] || fail "$d: $(stat -c '%a %G' "$d")"
done
[ "$(stat -c '%a %G' "$DATA/Data/Data.mdb")" = "664 belcara" ] || fail "Data.mdb: $(stat -c '%a %G' "$DATA/Data/Data.mdb")"
desktop=/usr/share/applications/belcara.desktop
grep -qx 'Name=Orvane美容效果演示' $desktop && grep -qx 'Exec=/opt/belcara/Belcara' $desktop \
  && grep -qx 'Icon=belcara' $desktop && grep -qx 'Categories=Office;Graphics;' $desktop || fail "the desktop entry"
for n in 16 32 48 64 128 256; do
  icon=/usr/share/icons/hicolor/${n}x${n}/apps/belcara.png
  [ "$(/usr/bin/identify -format '%wx%h' "$icon" 2>/dev/null)" = "${n}x${n}" ] || fail "$icon"
done
# The shared settings file is root's and writable by all; the connection file root's alone,
# installed commented out (it chooses nothing, so the local database is used).
[ -f "$DATA/Belcara.ini" ] && [ ! -L "$DATA/Belcara.ini" ] && [ "$(stat -c '%a %U' "$DATA/Belcara.ini")" = "666 root" ] \
  || fail "Belcara.ini: $(stat -c '%a %U %F' "$DATA/Belcara.ini")"
CONF=/etc/belcara/database.conf
[ "$(stat -c '%a %U %G' "$CONF")" = "644 root root" ] || fail "$CONF: $(stat -c '%a %U %G' "$CONF")"
[ "$(stat -c '%a %U' /etc/belcara)" = "755 root" ] || fail "/etc/belcara: $(stat -c '%a %U' /etc/belcara)"
! grep -qv '^[[:space:]]*\(;.*\)\{0,1\}$' "$CONF" || fail "$CONF is not commented out"
start_program "first start"

# ---- clinic users: members of group belcara write the database and each other's picture folders ----
for u in "${USERS[@]}"; do useradd --system --no-create-home -G belcara "$u"; done
photo=$(mktemp /tmp/belcara-check.XXXXXX)     # readable by the check's users, wherever the clone is
cp resources/splash.jpg "$photo" && chmod 644 "$photo"
runuser -u belcara-check1 -- sqlite3 "$DATA/Data/Data.mdb" \
  "INSERT INTO tUserInfo (客户编号, 用户姓名, 电话) VALUES ('$CUST', '包装测试', '0571-1234')" \
  || fail "a member of group belcara cannot add a customer"
runuser -u belcara-check1 -- bash -c "umask 022 && mkdir '$DATA/pic/$CUST' && cp '$photo' '$DATA/pic/$CUST/1.jpg'" \
  || fail "a member of group belcara cannot store a picture"
runuser -u belcara-check2 -- bash -c "umask 022 && cp '$photo' '$DATA/pic/$CUST/2.jpg'" \
  || fail "a second member cannot add a picture to the first one's customer folder"
runuser -u belcara-check2 -- sqlite3 "$DATA/Data/Data.mdb" \
  "INSERT INTO Surgery (客户编号, 手术大类, 手术前, 手术后) VALUES ('$CUST', '眼部', '$CUST\\1.jpg', '$CUST\\2.jpg')" \
  || fail "a second member cannot add a case"
sum_before=$(sha1sum <"$DATA/Data/Data.mdb")

# ---- remove: the data stays ----
apt-get remove -y -q belcara >/dev/null || fail "apt-get remove"
[ ! -e /opt/belcara/Belcara ] || fail "the program is still there after removal"
[ "$(sha1sum <"$DATA/Data/Data.mdb")" = "$sum_before" ] || fail "removal changed the database"
[ -f "$DATA/pic/$CUST/1.jpg" ] && [ -f "$DATA/pic/$CUST/2.jpg" ] || fail "removal lost pictures"

# ---- the administrator's connection file, and a link planted at the settings file ----
printf '; chosen by the administrator\n[Database]\nEngine=SQLite\n' >"$CONF"
conf_sum=$(sha1sum <"$CONF")
rm -f "$DATA/Belcara.ini"
ln -s "$photo" "$DATA/Belcara.ini"

# ---- reinstall: the customer is still there, nothing replaced ----
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$DEB" >/dev/null || fail "apt-get install again"
[ "$(sha1sum <"$CONF")" = "$conf_sum" ] || fail "reinstalling changed $CONF"
[ "$(stat -c '%a %U %G' "$CONF")" = "644 root root" ] || fail "reinstalling changed the mode of $CONF"
[ ! -L "$DATA/Belcara.ini" ] && [ "$(stat -c '%a %U' "$DATA/Belcara.ini")" = "666 root" ] \
  || fail "the link planted at $DATA/Belcara.ini is still there"
[ "$(sha1sum <"$DATA/Data/Data.mdb")" = "$sum_before" ] || fail "reinstalling replaced the database"
[ "$(q "select 用户姓名 from tUserInfo where 客户编号 = '$CUST'")" = "包装测试" ] || fail "the customer is gone"
[ "$(q "select count(*) from Surgery where 客户编号 = '$CUST'")" = 1 ] || fail "the case is gone"
start_program "after reinstalling"

# ---- purge: the clinic's data is still kept ----
apt-get purge -y -q belcara >/dev/null 2>&1 || fail "apt-get purge"
[ ! -e /opt/belcara ] || fail "/opt/belcara is left after purge"
[ "$(q "select count(*) from tUserInfo where 客户编号 = '$CUST'")" = 1 ] || fail "purge lost the customer"
[ -f "$DATA/pic/$CUST/1.jpg" ] || fail "purge lost the pictures"
[ "$(sha1sum <"$CONF")" = "$conf_sum" ] || fail "purge removed the administrator's $CONF"

echo "package: 1 passed, 0 failed"
