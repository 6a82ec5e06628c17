#!/usr/bin/env bash
# Runs every fuzz target of the sanitizer build (scripts/test-sanitizers.sh builds them) for a
# bounded time each, starting from its seed corpus in tests/fuzz/corpus/<target>/.
#   scripts/fuzz.sh                 all targets, 60 s each
#   scripts/fuzz.sh 3600 picture    one target for an hour
# A crash, a sanitizer report, one input taking more than 2 s or an allocation over 512 MB fails
# the run; the input that did it is left in fuzz-out/<target>/ as crash-*, timeout-* or oom-*.
# Inputs found that add coverage stay in fuzz-out/<target>/corpus (not in the repository).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(picture profile jetsql customerno)

source scripts/sanitizer-env.sh
failed=0
for t in "${targets[@]}"; do
  bin=build-asan/tests/fuzz/fuzz_$t
  [ -x "$bin" ] || { echo "fuzz: $bin is missing: run scripts/test-sanitizers.sh first" >&2; exit 1; }
  out=fuzz-out/$t
  mkdir -p "$out/corpus"
  log=$out/log.txt
  start=$(date +%s)
  if "$bin" -max_total_time="$seconds" -timeout=2 -malloc_limit_mb=512 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus" "tests/fuzz/corpus/$t" >"$log" 2>&1; then
    status=passed
  else
    status=FAILED
    failed=1
    tail -60 "$log"
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  secs=$(( $(date +%s) - start ))
  echo "fuzz $t: $status, ${runs:-?} inputs in ${secs} s ($(( ${runs:-0} / (secs > 0 ? secs : 1) )) per second), corpus $(ls "$out/corpus" | wc -l) + $(ls "tests/fuzz/corpus/$t" | wc -l) seeds"
done
exit $failed
