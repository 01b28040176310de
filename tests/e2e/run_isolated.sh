#!/bin/sh
# Runs one end-to-end test module.  Where mount namespaces are allowed (root
# on Linux), it gets its own namespace with a private /var/tmp, so the
# daemon's fixed FIFO and pid paths of different tests never meet and the
# modules can run side by side.
set -eu
self=$(readlink -f "$0")
if [ -z "${TK_ISOLATED:-}" ] && unshare -m true 2>/dev/null; then
  exec unshare -m sh -c 'mount -t tmpfs -o mode=1777 tmpfs /var/tmp && TK_ISOLATED=1 exec "$0" "$@"' "$self" "$@"
fi
exec "${PYTHON:-python3}" -m unittest -v "$@"
