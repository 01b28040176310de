# Sourced by scripts/test.sh and scripts/test-release.sh: runs named parts,
# each timed, and sums them up.
failed=""

# step NAME COMMAND...: runs one part; a failure is remembered, not fatal.
step() {
  name=$1
  shift
  echo "== $name" >&2
  start=$(date +%s)
  if "$@"; then
    echo "== $name: passed in $(($(date +%s) - start)) s" >&2
  else
    echo "== $name: FAILED after $(($(date +%s) - start)) s" >&2
    failed="$failed; $name"
  fi
}

# finish PROGRAM BEGAN: says how it went; returns non-zero when a part failed.
finish() {
  took=$(($(date +%s) - $2))
  if [ -n "$failed" ]; then
    echo "$1: failed after $took s:${failed#;}" >&2
    return 1
  fi
  echo "$1: every part passed in $took s" >&2
}
