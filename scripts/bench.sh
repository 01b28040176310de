#!/bin/sh
# Measures Trendkeep beside RRDtool and prints one table: the store's
# functions and librrd in process (recording, flushing, day answers, day
# switch, start-up, bytes written per round), then the real daemon with 258
# sensors, an earlier revision's daemon first and this tree's after it, on
# the same card with the same client (answers per second under a flood
# across the daemon's midnight, the recording after a five-minute boundary
# quiet and under that flood, FIFO round trips, peak RSS, CPU over an idle
# window, start to first answer), and the host IPMI library's refresh
# against ipmi_sim (40 sensors).  See docs/bench.md.
#
#   scripts/bench.sh [--quick] [--build-dir DIR] [--no-daemon] [--before REV|none]
#
# --quick: minimal repetitions and short windows, for CI (about a minute
# and a half once built); it measures no earlier daemon unless --before is
# given.
# --before REV: the revision whose daemon is measured before this tree's
# (default afe3fbd; none: only this tree's).  It is exported with git
# archive into build-bench-before/src and its Trendkeep alone is built
# (Release) in build-bench-before/build, kept for the next run of the same
# revision.  Without git or the revision the run goes on without it.
# Builds DIR (default build-bench, Release) when needed.  Exits 0 unless
# something breaks.
set -eu
cd "$(dirname "$0")/.."

build_dir=build-bench
before_dir=build-bench-before
quick=""
extra=""
before_rev=afe3fbd
before_given=""
while [ $# -gt 0 ]; do
  case "$1" in
    --quick) quick="--quick" ;;
    --no-daemon) extra="--no-daemon" ;;
    --build-dir) build_dir=$2; shift ;;
    --before)
      [ $# -ge 2 ] || { echo "bench: --before needs a revision or none (see --help)" >&2; exit 2; }
      before_rev=$2; before_given=1; shift ;;
    -h|--help) sed -n '2,23p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "bench: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$quick" ] && [ -z "$before_given" ]; then
  before_rev=none
fi
if [ -n "$extra" ]; then
  before_rev=none
fi

# Google Benchmark and librrd (the RRDtool side) and libfaketime (the
# daemon's clock, of this machine's architecture: the armhf tests may have
# installed another) come from Debian.
faketime_pkg=libfaketime:$(dpkg --print-architecture)
missing=""
for p in libbenchmark-dev librrd-dev pkg-config faketime "$faketime_pkg"; do
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
faketime_lib=$(dpkg -L "$faketime_pkg" | grep '/libfaketimeMT\.so\.1$' | head -n 1)

# The daemon of revision $1, built alone in $before_dir; kept while the
# revision stays the same.  Says why and fails when it cannot be had.
build_before() {
  if ! command -v git >/dev/null 2>&1; then
    echo "bench: git is not installed: no daemon before this tree's is measured" >&2
    return 1
  fi
  if ! commit=$(git rev-parse --verify --quiet "$1^{commit}" 2>/dev/null); then
    echo "bench: no revision $1 here (not a git checkout, or unknown): no daemon before this tree's is measured" >&2
    return 1
  fi
  if [ -x "$before_dir/build/bin/Trendkeep" ] && [ "$(cat "$before_dir/revision" 2>/dev/null)" = "$commit" ]; then
    echo "bench: the daemon of $1 is built already in $before_dir" >&2
    return 0
  fi
  echo "bench: building the daemon of $1 in $before_dir" >&2
  rm -rf "$before_dir"
  mkdir -p "$before_dir/src"
  git archive "$commit" | tar -x -C "$before_dir/src" || true
  if [ ! -f "$before_dir/src/CMakeLists.txt" ]; then
    echo "bench: git archive $1 failed: no daemon before this tree's is measured" >&2
    return 1
  fi
  if ! cmake -S "$before_dir/src" -B "$before_dir/build" -DCMAKE_BUILD_TYPE=Release >"$before_dir/build.log" 2>&1 ||
    ! cmake --build "$before_dir/build" -j"$(nproc)" --target Trendkeep >>"$before_dir/build.log" 2>&1; then
    tail -n 20 "$before_dir/build.log" >&2
    echo "bench: the daemon of $1 did not build (see $before_dir/build.log): none before this tree's is measured" >&2
    return 1
  fi
  echo "$commit" >"$before_dir/revision"
}

started=$(date +%s)
cmake --preset build-bench -B "$build_dir" >"$build_dir.configure.log" 2>&1 || {
  cat "$build_dir.configure.log" >&2
  exit 1
}
rm -f "$build_dir.configure.log"
cmake --build "$build_dir" -j"$(nproc)" --target trendkeep_bench tk_fifo_client Trendkeep trendkeep-card trendkeep-query >/dev/null
before=""
if [ "$before_rev" != none ] && build_before "$before_rev"; then
  before="--before-bin $before_dir/build/bin --before-label $before_rev"
fi
built=$(date +%s)

# The daemon's FIFOs and pid file are at fixed paths in /var/tmp: the whole
# run gets its own /var/tmp (and, as root, its own loop-device card).
sh tests/private_vartmp.sh python3 bench/run_bench.py --build-dir "$build_dir" $quick $extra $before \
  ${faketime_lib:+--faketime-lib "$faketime_lib"}
finished=$(date +%s)
echo
echo "build $((built - started)) s, measurements $((finished - built)) s"
