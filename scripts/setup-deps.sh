#!/usr/bin/env bash
# Installs the Debian packages the program needs to build, run and test, and prepares the
# machine-wide settings folder. Safe to run again: it installs only what is missing.
set -euo pipefail

PKGS=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6sql6-psql qt6-translations-l10n
  libsqlite3-dev sqlite3 libjpeg-dev libssl-dev postgresql-client
  libopencv-core-dev libopencv-imgproc-dev libopencv-features2d-dev libopencv-calib3d-dev
  libdlib-dev libdlib-data poppler-utils
  libgphoto2-dev qt6-multimedia-dev
  xvfb xauth xdotool imagemagick python3-xlib
  fonts-arphic-uming fonts-arphic-ukai
  dpkg-dev file acl openssl ccache restic
  clang clang-format libclang-rt-14-dev llvm-14
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# One settings file per machine, shared by every user of it.
if [ ! -d /var/lib/belcara ]; then
  $SUDO mkdir -p /var/lib/belcara
fi
$SUDO chmod 1777 /var/lib/belcara 2>/dev/null || true
# The file itself is root's (nobody can put a link or a file of their own in its place in the
# sticky folder) and writable by every user.
ini=/var/lib/belcara/Belcara.ini
if [ -f "$ini" ] && [ ! -L "$ini" ]; then
  $SUDO chown root:root "$ini" 2>/dev/null || true
  $SUDO chmod 0666 "$ini" 2>/dev/null || true
elif [ ! -e "$ini" ] && [ ! -L "$ini" ]; then
  $SUDO install -m 0666 -o root -g root /dev/null "$ini" 2>/dev/null || true
fi
