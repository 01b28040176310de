#!/bin/sh
# The whole test suite: set-up, the formatting check, the normal build with
# every test but the reliability module, every test again under
# AddressSanitizer with UndefinedBehaviorSanitizer (but the IPMI module,
# three minutes there, which scripts/test-release.sh runs), the unit tests
# under ThreadSanitizer, and the reliability suite (fuzzers, fault walk,
# kills).  Every part runs; the exit status is non-zero when any part
# failed.  No test is run twice: a test that fails once is a race in the
# test or in the daemon, and fails the run.
#
# CI runs this and then scripts/test-release.sh (the IPMI module under the
# sanitizers, the armhf build under qemu-arm, the Debian packages, the
# benchmarks in their quick form).
set -u
cd "$(dirname "$0")/.."
case ${1:-} in
  -h|--help) sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "test.sh: no arguments expected (try --help)" >&2; exit 2 ;;
esac
scripts/setup.sh || exit 1
. scripts/steps.sh

normal() {
  scripts/build.sh build &&
    ctest --test-dir build --output-on-failure -j2 -E '^e2e_test_reliability$'
}
asan() {
  scripts/build.sh build-asan &&
    ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j2 -E '^e2e_test_ipmi$'
}
tsan() {
  TK_TARGETS="unit_tests lifecycle_tests" scripts/build.sh build-tsan &&
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j2 -L unit
}

began=$(date +%s)
step "formatting" sh scripts/format.sh --check
step "build and test" normal
step "address and undefined-behaviour sanitizers" asan
step "thread sanitizer" tsan
# Ten seconds per fuzz target: the fuzzers then take as long as the reliability module beside them.
step "reliability" env TK_FUZZ_SECONDS=10 sh scripts/reliability.sh
finish test.sh "$began"
