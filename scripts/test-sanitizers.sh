#!/usr/bin/env bash
# The checking build: every test run once more with AddressSanitizer and UndefinedBehaviorSanitizer
# (clang, in build-asan/), any sanitizer report failing the run. It also builds the fuzz targets,
# which scripts/fuzz.sh runs. Arguments go to ctest (for example -R pictures).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

bash scripts/setup-deps.sh
# Lean: -O1 with line tables only (enough for readable reports), no benchmarks.
cmake -S . -B build-asan -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_CXX_FLAGS="-O1 -gline-tables-only" -DBELCARA_SANITIZE=ON -DBELCARA_BENCH=OFF \
  ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} >/dev/null
cmake --build build-asan

source scripts/sanitizer-env.sh
cd build-asan
QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 900 "$@"
