#!/bin/sh
# Installs what the 32-bit ARM (armhf) cross build and its runs under
# qemu-arm need on Debian 12, through apt-get: the cross compiler, the
# user-mode emulator, and the armhf libraries the build links and the tests
# load (GoogleTest, hiredis, libfaketime, the C and C++ run-time).  Does
# nothing when all of it is there already.  Not FreeIPMI: libfreeipmi-dev
# is not multi-arch, and the armhf IPMI library is built without it.
set -eu

PACKAGES="
  crossbuild-essential-armhf qemu-user
  libc6:armhf libstdc++6:armhf
  libgtest-dev:armhf libhiredis-dev:armhf libfaketime:armhf
"

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

missing=""
for p in $PACKAGES; do
  installed "$p" || missing="$missing $p"
done

if [ -n "$missing" ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "setup-armhf: adding the armhf architecture" >&2
    $SUDO dpkg --add-architecture armhf
  fi
  echo "setup-armhf: installing$missing" >&2
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
