#!/bin/sh
# What CI checks after the test suite (scripts/test.sh): the IPMI module
# under AddressSanitizer (three minutes against a simulated BMC, kept out
# of the suite's own sanitizer run), the daemon as it ships, built for
# armhf and tested under qemu-arm, the Debian packages of both builds (the
# amd64 one installed and removed), and the benchmarks in their quick
# form.  Every part runs; the exit status is non-zero when any part failed.
set -u
cd "$(dirname "$0")/.."
case ${1:-} in
  -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "test-release.sh: no arguments expected (try --help)" >&2; exit 2 ;;
esac
scripts/setup.sh || exit 1
. scripts/steps.sh

ipmi_asan() {
  scripts/build.sh build-asan &&
    ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build-asan --output-on-failure -R '^e2e_test_ipmi$'
}

began=$(date +%s)
step "IPMI module under the address and undefined-behaviour sanitizers" ipmi_asan
step "armhf under qemu-arm" sh scripts/test-armhf.sh
step "packages" sh scripts/test-package.sh
step "benchmarks (quick)" sh scripts/bench.sh --quick
finish test-release.sh "$began"
