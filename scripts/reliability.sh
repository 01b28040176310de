#!/bin/sh
# The reliability suite in its CI size, in one go (docs/reliability.md):
#
#   - every fuzz target for TK_FUZZ_SECONDS (20) seconds (scripts/fuzz.sh),
#   - the fault walk and the failing-card tests (tests/e2e/test_faults.py),
#   - TK_KILL_ROUNDS (200) kills with SIGKILL at random (test_kill9.py),
#   - the ten-day soak against the reference model (test_soak.py).
#
# The fuzzers run on one core while the daemon's tests run on the other.
# Builds build/ (scripts/build.sh) when the daemon is not there yet.
# Exits 0 when every part passed.
set -u
cd "$(dirname "$0")/.."
began=$(date +%s)

if [ ! -x build/bin/Trendkeep ]; then
  echo "== reliability: building build/" >&2
  scripts/build.sh build >/dev/null || exit 1
fi

export TK_RELIABILITY=1
export TK_KILL_ROUNDS="${TK_KILL_ROUNDS:-200}"
export TK_BIN_DIR="$PWD/build/bin"
export PYTHONDONTWRITEBYTECODE=1
mkdir -p build/reliability
fuzz_log=build/reliability/fuzz.log

sh scripts/fuzz.sh "${TK_FUZZ_SECONDS:-20}" >"$fuzz_log" 2>&1 &
fuzz_pid=$!

passed=0
failed=0
failures=""
for module in test_faults test_kill9 test_soak; do
  echo "== reliability: $module" >&2
  log=build/reliability/$module.log
  t0=$(date +%s)
  if (cd tests/e2e && sh ../private_vartmp.sh python3 -m unittest -v "$module") >"$log" 2>&1; then
    passed=$((passed + 1))
    verdict=passed
  else
    failed=$((failed + 1))
    failures="$failures $module"
    verdict=FAILED
  fi
  echo "   $module $verdict in $(($(date +%s) - t0)) s; log: $log" >&2
  grep -E '^(fault walk|kill -9:|soak:)' "$log" | sed 's/^/   /' >&2
  [ "$verdict" = FAILED ] && tail -n 40 "$log" >&2
done

echo "== reliability: waiting for the fuzzers" >&2
if wait "$fuzz_pid"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  failures="$failures fuzz"
fi
sed -n '/executions per target/,$p' "$fuzz_log" >&2
grep -q 'FAILED' "$fuzz_log" && tail -n 60 "$fuzz_log" >&2

echo "== reliability: finished in $(($(date +%s) - began)) s${failures:+; failed:$failures}" >&2
echo "reliability: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
