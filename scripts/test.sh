#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build
# The data tests run against PostgreSQL too (the pg.* tests): on the server named by
# BELCARA_TEST_PG, or else on a throw-away one when the server binaries are installed; without
# either those tests are skipped.
if [ -z "${BELCARA_TEST_PG:-}" ] && ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
  pgdir=$(mktemp -d /tmp/belcara-pg.XXXXXX)
  root=$(pwd)
  trap 'bash "$root/scripts/pg-test-server.sh" stop "$pgdir"' EXIT
  if BELCARA_TEST_PG=$(bash scripts/pg-test-server.sh start "$pgdir" "${BELCARA_TEST_PG_PORT:-55432}"); then
    export BELCARA_TEST_PG
  else
    echo "No PostgreSQL test server could be started: the pg.* tests are skipped" >&2
  fi
fi
cd build
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600 "$@"
