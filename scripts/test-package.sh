#!/bin/sh
# The Debian packages of the normal and the armhf build (files, machine,
# dependencies), a firmware build's install, and the amd64 package on this
# machine: installed, its unit verified, its daemon started as the unit
# starts it (a temporary card, a private /var/tmp) and asked for the count,
# removed, purged, the machine left as it was.  Started as the unit starts
# it, the daemon's FIFOs must be root's alone (prwx------), and aging
# /var/tmp under the package's tmpfiles.d rule must spare its paths.
# TK_NATIVE_BUILD and TK_ARMHF_BUILD name the builds (build, build-armhf;
# configured if new).
set -eu
export LC_ALL=C
cd "$(dirname "$0")/.."
top=$(pwd)
sh scripts/setup.sh && sh scripts/setup-armhf.sh
SUDO=$([ "$(id -u)" -eq 0 ] || echo sudo)
work=$(mktemp -d /tmp/trendkeep-package-XXXXXX)
installed=""
# A run cut short still takes away the package and the card directory it made.
cleanup() { rm -rf "$work"; [ -z "$installed" ] || { $SUDO dpkg --purge trendkeep; $SUDO rm -rf /var/lib/trendkeep; } >/dev/null 2>&1; }
trap cleanup EXIT
trap 'exit 1' INT TERM
failures=""
check() { # check WHAT COMMAND...
  what=$1 && shift
  if "$@"; then echo "ok: $what" >&2; else echo "FAILED: $what" >&2 && failures="$failures
  $what"; fi
}

# Both packages hold these, and none of the shared /usr/local directories.
l=./usr/local
files="./etc/default/trendkeep ./usr/lib/tmpfiles.d/ ./usr/lib/tmpfiles.d/trendkeep.conf $l/bin/Trendkeep $l/bin/trendkeep-card $l/bin/trendkeep-query $l/lib/systemd/
  $l/lib/systemd/system/ $l/lib/systemd/system/trendkeep-textfile.service
  $l/lib/systemd/system/trendkeep-textfile.timer $l/lib/systemd/system/trendkeep.service $l/lib/trendkeep/ $l/lib/trendkeep/libbmc_services.so
  $l/lib/trendkeep/libipmi.so.13 $l/lib/trendkeep/libzelvar_redis_access_interface.so.1 $l/share/man/man1/
  $l/share/man/man1/trendkeep-card.1 $l/share/man/man1/trendkeep-query.1 $l/share/man/man8/ $l/share/man/man8/Trendkeep.8"
# arch, build directory, its configuration (CMakePresets.json), ELF header
# (class, byte order, machine), dependencies.
while read -r arch dir preset elf deps; do
  [ -f "$dir/CMakeCache.txt" ] || cmake --preset "$preset" -B "$dir" -DTK_BUILD_TESTS=OFF >/dev/null
  cmake --build "$dir" -j"$(nproc)" --target Trendkeep trendkeep-query trendkeep-card >/dev/null
  rm -f "$dir"/packages/*.deb
  (cd "$dir" && cpack -G DEB -B "$top/$dir/packages" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log" >&2; exit 1; }
  deb=$(echo "$dir"/packages/trendkeep_*_"$arch".deb)
  eval "deb_$arch=\$deb"
  check "$arch: architecture" [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]
  check "$arch: depends on $deps" [ "$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/ *(.*//; s/^ *//' | sort | xargs)" = "$deps" ]
  check "$arch: files" [ "$(dpkg-deb -c "$deb" | awk '{print $6}' | xargs)" = "$(echo $files)" ]
  header=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/local/bin/Trendkeep | od -An -tx1 -v | tr -d ' \n')
  check "$arch: daemon is ELF $elf" [ "$(echo "$header" | cut -c1-12,37-40)" = "$elf" ]
done <<EOF
amd64 ${TK_NATIVE_BUILD:-build} build 7f454c4602013e00 libc6 libfreeipmi17 libgcc-s1 libhiredis0.14 libstdc++6
armhf ${TK_ARMHF_BUILD:-build-armhf} build-armhf 7f454c4601012800 libc6 libgcc-s1 libhiredis0.14 libstdc++6
EOF

# A firmware build: the host platform off, the platform's libraries given.
lib=$top/${TK_NATIVE_BUILD:-build}/lib
cmake -S . -B "$work/fw" -DTK_HOST_PLATFORM=OFF -DTK_BUILD_TESTS=OFF \
  "-DTK_PLATFORM_LIBRARIES=$lib/libbmc_services.so;$lib/libipmi.so.13;$lib/libzelvar_redis_access_interface.so.1" >/dev/null
cmake --build "$work/fw" --target Trendkeep >/dev/null
DESTDIR="$work/fw/root" cmake --install "$work/fw" >/dev/null
check "firmware build installs the daemon alone" [ "$(cd "$work/fw/root" && find . -type f | sort | xargs)" = \
  "./usr/local/bin/Trendkeep ./usr/local/share/man/man8/Trendkeep.8" ]

if dpkg-query -W trendkeep >/dev/null 2>&1 || [ -e /var/lib/trendkeep ]; then
  check "trendkeep not installed here before the test" false
else
  snapshot() { find /usr/local /usr/lib/tmpfiles.d /etc/default /etc/systemd /var/lib -xdev ! -path '/var/lib/dpkg*' ! -path '/var/lib/apt*' \
    -printf '%p %y %m %u %g\n' 2>/dev/null | sort; }
  snapshot >"$work/before"
  unit=/usr/local/lib/systemd/system/trendkeep.service
  for history in none kept; do
    installed=yes
    $SUDO dpkg -i "$deb_amd64" >/dev/null
    check "card directory root's, not world-writable" [ "$(stat -c %U%A /var/lib/trendkeep/card)" = rootdrwxr-xr-x ]
    check "systemd-analyze verify" systemd-analyze verify "$unit" "${unit%.service}-textfile.service" "${unit%.service}-textfile.timer"
    mkdir "$work/card"
    # Started with the unit's own UMask=, Environment= and ExecStart=.  Then,
    # where systemd-tmpfiles is, the private /var/tmp is aged as if all in it
    # were old ($3), under the package's rule, with a name the daemon would
    # leave beside its FIFO and a file of someone else's in it; the daemon
    # must still answer.
    printf 'e /var/tmp - - - 0\n' >"$work/age.conf"
    check "the unit's daemon answers count" $SUDO sh tests/private_vartmp.sh sh -c '
      umask "$(sed -n "s/^UMask=//p" "$1")"
      env $(sed -n "s/^Environment=//p" "$1") TRENDKEEP_CARD="$2" $(sed -n "s/^ExecStart=//p" "$1") 2>"$2.log" & pid=$!
      for i in $(seq 50); do n=$(/usr/local/bin/trendkeep-query --timeout 1 count 2>/dev/null) && break; sleep 0.2; done
      stat -c "%A %U %G" /var/tmp/pipe_restful_to_cups /var/tmp/pipe_cups_to_restful >"$2.fifos"
      if command -v systemd-tmpfiles >/dev/null; then
        mkfifo /var/tmp/pipe_cups_to_restful.AbCdEf
        echo stale >/var/tmp/left-behind
        systemd-tmpfiles --clean "$3" /usr/lib/tmpfiles.d/trendkeep.conf
        ls /var/tmp >"$2.kept"
        n=$(/usr/local/bin/trendkeep-query --timeout 1 count 2>/dev/null)
      fi
      kill -TERM $pid; wait $pid && [ "${n:-0}" -gt 0 ] || { cat "$2.log" >&2; false; }' sh "$unit" "$work/card" "$work/age.conf"
    check "FIFOs root's alone under the unit's UMask" [ "$(xargs <"$work/card.fifos")" = "prwx------ root root prwx------ root root" ]
    if command -v systemd-tmpfiles >/dev/null; then
      check "systemd-tmpfiles reads the package's rule" sh -c 'systemd-tmpfiles --cat-config | grep -qx "# /usr/lib/tmpfiles.d/trendkeep.conf"'
      check "aging /var/tmp spares the daemon's paths alone" [ "$(xargs <"$work/card.kept")" = "Trendkeep pipe_cups_to_restful pipe_restful_to_cups" ]
    fi
    rm -rf "$work/card"
    $SUDO dpkg -r trendkeep >/dev/null
    check "remove keeps the settings and the card" [ ! -e /usr/local/bin/Trendkeep -a -f /etc/default/trendkeep -a -d /var/lib/trendkeep/card ]
    [ $history = none ] || $SUDO sh -c 'echo history >/var/lib/trendkeep/card/CPU0_Temp'
    $SUDO dpkg --purge trendkeep >/dev/null 2>"$work/purge"
    if [ $history = none ]; then
      check "purge removes the settings and the empty card" [ ! -e /etc/default/trendkeep -a ! -e /var/lib/trendkeep ]
    else
      check "purge keeps history and says so" sh -c '[ -f /var/lib/trendkeep/card/CPU0_Temp ] &&
        grep -q "history in /var/lib/trendkeep/card is kept" "$1"' sh "$work/purge"
      $SUDO rm -r /var/lib/trendkeep
    fi
    installed=""
  done
  snapshot >"$work/after"
  check "machine as it was" diff "$work/before" "$work/after"
fi

[ -z "$failures" ] || { echo "test-package: failed:$failures" >&2; exit 1; }
echo "test-package: every check passed" >&2
