#!/bin/sh
# The daemon's main job on the host platform: builds what is missing, starts
# Trendkeep with the built-in sensors and a local directory as the TF card,
# lets it run, shows what it did, and stops it again.
set -eu
cd "$(dirname "$0")/.."
scripts/setup.sh
[ -x build/bin/Trendkeep ] || scripts/build.sh build >/dev/null

card=${TRENDKEEP_DEMO_CARD:-$PWD/demo-card}
log=$card.log
mkdir -p "$card"
: > "$log"

echo "Starting Trendkeep with the card at $card (log: $log)"
TRENDKEEP_CARD=$card TRENDKEEP_LOG=$log TRENDKEEP_FOREGROUND=1 build/bin/Trendkeep &
pid=$!
trap 'kill -TERM $pid 2>/dev/null || true; wait $pid 2>/dev/null || true' EXIT INT TERM
sleep 15
kill -TERM $pid
wait $pid && status=0 || status=$?
trap - EXIT INT TERM
echo "Trendkeep stopped with exit status $status. Its log:"
cat "$log"
