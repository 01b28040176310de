#!/bin/sh
# What CI checks after the test suite (scripts/test.sh): the daemon as it
# ships, built for armhf and tested under qemu-arm, the Debian packages of
# both builds (the amd64 one installed and removed), and the benchmarks in
# their quick form.  Every part runs; the exit status is non-zero when any
# part failed.
set -u
cd "$(dirname "$0")/.."
case ${1:-} in
  -h|--help) sed -n '2,6p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  "") ;;
  *) echo "test-release.sh: no arguments expected (try --help)" >&2; exit 2 ;;
esac
scripts/setup.sh || exit 1
. scripts/steps.sh

began=$(date +%s)
step "armhf under qemu-arm" sh scripts/test-armhf.sh
step "packages" sh scripts/test-package.sh
step "benchmarks (quick)" sh scripts/bench.sh --quick
finish test-release.sh "$began"
