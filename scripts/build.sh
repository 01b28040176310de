#!/bin/sh
# Builds the daemon, the host platform, the tools and the tests into
# build/ (or the directory given as the first argument, with any further
# CMake arguments after it).
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"
