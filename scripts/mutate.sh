#!/bin/sh
# The planted-fault score of the test suite: how many of the faults in
# tests/mutants.txt the tests notice.
#
# Works on a copy of the working tree (tracked and untracked files; no
# .git, no build directories) in a fresh directory under $TK_MUTATE_DIR
# (default /tmp; not /var/tmp, which the end-to-end tests replace by a
# private one).  Builds the copy once and runs the whole suite on it
# unmutated; every test must pass.  Then, for each fault in turn: plant it,
# rebuild, run the fast tests (everything but the end-to-end tests) and,
# when they all pass, the end-to-end tests; take the fault out again.
#
# Prints one line per fault on standard output:
#   caught  NAME  by TEST     the first test that failed
#   MISSED  NAME              every test passed with the fault in
#   BROKEN NAME               the fault does not apply or does not compile
# and at the end "caught N of M".  Progress and reasons go to standard
# error.  Exits 0 when every fault was caught, 1 when some were missed, 2 on
# a usage or set-up error or a broken fault.
set -u

here=$(cd "$(dirname "$0")/.." && pwd)
mutants=$here/tests/mutants.txt
fast_timeout=120
e2e_timeout=300

usage() {
  cat <<'EOF'
Usage: scripts/mutate.sh [--list] [--only NAME[,NAME...]] [--fast] [--exclude REGEX]
                         [--keep] [--help]

Plants each fault of tests/mutants.txt in a copy of the tree, rebuilds it and
runs the tests; reports which faults the tests catch.

  --list        list the faults (and any record that no longer applies), run nothing
  --only NAMES  only these faults, comma-separated
  --fast        unit and host tests only, no end-to-end tests
  --exclude RE  leave out the tests whose names match RE (ctest -E), e.g. a test
                that fails on this machine without any fault
  --keep        keep the work directory (copy, build, logs) and print its path
  --help        this text

The work directory is made under $TK_MUTATE_DIR (default /tmp).
Exit status: 0 every fault caught, 1 some missed, 2 usage or set-up error
or a broken fault.
EOF
}

die() {
  echo "mutate.sh: $*" >&2
  exit 2
}

# The record parser, checker, applier and tree copier: scripts/mutate.py.
py() {
  python3 "$here/scripts/mutate.py" "$@"
}

mode=run
only=""
fast=0
keep=0
exclude=""
while [ $# -gt 0 ]; do
  case $1 in
    --list) mode=list ;;
    --only)
      [ $# -ge 2 ] || { echo "mutate.sh: --only needs a list of names" >&2; usage >&2; exit 2; }
      shift
      only=$1
      ;;
    --only=*) only=${1#--only=} ;;
    --fast) fast=1 ;;
    --exclude)
      [ $# -ge 2 ] || { echo "mutate.sh: --exclude needs a test name pattern" >&2; usage >&2; exit 2; }
      shift
      exclude=$1
      ;;
    --exclude=*) exclude=${1#--exclude=} ;;
    --keep) keep=1 ;;
    --help | -h) usage; exit 0 ;;
    *) echo "mutate.sh: unknown argument: $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
if [ -n "$only" ] && [ -z "$(printf '%s' "$only" | tr -d ',')" ]; then
  die "--only needs a list of names"
fi

for tool in python3 cmake ctest; do
  command -v "$tool" >/dev/null 2>&1 || die "$tool is not installed"
done
[ -f "$mutants" ] || die "no fault list at $mutants"

tab=$(printf '\t')

if [ "$mode" = list ]; then
  table=$(py check "$mutants" "$here" "$only")
  rc=$?
  [ $rc -eq 3 ] && exit 2
  printf '%s\n' "$table" | while IFS=$tab read -r name file state what; do
    [ -n "$name" ] || continue
    if [ "$state" = ok ]; then
      printf '%-28s %-40s %s\n' "$name" "$file" "$what"
    else
      printf '%-28s %-40s %s  [BROKEN: %s]\n' "$name" "$file" "$what" "$state"
    fi
  done
  bad=$(printf '%s\n' "$table" | awk -F "$tab" 'NF && $3 != "ok"' | wc -l)
  total=$(printf '%s\n' "$table" | awk -F "$tab" 'NF' | wc -l)
  echo "$total faults, $bad that do not apply" >&2
  [ "$bad" -eq 0 ] && [ $rc -eq 0 ] || exit 2
  exit 0
fi

table=$(py check "$mutants" "$here" "$only")
case $? in
  0) ;;
  3) exit 2 ;;
  *) die "the fault list $mutants has text that is no record" ;;
esac
total=$(printf '%s\n' "$table" | awk -F "$tab" 'NF' | wc -l)
[ "$total" -gt 0 ] || die "no faults to plant"

# The work directory.  Not under /var/tmp: the end-to-end tests run in a
# mount namespace with a private /var/tmp, where the build is not to be seen.
parent=${TK_MUTATE_DIR:-/tmp}
[ -d "$parent" ] || die "TK_MUTATE_DIR=$parent is not a directory"
parent=$(cd "$parent" && pwd -P)
case "$parent/" in
  /var/tmp/*) die "the work directory must not be under /var/tmp (the end-to-end tests hide it); set TK_MUTATE_DIR" ;;
esac
work=$(mktemp -d "$parent/trendkeep-mutate.XXXXXX") || die "cannot make a work directory in $parent"
# The tests run some programs as another user: the copy must be readable.
chmod 755 "$work"
# shellcheck disable=SC2317  # called by the trap
cleanup() {
  if [ "$keep" = 1 ]; then
    echo "mutate.sh: work directory kept: $work" >&2
  else
    rm -rf "$work"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

tree=$work/tree
build=$work/build
logs=$work/logs
mkdir -p "$tree" "$logs"

elapsed() { echo "$(($(date +%s) - $1)) s"; }

# The first test of a ctest log that failed for good (a test run again
# after a chance failure shows a failure first): the failed tests of the
# run in the order in which their results came.
first_failure() {
  name=$(awk '
    FNR == NR { sub(/^[0-9]+:/, ""); failed[$0] = 1; next }
    match($0, /Test +#[0-9]+: [^ ]+ /) {
      n = substr($0, RSTART, RLENGTH); sub(/^Test +#[0-9]+: /, "", n); sub(/ $/, "", n)
      if (n in failed) { print n; exit }
    }' "$build/Testing/Temporary/LastTestsFailed.log" "$1" 2>/dev/null)
  echo "${name:-(ctest failed without a failing test; see the log)}"
}

# Runs one part of the suite into log $1.  Returns ctest's status.
run_fast() {
  log=$1
  set --
  [ -n "$exclude" ] && set -- -E "$exclude"
  ctest --test-dir "$build" -LE e2e -j2 --stop-on-failure --timeout "$fast_timeout" \
    --output-on-failure "$@" >"$log" 2>&1 </dev/null
}
# No test is run twice: a test that fails by chance is a race to mend, not
# a fault caught.  (The end-to-end tests' own TIMEOUT of 900 s overrides
# --timeout, which bounds only tests without one.)
run_e2e() {
  log=$1
  set --
  [ -n "$exclude" ] && set -- -E "$exclude"
  ctest --test-dir "$build" -L e2e -j2 --stop-on-failure --timeout "$e2e_timeout" \
    --output-on-failure "$@" >"$log" 2>&1 </dev/null
}
build_tree() {
  cmake --build "$build" -j2 >"$1" 2>&1 </dev/null
}

began=$(date +%s)
echo "[0/$total] copying the tree to $tree ..." >&2
copied=$(py copy "$here" "$tree") || die "cannot copy the tree to $tree"
echo "[0/$total] $copied files copied; configuring and building ..." >&2
t0=$(date +%s)
if ! (cd "$tree" && cmake --preset build -B "$build") >"$logs/configure.log" 2>&1; then
  tail -n 30 "$logs/configure.log" >&2
  die "the unmutated tree does not configure (log above)"
fi
if ! build_tree "$logs/build.log"; then
  grep -m 20 -E 'error|Error' "$logs/build.log" >&2
  die "the unmutated tree does not build (errors above)"
fi
echo "[0/$total] built in $(elapsed "$t0"); the unmutated suite ..." >&2
t0=$(date +%s)
if ! run_fast "$logs/unmutated-fast.log"; then
  tail -n 40 "$logs/unmutated-fast.log" >&2
  die "the unmutated suite fails (first: $(first_failure "$logs/unmutated-fast.log")): nothing to measure"
fi
echo "[0/$total] fast tests pass in $(elapsed "$t0")" >&2
if [ "$fast" = 0 ]; then
  t0=$(date +%s)
  if ! run_e2e "$logs/unmutated-e2e.log"; then
    tail -n 40 "$logs/unmutated-e2e.log" >&2
    die "the unmutated suite fails (first: $(first_failure "$logs/unmutated-e2e.log")): nothing to measure"
  fi
  echo "[0/$total] end-to-end tests pass in $(elapsed "$t0")" >&2
fi

k=0
caught=0
missed=0
broken=0
# The fault loop reads the table from a file on descriptor 3, not from a
# pipe, so that its counts survive it and no test can eat the table.
printf '%s\n' "$table" >"$work/table"
while IFS=$tab read -r name file state what <&3; do
  [ -n "$name" ] || continue
  k=$((k + 1))
  echo "[$k/$total] $name ($what) ..." >&2
  t0=$(date +%s)
  if [ "$state" != ok ]; then
    echo "   does not apply: $state" >&2
    echo "BROKEN $name"
    broken=$((broken + 1))
    continue
  fi
  target=$tree/$file
  cp "$target" "$work/saved"
  if ! py apply "$mutants" "$tree" "$name" >/dev/null; then
    echo "BROKEN $name"
    broken=$((broken + 1))
    continue
  fi
  if ! build_tree "$logs/$name.build.log"; then
    echo "   does not compile:" >&2
    grep -m 10 -E 'error' "$logs/$name.build.log" | sed 's/^/   /' >&2
    verdict="BROKEN $name"
    broken=$((broken + 1))
  elif ! run_fast "$logs/$name.fast.log"; then
    verdict="caught  $name  by $(first_failure "$logs/$name.fast.log")"
    caught=$((caught + 1))
  elif [ "$fast" = 0 ] && ! run_e2e "$logs/$name.e2e.log"; then
    verdict="caught  $name  by $(first_failure "$logs/$name.e2e.log")"
    caught=$((caught + 1))
  else
    verdict="MISSED  $name"
    missed=$((missed + 1))
  fi
  # Back to the original text.  A plain copy gives the file a new time, so
  # the next build compiles it again; keeping the old time would leave the
  # fault's objects in place.
  cp "$work/saved" "$target"
  touch "$target"
  cmp -s "$work/saved" "$target" || die "cannot restore $file after $name"
  echo "$verdict"
  echo "   $(elapsed "$t0")" >&2
done 3<"$work/table"

# A kept build is left as the unmutated tree builds it.
if [ "$keep" = 1 ] && ! build_tree "$logs/rebuild.log"; then
  echo "mutate.sh: the kept build does not rebuild; see $logs/rebuild.log" >&2
fi
echo "mutate.sh: finished in $(elapsed "$began")" >&2
echo "caught $caught of $total"
[ "$broken" -gt 0 ] && exit 2
[ "$missed" -gt 0 ] && exit 1
exit 0
