#!/usr/bin/env bash
# Draws every window of the program to PNG files over a small demo installation, offscreen, and
# checks that each file is there and is not one flat colour. Default folder: docs/ (the README's
# pictures); CI passes a temporary folder.
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=${1:-docs}
BUILD=${BUILD_DIR:-build}
WINDOWS=(main details records search login users audit hospital-number about large-picture
  compare-side compare-wipe compare-overlay
  consult-categories consult-subcategories consult-cases consult-compare export)

cmake -S . -B "$BUILD" -G Ninja >/dev/null
cmake --build "$BUILD" --target belcara-demo belcara-render-docs
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$BUILD/tools/belcara-demo" --customers 40 --cases 120 --seed 3 "$work/demo" >/dev/null
mkdir -p "$OUT"
for name in "${WINDOWS[@]}"; do rm -f "$OUT/$name.png"; done
rm -f "$OUT/sheet.jpg"
"$BUILD/tools/belcara-render-docs" "$work/demo" "$OUT" >/dev/null

failed=0
for name in "${WINDOWS[@]}"; do
  file=$OUT/$name.png
  spread=$(/usr/bin/identify -format '%[fx:standard_deviation]' "$file" 2>/dev/null || echo none)
  if [ "$spread" = none ]; then
    echo "FAIL: $file is missing or not a picture" >&2; failed=$((failed + 1))
  elif ! awk -v s="$spread" 'BEGIN { exit !(s > 0.01) }'; then
    echo "FAIL: $file is (almost) one flat colour" >&2; failed=$((failed + 1))
  fi
done
# The comparison sheet the export draws, as a publishable JPEG.
if ! /usr/bin/identify "$OUT/sheet.jpg" >/dev/null 2>&1; then
  echo "FAIL: $OUT/sheet.jpg is missing or not a picture" >&2; failed=$((failed + 1))
fi
echo "windows: $(( ${#WINDOWS[@]} - failed )) passed, $failed failed"
[ "$failed" -eq 0 ]
