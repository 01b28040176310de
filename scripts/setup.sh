#!/bin/sh
# Installs everything the build, the demo and the tests need on Debian 12,
# through apt-get; does nothing when all of it is there already.  The
# dpkg-dev line is for the package checks: dpkg-shlibdeps, xz for the
# package's data, systemd-analyze, and man, which it asks for the unit's
# manual page; then Prometheus for its promtool, which the end-to-end tests
# hand the tools' exports to; last the formatters that CI checks the tree
# with.
set -eu

PACKAGES="
  g++ make cmake pkg-config python3 git ca-certificates tzdata procps
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libhiredis-dev redis-server redis-tools
  libfreeipmi-dev openipmi
  faketime libfaketime strace time
  clang libclang-rt-14-dev librrd-dev
  dpkg-dev xz-utils systemd man-db
  prometheus
  clang-format black
"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -n "$missing" ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "setup: installing$missing" >&2
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
