#!/bin/sh
# The whole test suite: set-up, the normal build with every test, then the
# unit and lifecycle tests again under AddressSanitizer with
# UndefinedBehaviorSanitizer, and under ThreadSanitizer.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== build and test" >&2
scripts/build.sh build
ctest --test-dir build --output-on-failure -j2

echo "== address and undefined-behaviour sanitizers" >&2
scripts/build.sh build-asan -DTK_SANITIZE=address
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -j2

echo "== thread sanitizer" >&2
scripts/build.sh build-tsan -DTK_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j2 -L unit
