#!/bin/sh
# The daemon as it ships, for 32-bit ARM (armhf), tested on this machine
# under user-mode QEMU: set-up, the cross build into build-armhf (daemon,
# host platform libraries, tools, tests), then under qemu-arm the unit
# tests, the lifecycle tests, the host library tests and end-to-end tests of
# the real armhf daemon, and last the card check across architectures: the
# armhf and the x86-64 build write the same reference card byte for byte
# and each reads the other's.
#
# TK_ARMHF_E2E: the end-to-end modules to run (default: test_lifecycle).
# TK_NATIVE_BUILD: the x86-64 build directory for the card
# check (default: build).
set -eu
cd "$(dirname "$0")/.."
started=$(date +%s)

sh scripts/setup.sh
sh scripts/setup-armhf.sh

ARMHF=build-armhf
NATIVE=${TK_NATIVE_BUILD:-build}
# qemu-arm's loader prefix: the armhf run-time of the multiarch
# directories, loader included (see cmake/armhf-toolchain.cmake).
LOADER=/
top=$(pwd)
work=$(mktemp -d /tmp/trendkeep-armhf-XXXXXX)
trap 'rm -rf "$work"' EXIT INT TERM

echo "== armhf cross build" >&2
# -O1: the tests run the same code paths as -O2 with half the compile time.
scripts/build.sh build-armhf
# An ELF file of class 32-bit, little-endian, for machine 40 (ARM).
elf=$(head -c 20 "$ARMHF/bin/Trendkeep" | od -An -tx1 | tr -d ' \n')
case $elf in
  7f454c460101*2800) ;;
  *) echo "test-armhf: $ARMHF/bin/Trendkeep is no 32-bit ARM program" >&2; exit 1 ;;
esac

echo "== x86-64 programs for the card check" >&2
native_targets="unit_tests trendkeep-card"
cmake --preset build -B "$NATIVE" >/dev/null
# shellcheck disable=SC2086
cmake --build "$NATIVE" -j"$(nproc)" --target $native_targets

passed=0
failed=0
failures=""
# step NAME COMMAND...: runs one check and counts it.
step() {
  name=$1
  shift
  echo "== $name" >&2
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures="$failures
  $name"
  fi
}

# One run per test suite, so that a test that crashes the program (a bus
# error from an unaligned access, say) costs only the rest of its suite.
unit_tests() {
  suites=$(qemu-arm -L "$LOADER" "$ARMHF/bin/unit_tests" --gtest_list_tests | sed -n 's/^\([^ ][^ ]*\)\. *\(#.*\)*$/\1/p')
  [ -n "$suites" ] || return 1
  bad=""
  for suite in $suites; do
    rc=0
    qemu-arm -L "$LOADER" "$ARMHF/bin/unit_tests" --gtest_filter="$suite.*" >"$work/suite.log" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ]; then
      grep -v -E '^\[ +(OK|RUN) +\]' "$work/suite.log"
      [ "$rc" -gt 128 ] && echo "killed by signal $((rc - 128)) in: $(grep '^\[ RUN' "$work/suite.log" | tail -1)"
      bad="$bad $suite"
    fi
  done
  echo "unit test suites: $(echo "$suites" | wc -w), failed:${bad:- none}"
  [ -z "$bad" ]
}

# Each run of the lifecycle tests gets a private /var/tmp for the daemon's
# fixed FIFO paths.
lifecycle_tests() {
  sh tests/private_vartmp.sh qemu-arm -L "$LOADER" "$ARMHF/bin/lifecycle_tests" --gtest_brief=1
}

# CTest runs these through the toolchain file's CMAKE_CROSSCOMPILING_EMULATOR;
# the Redis store tests start the x86-64 redis-server, which serves the
# armhf client over a Unix socket.
host_tests() {
  ctest --test-dir "$ARMHF/tests/host" -j2 --output-on-failure
}

# test_lifecycle pulls a card only once the store answers: its "mkdir -p" of
# the card's directories is over by then, even under emulation.
e2e_module() {
  (cd tests/e2e && TK_BIN_DIR="$top/$ARMHF/bin" TK_DAEMON_WRAPPER="qemu-arm -L $LOADER" PYTHONDONTWRITEBYTECODE=1 \
    sh ../private_vartmp.sh python3 -m unittest "$1")
}

# run_one COMMAND...: a test program run that must have run and
# passed exactly one test (a filter that selects nothing passes silently).
run_one() {
  out=$("$@" 2>&1) || { printf '%s\n' "$out"; return 1; }
  printf '%s\n' "$out" | grep -q '^\[  PASSED  \] 1 test\.' || { printf '%s\n' "$out"; return 1; }
}

write_cards() {
  rm -rf "$work/x86-64" "$work/armhf"
  run_one env TK_CARD_OUT="$work/x86-64" "$NATIVE/bin/unit_tests" --gtest_filter=StoreTest.CrossArchReferenceCard &&
    run_one env TK_CARD_OUT="$work/armhf" qemu-arm -L "$LOADER" "$ARMHF/bin/unit_tests" --gtest_filter=StoreTest.CrossArchReferenceCard
}

# The two card trees hold the same files with the same bytes.
compare_cards() {
  (cd "$work/x86-64" && find . -type f | sort) >"$work/x86-64.files" &&
    (cd "$work/armhf" && find . -type f | sort) >"$work/armhf.files" &&
    cmp "$work/x86-64.files" "$work/armhf.files" || return 1
  [ -s "$work/x86-64.files" ] || return 1
  while read -r f; do
    cmp "$work/x86-64/$f" "$work/armhf/$f" || return 1
  done <"$work/x86-64.files"
  echo "$(wc -l <"$work/x86-64.files") files, byte for byte the same"
}

read_armhf_card_on_x86() {
  run_one env TK_CARD_IN="$work/armhf" "$NATIVE/bin/unit_tests" --gtest_filter=StoreTest.CrossArchReferenceCard
}

read_x86_card_on_armhf() {
  run_one env TK_CARD_IN="$work/x86-64" qemu-arm -L "$LOADER" "$ARMHF/bin/unit_tests" --gtest_filter=StoreTest.CrossArchReferenceCard
}

card_tools() {
  "$NATIVE/bin/trendkeep-card" check "$work/armhf" &&
    qemu-arm -L "$LOADER" "$ARMHF/bin/trendkeep-card" check "$work/x86-64"
}

step "unit tests under qemu-arm" unit_tests
step "lifecycle tests under qemu-arm" lifecycle_tests
step "host library tests under qemu-arm" host_tests
for module in ${TK_ARMHF_E2E:-test_lifecycle}; do
  if [ -f "tests/e2e/$module.py" ]; then
    step "end-to-end $module, armhf daemon under qemu-arm" e2e_module "$module"
  fi
done
step "reference card written by both builds" write_cards
step "reference cards compared with cmp" compare_cards
step "armhf card read by the x86-64 build" read_armhf_card_on_x86
step "x86-64 card read by the armhf build" read_x86_card_on_armhf
step "trendkeep-card check across architectures" card_tools

echo "armhf: $(($(date +%s) - started)) s" >&2
if [ "$failed" -ne 0 ]; then
  echo "armhf failures:$failures" >&2
fi
echo "armhf: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
