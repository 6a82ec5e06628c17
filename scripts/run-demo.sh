#!/usr/bin/env bash
# Installs what is missing, builds, makes a demo installation (once) and starts the program on it.
# Without a display the program runs under xvfb-run and a screenshot is saved instead.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/setup-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build

DEMO="$ROOT/demo"
if [ ! -f "$DEMO/Data/Data.mdb" ]; then
  echo "Making the demo installation in $DEMO ..."
  build/tools/belcara-demo "$DEMO"
fi
# The program finds its database and pictures beside its own executable.
cp -f build/Belcara/Belcara "$DEMO/Belcara"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  shot="$ROOT/build/screenshot.png"
  echo "There is no display here, so the program runs under xvfb-run and a screenshot is saved."
  xvfb-run -a -s "-screen 0 1280x800x24" bash -c '
    "$1/Belcara" & pid=$!
    sleep 9
    import -window root "$2"
    kill $pid
    wait $pid 2>/dev/null || true' _ "$DEMO" "$shot"
  echo "Screenshot: $shot"
else
  exec "$DEMO/Belcara"
fi
