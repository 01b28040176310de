#!/bin/sh
# Measures Trendkeep beside RRDtool and prints one table: the store's
# functions and librrd in process (recording, flushing, day answers, day
# switch, start-up, bytes written per round), then the real daemon with 258
# sensors (FIFO round trips, answers per second under a flood, peak RSS, CPU
# over an idle window), and the host IPMI library's refresh against
# ipmi_sim (40 sensors).  See docs/bench.md.
#
#   scripts/bench.sh [--quick] [--build-dir DIR] [--no-daemon]
#
# --quick: minimal repetitions and short windows, for CI (about a minute
# once built).  Builds DIR (default build-bench, Release) when needed.
# Exits 0 unless something breaks.
set -eu
cd "$(dirname "$0")/.."

build_dir=build-bench
quick=""
extra=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick="--quick" ;;
    --no-daemon) extra="--no-daemon" ;;
    --build-dir) build_dir=$2; shift ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done

# Google Benchmark and librrd (the RRDtool side) come from Debian.
missing=""
for p in libbenchmark-dev librrd-dev pkg-config; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "bench: missing packages:$missing (apt-get install them as root)" >&2
    exit 1
  fi
  echo "bench: installing$missing" >&2
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

started=$(date +%s)
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DTK_BUILD_BENCH=ON >"$build_dir.configure.log" 2>&1 || {
  cat "$build_dir.configure.log" >&2
  exit 1
}
rm -f "$build_dir.configure.log"
cmake --build "$build_dir" -j"$(nproc)" --target trendkeep_bench tk_fifo_client Trendkeep >/dev/null
built=$(date +%s)

# The daemon's FIFOs and pid file are at fixed paths in /var/tmp: the whole
# run gets its own /var/tmp (and, as root, its own loop-device card).
sh tests/private_vartmp.sh python3 bench/run_bench.py --build-dir "$build_dir" $quick $extra
finished=$(date +%s)
echo
echo "build $((built - started)) s, measurements $((finished - built)) s"
