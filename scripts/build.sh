#!/bin/sh
# Builds one of the configurations of CMakePresets.json into the directory
# of the same name: build (the default: daemon, host platform, tools,
# tests), build-asan, build-tsan, build-bench, build-fuzz, build-armhf.
# Further arguments go to CMake's configure step; TK_TARGETS, when set,
# names the targets to build (default: all).
set -eu
cd "$(dirname "$0")/.."
preset=${1:-build}
[ $# -gt 0 ] && shift
cmake --preset "$preset" "$@" >/dev/null
# shellcheck disable=SC2086
cmake --build "$preset" -j"$(nproc)" ${TK_TARGETS:+--target $TK_TARGETS}
