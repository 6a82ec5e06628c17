#!/usr/bin/env bash
# The demo generator: makes a small demo installation and inspects what it wrote.
# Arguments: the program and belcara-mkdb; belcara-demo is built beside belcara-mkdb.
set -euo pipefail

DEMO="$(dirname "$2")/belcara-demo"
[ -x "$DEMO" ] || { echo "FAIL: $DEMO is not built"; exit 1; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
DIR="$WORK/demo"
DB="$DIR/Data/Data.mdb"
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
q() { sqlite3 "$DB" "$1"; }
expect() { # expect "what" actual wanted
  [ "$2" = "$3" ] || fail "$1: got '$2', wanted '$3'"
}

"$DEMO" --customers 20 --cases 50 --seed 7 "$DIR" >"$WORK/run1.txt" 2>&1 || { cat "$WORK/run1.txt"; echo "FAIL: the first run failed"; exit 1; }

# Rows and customer numbers: 14 characters, A1 + a real date + the day's running number 0001, 0002, ...
expect "customers" "$(q 'select count(*) from tUserInfo')" 20
expect "cases" "$(q 'select count(*) from Surgery')" 50
expect "distinct numbers" "$(q 'select count(distinct 客户编号) from tUserInfo')" 20
bad=$(q "select 客户编号 from tUserInfo" | grep -Evx 'A1(19|20)[0-9]{2}(0[1-9]|1[0-2])(0[1-9]|[12][0-9]|3[01])[0-9]{4}' || true)
expect "numbers not in the format" "$bad" ""
expect "running numbers not 0001..n per day" "$(q "select p from (select substr(客户编号,1,10) p, count(*) c,
  min(substr(客户编号,11)) lo, max(substr(客户编号,11)) hi from tUserInfo group by p)
  where lo <> '0001' or hi <> printf('%04d', c)")" ""
expect "numbers out of creation order" "$(q "select count(*) from tUserInfo a join tUserInfo b
  on a.id < b.id and a.客户编号 > b.客户编号")" 0
expect "cases without their customer" "$(q "select count(*) from Surgery s
  where not exists (select 1 from tUserInfo u where u.客户编号 = s.客户编号)")" 0

# The category tree: majors have the empty string (never NULL) as parent, minors name a major,
# and every case's categories come from the tree.
majors=$(q "select count(*) from Class where 父类别 = ''")
[ "$majors" -ge 4 ] || fail "only $majors major categories"
expect "categories with NULL parent" "$(q 'select count(*) from Class where 父类别 is null')" 0
expect "minors under no major" "$(q "select count(*) from Class m where m.父类别 <> ''
  and not exists (select 1 from Class p where p.父类别 = '' and p.类别名称 = m.父类别)")" 0
expect "cases with an unknown major" "$(q "select count(*) from Surgery s
  where not exists (select 1 from Class c where c.父类别 = '' and c.类别名称 = s.手术大类)")" 0
expect "cases with a minor not under their major" "$(q "select count(*) from Surgery s where s.手术小类 <> ''
  and not exists (select 1 from Class c where c.父类别 = s.手术大类 and c.类别名称 = s.手术小类)")" 0
expect "dates not zero-padded" "$(q "select count(*) from Surgery where not (
  手术日期 glob '[12][0-9][0-9][0-9]-[01][0-9]-[0-3][0-9]' or
  手术日期 glob '[12][0-9][0-9][0-9]-[01][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]')")" 0
expect "amounts not whole numbers" "$(q "select count(*) from Surgery where not 金额 glob '[1-9]*' or 金额 glob '*[^0-9]*'")" 0

# Picture references: every reference to an existing file is <case's customer>\<name> and the file
# lies in pic/<that customer>/; some references name no file, as in a real clinic's database.
existing=0; missing=0; misplaced=0
while IFS='|' read -r number value; do
  [ -n "$value" ] || continue
  file="$DIR/pic/${value//\\//}"
  if [ -f "$file" ]; then
    existing=$((existing + 1))
    case "$value" in "$number\\"*) ;; *) misplaced=$((misplaced + 1)) ;; esac
    [ "$(dirname "$file")" = "$DIR/pic/$number" ] || misplaced=$((misplaced + 1))
  else
    missing=$((missing + 1))
  fi
done < <(q "select 客户编号, 手术前 from Surgery union all select 客户编号, 手术前1 from Surgery
  union all select 客户编号, 手术前2 from Surgery union all select 客户编号, 手术后 from Surgery
  union all select 客户编号, 手术后1 from Surgery union all select 客户编号, 手术后2 from Surgery")
[ "$existing" -ge 20 ] || fail "only $existing referenced pictures exist"
[ "$missing" -ge 1 ] || fail "no reference names a missing file"
expect "pictures outside their customer's folder" "$misplaced" 0
unreferenced=$(cd "$DIR/pic" && find . -type f | sed 's|^\./||; s|/|\\|' | sort >"$WORK/files.txt"
  q "select 手术前 from Surgery union select 手术前1 from Surgery union select 手术前2 from Surgery union
     select 手术后 from Surgery union select 手术后1 from Surgery union select 手术后2 from Surgery" | sort -u >"$WORK/refs.txt"
  comm -23 "$WORK/files.txt" "$WORK/refs.txt" | wc -l)
expect "picture files no case refers to" "$unreferenced" 0

# Repeated pictures are hard links to the pool, which lies outside pic/.
[ -d "$DIR/.demo-pool" ] || fail "no pool folder"
linked=$(find "$DIR/pic" -type f -links +1 | wc -l)
[ "$linked" -ge 10 ] || fail "only $linked hard-linked pictures"
strays=$(find "$DIR/pic" -type f -links +1 | while read -r f; do
  find "$DIR/.demo-pool" -samefile "$f" | grep -q . || echo "$f"; done)
expect "linked pictures not from the pool" "$strays" ""
expect "files in pic/ outside customer folders" "$(find "$DIR/pic" -mindepth 1 -maxdepth 1 -type f | wc -l)" 0

# The JPEG files: whole, EXIF orientation 6 and 8 on the portraits, and as from several cameras:
# most before pictures 4000 x 3000 as stored, the after pictures of other sizes and shapes.
python3 - "$DIR/.demo-pool" <<'EOF' || fail "pool JPEG headers"
import os, struct, sys
folder = sys.argv[1]
orientations = set()
sizes = {}
for name in sorted(os.listdir(folder)):
    data = open(os.path.join(folder, name), 'rb').read()
    assert data[:2] == b'\xff\xd8' and data[-2:] == b'\xff\xd9', name + ': not a whole JPEG'
    pos, size, orientation = 2, None, None
    while pos < len(data) and size is None:
        marker, length = data[pos + 1], struct.unpack('>H', data[pos + 2:pos + 4])[0]
        body = data[pos + 4:pos + 2 + length]
        if marker == 0xE1 and body[:6] == b'Exif\0\0':
            tiff = body[6:]
            assert tiff[:4] == b'II*\0', name + ': not a little-endian TIFF block'
            ifd = struct.unpack('<I', tiff[4:8])[0]
            for i in range(struct.unpack('<H', tiff[ifd:ifd + 2])[0]):
                tag, kind, count, value = struct.unpack('<HHIH', tiff[ifd + 2 + 12 * i:ifd + 12 + 12 * i])
                if tag == 0x0112 and kind == 3 and count == 1:
                    orientation = value
        if marker == 0xC0:
            height, width = struct.unpack('>HH', body[1:5])
            size = (width, height)
        pos += 2 + length
    assert size and 800 <= min(size) and max(size) <= 4000, '%s: stored size %s' % (name, size)
    sizes[name] = size
    orientations.add(orientation)
assert {6, 8} <= orientations, 'orientations found: %s' % orientations
before = [s for n, s in sizes.items() if n.endswith('-before.jpg')]
assert before.count((4000, 3000)) * 2 > len(before), 'before sizes: %s' % before
pairs = [n for n in sizes if n.endswith('-before.jpg') and sizes[n] != sizes.get(n.replace('-before', '-after'))]
assert len(pairs) * 4 >= len(sizes), 'before and after alike in size: %s' % sizes
shapes = {round(max(s) / min(s), 2) for s in sizes.values()}
assert len(shapes) >= 3, 'picture shapes: %s' % shapes
EOF

# A captioned copy decodes and differs from its pool picture only in the caption band at the
# bottom (less than a tenth of the picture), which the splice of coefficients rewrote.
if [ -x /usr/bin/compare ] && [ -x /usr/bin/identify ]; then
  pair=""
  while IFS='|' read -r first second; do
    f1="$DIR/pic/${first//\\//}"; f2="$DIR/pic/${second//\\//}"
    if [ -f "$f1" ] && [ -f "$f2" ] && [ "$(stat -c %h "$f1")" = 1 ] && [ "$(stat -c %h "$f2")" -gt 1 ]; then
      pair="$f1|$f2"; break
    fi
  done < <(q "select 手术前, 手术前1 from Surgery union all select 手术后, 手术后1 from Surgery")
  if [ -z "$pair" ]; then
    fail "no case with a captioned picture beside a linked one"
  else
    captioned=${pair%%|*}; pooled=${pair##*|}
    /usr/bin/identify -regard-warnings -format '%#' "$captioned" >/dev/null 2>&1 || fail "$captioned does not decode"
    ae=$(/usr/bin/compare -metric AE -fuzz 2% "$pooled" "$captioned" null: 2>&1 || true)
    ae=$(printf '%.0f' "${ae%% *}" 2>/dev/null || echo none)
    case "$ae" in
      none) fail "cannot compare $captioned with $pooled" ;;
      0) fail "the captioned copy equals its pool picture" ;;
      *) [ "$ae" -lt 1200000 ] || fail "the captioned copy differs from its pool picture in $ae pixels" ;;
    esac
  fi
else
  echo "note: ImageMagick missing, decoding of the captioned copies not checked"
fi

# An existing installation is refused without --force, and nothing in it changes.
sum() { (cd "$DIR" && find . -type f -print0 | sort -z | xargs -0 sha1sum); }
sum >"$WORK/before.txt"
if "$DEMO" --customers 5 --cases 5 "$DIR" >"$WORK/run2.txt" 2>&1; then fail "a second run without --force succeeded"; fi
sum >"$WORK/after.txt"
cmp -s "$WORK/before.txt" "$WORK/after.txt" || fail "the refused run changed files"

# --force: the old database is set aside, no existing file changes, the same seed gives the same customers.
q "select 客户编号, 用户姓名, 电话 from tUserInfo" >"$WORK/customers1.txt"
"$DEMO" --customers 20 --cases 50 --seed 7 --force "$DIR" >"$WORK/run3.txt" 2>&1 || { cat "$WORK/run3.txt"; fail "the --force run failed"; }
grep -v ' \./Data/Data\.mdb$' "$WORK/before.txt" >"$WORK/kept.txt"
(cd "$DIR" && sha1sum -c --quiet "$WORK/kept.txt") || fail "the --force run changed or removed an existing file"
aside=$(find "$DIR/Data" -name 'Data.mdb.before-demo-*')
expect "databases set aside" "$(echo "$aside" | grep -c .)" 1
expect "the database set aside" "$(sha1sum <"$aside" | cut -c1-40)" "$(grep ' \./Data/Data\.mdb$' "$WORK/before.txt" | cut -c1-40)"
q "select 客户编号, 用户姓名, 电话 from tUserInfo" >"$WORK/customers2.txt"
cmp -s "$WORK/customers1.txt" "$WORK/customers2.txt" || fail "the same seed gave other customers"
reused=$(q "select 手术前 from Surgery union select 手术前1 from Surgery union select 手术前2 from Surgery union
  select 手术后 from Surgery union select 手术后1 from Surgery union select 手术后2 from Surgery" |
  sed 's|\\|/|g; s|^|./pic/|' | grep -xFf - <(cut -c43- "$WORK/before.txt") || true)
expect "new references naming files of the earlier run" "$reused" ""

# Without pictures: only the database, quickly.
"$DEMO" --customers 300 --cases 1000 --pictures 0 "$WORK/bare" >/dev/null 2>&1 || fail "the run without pictures failed"
expect "files without pictures" "$(find "$WORK/bare" -type f | wc -l)" 1
expect "picture references without pictures" "$(sqlite3 "$WORK/bare/Data/Data.mdb" \
  "select count(*) from Surgery where coalesce(手术前,'')||coalesce(手术前1,'')||coalesce(手术前2,'')||coalesce(手术后,'')||coalesce(手术后1,'')||coalesce(手术后2,'') <> ''")" 0

# Consent: a realistic mix over 1000 cases (most record only or shown, a smaller share publicity),
# each form signed near its case's surgery date, every row belonging to a case.
B="$WORK/bare/Data/Data.mdb"
bq() { sqlite3 "$B" "$1"; }
shown=$(bq "select count(*) from CaseConsent where Level = 1")
publicity=$(bq "select count(*) from CaseConsent where Level = 2")
recordonly=$(( 1000 - shown - publicity ))
[ "$publicity" -ge 80 ] && [ "$publicity" -lt "$shown" ] && [ "$publicity" -lt "$recordonly" ] ||
  fail "consent mix: $recordonly record only, $shown shown, $publicity publicity"
expect "consent of no case" "$(bq "select count(*) from CaseConsent c where not exists (select 1 from Surgery s where s.id = c.CaseId)")" 0
expect "consent signed far from the surgery" "$(bq "select count(*) from CaseConsent c join Surgery s on s.id = c.CaseId
  where julianday(c.SignedOn) not between julianday(substr(s.手术日期, 1, 10)) - 14 and julianday(substr(s.手术日期, 1, 10)) + 60")" 0

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "demo: all checks passed"
