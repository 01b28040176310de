#!/bin/sh
# The whole test suite, as CI runs it: set-up, the normal build with every
# test but the reliability module, every test again under AddressSanitizer with
# UndefinedBehaviorSanitizer, the unit tests under ThreadSanitizer, the
# reliability suite (fuzzers, fault walk, kills, soak), the benchmarks in
# their quick form, the armhf build with its tests under qemu-arm, and the
# Debian packages of both builds (the amd64 one installed and removed).
# Every part runs; the exit status is non-zero when any part failed.  A
# test that fails is run once more (the end-to-end tests race a fast fake
# clock on a loaded machine); its first failure stays in the output.
set -u
cd "$(dirname "$0")/.."
scripts/setup.sh || exit 1

failed=""
step() {
  name=$1
  shift
  echo "== $name" >&2
  start=$(date +%s)
  if "$@"; then
    echo "== $name: passed in $(( $(date +%s) - start )) s" >&2
  else
    echo "== $name: FAILED after $(( $(date +%s) - start )) s" >&2
    failed="$failed $name"
  fi
}

# The reliability module runs in its own step, beside the fuzzers.
normal() {
  scripts/build.sh build &&
    ctest --test-dir build --output-on-failure -j2 --repeat until-pass:2 -E '^e2e_test_reliability$'
}
asan() {
  scripts/build.sh build-asan -DTK_SANITIZE=address &&
    ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j2 --repeat until-pass:2
}
tsan() {
  scripts/build.sh build-tsan -DTK_SANITIZE=thread &&
    TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j2 -L unit
}

step "build and test" normal
step "address and undefined-behaviour sanitizers" asan
step "thread sanitizer" tsan
# Ten seconds per fuzz target: the fuzzers then take as long as the reliability module beside them.
step "reliability" env TK_FUZZ_SECONDS=10 sh scripts/reliability.sh
step "benchmarks (quick)" sh scripts/bench.sh --quick
step "armhf under qemu-arm" sh scripts/test-armhf.sh
step "packages" sh scripts/test-package.sh

if [ -n "$failed" ]; then
  echo "test.sh: failed:$failed" >&2
  exit 1
fi
echo "test.sh: every part passed" >&2
