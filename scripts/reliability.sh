#!/bin/sh
# The reliability suite in one go (docs/reliability.md): every fuzz target for
# TK_FUZZ_SECONDS (20) seconds (scripts/fuzz.sh) on one core while the other
# runs the fault walk and the kill -9 rounds of
# tests/e2e/test_reliability.py, in their short forms, or in their long ones
# with TK_RELIABILITY=1.  Builds build/ when the daemon is not there yet; logs
# go to build/reliability/.  Exits 0 when both parts passed.
set -u
cd "$(dirname "$0")/.."
top=$(pwd)
began=$(date +%s)
if [ ! -x build/bin/Trendkeep ]; then
  echo "== reliability: building build/" >&2
  scripts/build.sh build >/dev/null || exit 1
fi
logs=build/reliability
mkdir -p "$logs"
sh scripts/fuzz.sh "${TK_FUZZ_SECONDS:-20}" >"$logs/fuzz.log" 2>&1 &
fuzz_pid=$!

failed=""
echo "== reliability: test_reliability${TK_RELIABILITY:+ (TK_RELIABILITY=$TK_RELIABILITY)}" >&2
if ! (cd tests/e2e && TK_BIN_DIR="$top/build/bin" PYTHONDONTWRITEBYTECODE=1 \
      sh ../private_vartmp.sh python3 -m unittest -v test_reliability) >"$logs/test_reliability.log" 2>&1; then
  failed=" test_reliability"
  tail -n 60 "$logs/test_reliability.log" >&2
fi
grep -E '^(fault walk|kill -9:)' "$logs/test_reliability.log" | sed 's/^/   /' >&2

echo "== reliability: waiting for the fuzzers" >&2
if ! wait "$fuzz_pid"; then
  failed="$failed fuzz"
  tail -n 60 "$logs/fuzz.log" >&2
fi
sed -n '/executions per target/,$p' "$logs/fuzz.log" >&2

echo "== reliability: finished in $(($(date +%s) - began)) s${failed:+; failed:$failed}" >&2
[ -z "$failed" ]
