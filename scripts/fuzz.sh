#!/bin/sh
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz and runs each of them for a
# while, starting from its seed corpus in fuzz/corpus/<target>.  A crash, a
# sanitizer report or an input that runs longer than 5 seconds fails the
# script; the input that did it lands in build-fuzz/artifacts/<target>/.
#
#   scripts/fuzz.sh [SECONDS [TARGET...]]     default 20 seconds, every target
#
# Inputs found along the way stay in build-fuzz/corpus/<target> and are
# used again by the next run; the seeds in the repository are not touched.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-${TK_FUZZ_SECONDS:-20}}
[ $# -gt 0 ] && shift
targets="$*"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ is missing (apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi
echo "== fuzz: building into build-fuzz" >&2
TK_TARGETS=fuzz_targets scripts/build.sh build-fuzz >/dev/null

if [ -z "$targets" ]; then
  targets=$(ls build-fuzz/bin | sed -n 's/^fuzz_//p')
fi

failed=""
summary=""
for t in $targets; do
  bin=build-fuzz/bin/fuzz_$t
  [ -x "$bin" ] || { echo "fuzz: no target $t" >&2; failed="$failed $t"; continue; }
  corpus=build-fuzz/corpus/$t
  artifacts=build-fuzz/artifacts/$t
  mkdir -p "$corpus" "$artifacts"
  log=build-fuzz/fuzz_$t.log
  echo "== fuzz: $t for $seconds s" >&2
  set +e
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$bin" -max_total_time="$seconds" -timeout=5 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "fuzz/corpus/$t" >"$log" 2>&1
  rc=$?
  set -e
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  summary="$summary
  $t: ${execs:-?} executions in $seconds s, exit status $rc"
  if [ $rc -ne 0 ]; then
    failed="$failed $t"
    echo "fuzz: $t failed; the end of its log ($log):" >&2
    tail -n 40 "$log" >&2
  fi
done
echo "== fuzz: executions per target:$summary"
if [ -n "$failed" ]; then
  echo "fuzz: FAILED:$failed" >&2
  exit 1
fi
