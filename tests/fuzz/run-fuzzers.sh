#!/usr/bin/env bash
# Builds the libFuzzer harnesses with clang (address and undefined-behaviour
# sanitizers, coverage-instrumented libraries) and runs each for a number of
# seconds over a working copy of its seed corpus, then prints the executions,
# coverage and corpus size of every run. Exits non-zero when a harness finds a
# fault (crash, sanitizer report, hang, runaway memory); the input is kept in
# the run's findings folder.
#
#   tests/fuzz/run-fuzzers.sh [SECONDS] [HARNESS...]
#
# SECONDS: per harness, default 60. HARNESS: fuzz_extract, fuzz_block_decoders,
# fuzz_roundtrip, fuzz_recover (default: all four, one after the other).
# Environment:
#   MORV_FUZZ_BUILD       build folder (default: build-fuzz in the source tree)
#   MORV_FUZZ_WORK        where corpora, logs and findings go (default: $MORV_FUZZ_BUILD/runs);
#                         a later run goes on from the corpus an earlier one grew
#   MORV_FUZZ_SKIP_BUILD  set to 1 to use the harnesses already built
#   CXX                   the clang++ to use (default: clang++)
set -euo pipefail

root=$(cd "$(dirname "$0")/../.." && pwd)
seconds=${1:-60}
shift || true
harnesses=("$@")
[ ${#harnesses[@]} -gt 0 ] || harnesses=(fuzz_extract fuzz_block_decoders fuzz_roundtrip fuzz_recover)
build=${MORV_FUZZ_BUILD:-$root/build-fuzz}
work=${MORV_FUZZ_WORK:-$build/runs}
cxx=${CXX:-clang++}

case $seconds in
  '' | *[!0-9]*) echo "usage: $0 [SECONDS] [HARNESS...]" >&2; exit 2 ;;
esac
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "run-fuzzers: $cxx not found; the fuzz build needs clang (apt-get install clang)" >&2
  exit 2
fi

if [ "${MORV_FUZZ_SKIP_BUILD:-0}" != 1 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMORV_FUZZ=ON -DMORV_SANITIZE=ON -DMORV_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build" -j 2 --target "${harnesses[@]}"
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1:allocator_may_return_null=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=0
summary=()
for harness in "${harnesses[@]}"; do
  exe=$build/tests/fuzz/$harness
  seeds=$root/tests/fuzz/corpus/$harness
  corpus=$work/$harness/corpus
  findings=$work/$harness/findings
  log=$work/$harness/last.log
  mkdir -p "$corpus" "$findings"
  cp -n "$seeds"/* "$corpus"/ 2>/dev/null || true
  dict=()
  [ -f "$root/tests/fuzz/$harness.dict" ] && dict=(-dict="$root/tests/fuzz/$harness.dict")

  echo "== $harness: $seconds s over $corpus"
  before=$(find "$findings" -type f | wc -l)
  status=0
  # -timeout: an input that runs this long counts as a hang. -malloc_limit_mb
  # and -rss_limit_mb: no packed file may make the extractor allocate without
  # bound (a block and its working buffers stay far below these).
  "$exe" -max_total_time="$seconds" -timeout=30 -malloc_limit_mb=512 -rss_limit_mb=2560 \
    -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" "$corpus" >"$log" 2>&1 \
    || status=$?

  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  files=$(find "$corpus" -type f | wc -l)
  bytes=$(du -sb "$corpus" | cut -f1)
  line="$harness: ${execs:-?} executions, cov ${cov:-?}, ft ${ft:-?}, corpus $files files ($bytes bytes)"
  after=$(find "$findings" -type f | wc -l)
  if [ "$status" -ne 0 ] || [ "$after" -ne "$before" ]; then
    line="$line: FINDING (exit $status), see $log and $findings"
    failed=1
    grep -E 'ERROR|FUZZ FINDING|runtime error|SUMMARY' "$log" | head -20 || true
  fi
  echo "$line"
  summary+=("$line")
done

echo "== summary"
printf '%s\n' "${summary[@]}"
exit $failed
