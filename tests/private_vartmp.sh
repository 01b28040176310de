#!/bin/sh
# Runs a command in its own mount namespace with a private /var/tmp where the system allows it (root on Linux), so
# that tests of the daemon's fixed FIFO and pid paths never meet; elsewhere it runs the command as is.
set -eu
if [ -z "${TK_ISOLATED:-}" ] && unshare -m true 2>/dev/null; then
  exec unshare -m sh -c 'mount -t tmpfs -o mode=1777 tmpfs /var/tmp && TK_ISOLATED=1 exec "$@"' sh "$@"
fi
exec "$@"
