#!/usr/bin/env bash
# Writes the seed corpora of the fuzz targets into corpus/<target>/ (run from anywhere; needs
# python3 and ImageMagick's convert). The files are kept in the repository; run this again only
# to change the seeds. Regression inputs (regress-*) are added by hand and never rewritten here.
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

pic=corpus/picture
mkdir -p "$pic" corpus/profile corpus/jetsql corpus/customerno

# Picture inputs: one byte choosing the kind (value mod 5: jpg bmp ico wmf emf; an odd
# value / 5 asks for the natural size instead of a small preview), then the file.
seed() { # kind-byte name file
  { printf "\\x$(printf %02x "$1")"; cat "$3"; } > "$pic/$2"
}
convert -size 24x16 gradient:red-blue -strip -quality 80 "$tmp/a.jpg"
convert -size 24x16 gradient:red-blue -strip -interlace JPEG "$tmp/p.jpg"
convert -size 17x9 gradient:white-black -strip -colorspace Gray "$tmp/g.jpg"
convert -size 16x16 gradient:cyan-yellow -strip -colorspace CMYK "$tmp/c.jpg"
convert -size 20x10 gradient:green-white -strip -orient RightTop "$tmp/o.jpg"
seed 0 jpeg-baseline "$tmp/a.jpg"
seed 5 jpeg-progressive-natural "$tmp/p.jpg"
seed 10 jpeg-grey "$tmp/g.jpg"
seed 15 jpeg-cmyk-natural "$tmp/c.jpg"
seed 20 jpeg-exif-turned "$tmp/o.jpg"
convert -size 6x5 gradient:red-blue BMP3:"$tmp/b24.bmp"
convert -size 7x4 gradient:red-blue -type Palette -colors 16 BMP3:"$tmp/b8.bmp"
convert -size 8x8 gradient:black-white -type Bilevel BMP3:"$tmp/b1.bmp"
convert -size 5x5 gradient:red-blue -alpha on BMP:"$tmp/b32.bmp"
seed 1 bmp-24 "$tmp/b24.bmp"
seed 6 bmp-palette-natural "$tmp/b8.bmp"
seed 11 bmp-mono "$tmp/b1.bmp"
seed 16 bmp-v5-alpha "$tmp/b32.bmp"
convert -size 16x16 gradient:red-blue "$tmp/i.ico"
convert -size 32x32 gradient:red-blue -type Palette -colors 16 "$tmp/i8.ico"
seed 2 ico-16 "$tmp/i.ico"
seed 7 ico-palette-natural "$tmp/i8.ico"
python3 - "$pic" <<'PY'
import struct, sys
out = sys.argv[1]

def wmf_rec(fn, params, tail=b""):
    if len(tail) % 2: tail += b"\0"
    words = 3 + len(params) + len(tail) // 2
    return struct.pack("<IH", words, fn) + b"".join(struct.pack("<H", p & 0xFFFF) for p in params) + tail

def wmf(records, placeable=True, inch=96, bounds=(0, 0, 40, 30), objects=4):
    body = b"".join(records) + wmf_rec(0, [])
    head = b""
    if placeable:
        h = struct.pack("<IHhhhhHI", 0x9AC6CDD7, 0, *bounds, inch, 0)
        s = 0
        for i in range(0, 20, 2): s ^= struct.unpack_from("<H", h, i)[0]
        head = h + struct.pack("<H", s)
    hdr = struct.pack("<HHHIHIH", 1, 9, 0x300, 9 + len(body) // 2, objects, 0, 0)
    return head + hdr + body

dib = struct.pack("<IiiHHIIiiII", 40, 2, 2, 1, 24, 0, 16, 0, 0, 0, 0) + bytes([255,0,0, 255,255,255, 0,0, 0,0,255, 0,255,0, 0,0])
shapes = [
    wmf_rec(0x020C, [30, 40]), wmf_rec(0x020B, [0, 0]),
    wmf_rec(0x02FC, [0, 0x00FF, 0, 0]), wmf_rec(0x012D, [0]),
    wmf_rec(0x02FA, [0, 2, 0, 0xFF00, 0]), wmf_rec(0x012D, [1]),
    wmf_rec(0x041B, [20, 30, 2, 2]), wmf_rec(0x0418, [28, 38, 10, 10]),
    wmf_rec(0x0324, [3, 0, 0, 40, 0, 20, 30]),
    wmf_rec(0x0213, [15, 35]), wmf_rec(0x0214, [1, 1]),
    wmf_rec(0x02FB, [-12, 0, 0, 0, 700, 0, 0, 0], b"Arial\0"), wmf_rec(0x012D, [2]),
    wmf_rec(0x0521, [2], b"Hi" + struct.pack("<hh", 12, 4)),
    wmf_rec(0x0F43, [0x20, 0xCC, 0, 2, 2, 0, 0, 20, 20, 0, 0], dib),
    wmf_rec(0x001E, []), wmf_rec(0x0127, [-1]),
]
open(f"{out}/wmf-placeable", "wb").write(b"\x03" + wmf(shapes))
open(f"{out}/wmf-window-natural", "wb").write(b"\x08" + wmf(shapes, placeable=False))

def emf_rec(t, params):
    return struct.pack("<II", t, 8 + 4 * len(params)) + b"".join(struct.pack("<I", p & 0xFFFFFFFF) for p in params)

def emf(records, frame):
    body = b"".join(records) + emf_rec(14, [0, 16, 20])
    h = struct.pack("<II4i4iIIIIHH", 1, 88, 0, 0, 99, 49, *frame, 0x464D4520, 0x10000, 88 + len(body), len(records) + 2, 8, 0)
    h += struct.pack("<7I", 0, 0, 0, 1920, 1080, 508, 286)
    return h + body

def poly16(t, pts):
    return struct.pack("<II4iI", t, 28 + 4 * len(pts), 0, 0, 0, 0, len(pts)) + b"".join(struct.pack("<hh", *p) for p in pts)

emf_shapes = [
    emf_rec(39, [1, 0, 0x0000FF, 0]), emf_rec(37, [1]), emf_rec(37, [0x80000008]),
    emf_rec(43, [0, 0, 48, 48]), emf_rec(17, [8]), emf_rec(9, [200, 100]), emf_rec(11, [96, 48]),
    emf_rec(38, [2, 0, 3, 0, 0x00FF00]), emf_rec(37, [2]),
    poly16(86, [(100, 50), (200, 50), (200, 100), (100, 100)]),
    emf_rec(42, [10, 10, 60, 40]), emf_rec(59, []), emf_rec(27, [0, 0]), emf_rec(54, [50, 50]),
    emf_rec(60, []), emf_rec(64, []), emf_rec(33, []), emf_rec(36, [0x3F800000, 0, 0, 0x3F800000, 0, 0, 2]),
    emf_rec(34, [0xFFFFFFFF]),
]
open(f"{out}/emf-shapes", "wb").write(b"\x04" + emf(emf_shapes, (0, 0, 2540, 1270)))
open(f"{out}/emf-shapes-natural", "wb").write(b"\x09" + emf(emf_shapes, (0, 0, 1000, 2000)))
PY
rm -f "$pic"/*.tmp

# Settings files.
p=corpus/profile
printf '[KZ]\r\nOpen=1\r\nNO=A1\r\n' > "$p/plain-crlf"
printf '\xEF\xBB\xBF; comment\n[kz]\n open = 0x1F \nNO="  B2  "\n[Database]\nEngine=postgresql\nHost=db\n' > "$p/utf8-bom"
printf '[KZ]\nNO=\xD2\xBD\xD4\xBA\nOpen=$ff\n[KZ]\nNO=second\n' > "$p/gbk-duplicate"
printf 'stray line\n[Other]\nx=1\n[KZ\nOpen=-1\nNO\n=empty\n\x1a' > "$p/broken"

# Statements, as the program writes them and as a search hands them over.
s=corpus/jetsql
printf "SELECT * FROM Surgery WHERE 客户编号=客户编号 AND 手术日期>=#2003-1-15# AND 手术日期<=#12/31/2003 10:30 PM#" > "$s/filter"
printf "SELECT RIGHT(客户编号,4) as MaxId FROM tUserInfo WHERE LEFT(客户编号,10) = 'A120061207' ORDER BY 客户编号 DESC" > "$s/maxid"
printf "DELETE * FROM Surgery WHERE 客户编号='A1''s'" > "$s/delete"
printf "SELECT * FROM [Class] WHERE 父类别='' AND [User].IsSYS=true or x like '%%a%%'" > "$s/brackets"
printf "2003.01.15 23:59:59" > "$s/date-dots"
printf "1/1/30 12:00 AM" > "$s/date-short"

# Running numbers as read from saved customer numbers.
c=corpus/customerno
for v in 0001 9999 ' $1F' 0x7FFFFFFF -2147483648 '+12' 'x0A'; do
  printf '%s' "$v" > "$c/$(printf '%s' "$v" | od -An -tx1 | tr -d ' \n')"
done
echo "seeds written"
