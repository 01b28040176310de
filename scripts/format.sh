#!/bin/sh
# The tree's formatting: clang-format (.clang-format) for the C and C++
# files, black (pyproject.toml) for the Python files, both from Debian.
#
#   scripts/format.sh          reformat every tracked file in place
#   scripts/format.sh --check  change nothing; list the files that are not
#                              formatted and exit 1 when there are any
set -eu
cd "$(dirname "$0")/.."
check=0
case ${1:-} in
  --check) check=1 ;;
  "") ;;
  -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "format.sh: unknown argument $1 (try --help)" >&2; exit 2 ;;
esac
for tool in clang-format black; do
  command -v "$tool" >/dev/null || { echo "format.sh: $tool is missing (scripts/setup.sh installs it)" >&2; exit 2; }
done
c_files=$(git ls-files '*.c' '*.cpp' '*.h')
py_files=$(git ls-files '*.py')
if [ "$check" = 0 ]; then
  # shellcheck disable=SC2086
  clang-format -i $c_files
  # shellcheck disable=SC2086
  black -q $py_files
  exit 0
fi
bad=""
for f in $c_files; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad="$bad $f"
done
# shellcheck disable=SC2086
black_out=$(black --check $py_files 2>&1) || bad="$bad $(echo "$black_out" | sed -n 's/^would reformat //p' | xargs)"
if [ -n "$bad" ]; then
  echo "format.sh: not formatted (run scripts/format.sh):" >&2
  for f in $bad; do echo "  $f" >&2; done
  exit 1
fi
echo "format.sh: $(echo $c_files | wc -w) C/C++ and $(echo $py_files | wc -w) Python files formatted" >&2
