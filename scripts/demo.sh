#!/bin/sh
# The daemon's main job on the host platform: builds what is missing, starts
# Trendkeep with the built-in sensors and a local directory as the TF card,
# lets it run, shows what it did, and stops it again.
#
#   scripts/demo.sh [--ipmi-sim]
#
# --ipmi-sim: the sensors come from a simulated BMC instead, OpenIPMI's
# ipmi_sim on 127.0.0.1 (scripts/ipmisim.py), read over RMCP+ by the host
# IPMI library's FreeIPMI backend; its raw values follow a day as fast as
# the daemon's clock.  FreeIPMI's time-outs run on that clock too, so it
# runs 60 times faster (not 600) and for 60 s: an hour of history.
set -eu
cd "$(dirname "$0")/.."
ipmi_sim=
case "${1:-}" in
  --ipmi-sim) ipmi_sim=1 ;;
  "") ;;
  *) echo "demo: unknown argument $1 (--ipmi-sim or nothing)" >&2; exit 2 ;;
esac
began=$(date +%s)
scripts/setup.sh
[ -x build/bin/Trendkeep ] && [ -x build/bin/trendkeep-query ] && [ -x build/bin/trendkeep-card ] ||
  scripts/build.sh build >/dev/null

# A day passes 600 times faster under libfaketime: a real minute holds ten
# hours of samples, and the daemon records one slot every five fake minutes.
# (60 times with --ipmi-sim.)
card=$PWD/demo-card
log=$PWD/demo-card.log
svg=$PWD/demo-card.svg
report=$PWD/demo-report.html
if [ -n "$ipmi_sim" ]; then
  speed=${TRENDKEEP_DEMO_SPEED:-60}
  seconds=${TRENDKEEP_DEMO_SECONDS:-60}
else
  speed=${TRENDKEEP_DEMO_SPEED:-600}
  seconds=${TRENDKEEP_DEMO_SECONDS:-50}
fi
sensor=${TRENDKEEP_DEMO_SENSOR:-CPU0_Temp}
query=build/bin/trendkeep-query
cardtool=build/bin/trendkeep-card


# libfaketime built for the daemon's machine: a host with a cross build can
# hold one per architecture, and the loader skips one of the wrong kind.
elf_kind() { { od -An -tx1 -j4 -N1 "$1"; od -An -tx1 -j18 -N2 "$1"; } | tr -d ' \n'; }
want=$(elf_kind build/bin/Trendkeep)
lib=
for candidate in /usr/lib/*/faketime/libfaketimeMT.so.1 /usr/lib/faketime/libfaketimeMT.so.1; do
  if [ -f "$candidate" ] && [ "$(elf_kind "$candidate")" = "$want" ]; then
    lib=$candidate
    break
  fi
done
if [ -z "$lib" ]; then
  echo "demo: libfaketime for this machine is not installed (scripts/setup.sh installs it)" >&2
  exit 1
fi
if [ -p /var/tmp/pipe_restful_to_cups ] && [ -s /var/tmp/Trendkeep ] &&
   kill -0 "$(cat /var/tmp/Trendkeep)" 2>/dev/null; then
  echo "demo: a Trendkeep daemon is running already (pid $(cat /var/tmp/Trendkeep)); stop it first" >&2
  exit 1
fi

rm -rf "$card"
mkdir -p "$card"
: > "$log"
# The fake clock starts at today's midnight; the queries name the day
# explicitly, so they need no fake clock of their own.
day=$(date +%Y-%m-%d)

pid=
simpid=
simdir=
stop_daemon() {
  if [ -n "$pid" ]; then
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=
  fi
  if [ -n "$simpid" ]; then
    kill -TERM "$simpid" 2>/dev/null || true
    wait "$simpid" 2>/dev/null || true
    simpid=
  fi
  [ -z "$simdir" ] || rm -rf "$simdir"
}
trap stop_daemon EXIT
trap 'stop_daemon; exit 130' INT TERM

sensors="built-in sensors"
if [ -n "$ipmi_sim" ]; then
  # The simulator writes the daemon's two settings into $simdir/env once
  # its controller answers; its auth file is there too (mode 600).
  simdir=$(mktemp -d /tmp/trendkeep-ipmi-sim-XXXXXX)
  python3 scripts/ipmisim.py "$simdir" "$speed" >"$simdir/ipmisim.log" 2>&1 &
  simpid=$!
  waited=0
  until [ -s "$simdir/env" ]; do
    if ! kill -0 "$simpid" 2>/dev/null || [ "$waited" -ge 100 ]; then
      echo "demo: the simulated BMC did not start:" >&2
      cat "$simdir/ipmisim.log" "$simdir/sim.log" >&2 2>/dev/null || true
      exit 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  TRENDKEEP_IPMI=$(sed -n 's/^TRENDKEEP_IPMI=//p' "$simdir/env")
  TRENDKEEP_IPMI_AUTH=$(sed -n 's/^TRENDKEEP_IPMI_AUTH=//p' "$simdir/env")
  export TRENDKEEP_IPMI TRENDKEEP_IPMI_AUTH
  sensors="a simulated BMC (ipmi_sim, $TRENDKEEP_IPMI)"
else
  unset TRENDKEEP_IPMI TRENDKEEP_IPMI_AUTH
fi

echo "== Starting Trendkeep: $sensors, card $card, clock from $day 00:00 at x$speed"
# As the unit starts it: FIFOs that only root and the daemon's user may
# open, which the queries below would otherwise warn of.
umask 077
env -u TRENDKEEP_SENSORS TRENDKEEP_CARD="$card" TRENDKEEP_LOG="$log" TRENDKEEP_FOREGROUND=1 \
  LD_PRELOAD="$lib" FAKETIME="@$day 00:00:00 x$speed" FAKETIME_DONT_RESET=1 \
  build/bin/Trendkeep >>"$log" 2>&1 &
pid=$!

recordtime=$card/DataRecord/SensorHistory/DataTime/RecordTime
waited=0
while [ "$waited" -lt "$seconds" ]; do
  sleep 5
  waited=$((waited + 5))
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "demo: Trendkeep stopped early; its log ($log):" >&2
    cat "$log" >&2
    exit 1
  fi
  slot=$(od -An -tu4 -j4 -N4 "$recordtime" 2>/dev/null | tr -d ' ' || true)
  if [ -n "$slot" ] && [ "$slot" != 0 ]; then
    echo "   ${waited}s of ${seconds}s: history up to $(date -d "@$slot" +%H:%M) of $day"
  else
    echo "   ${waited}s of ${seconds}s: nothing recorded yet"
  fi
done

echo
echo "== The daemon's sensors (trendkeep-query list)"
"$query" list
echo
echo "== $sensor on $day (trendkeep-query data $sensor $day --svg demo-card.svg)"
"$query" data "$sensor" "$day" --svg "$svg"

echo
echo "== Stopping Trendkeep"
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
pid=
echo "Trendkeep stopped with exit status $status"
[ -z "$ipmi_sim" ] || echo "Its IPMI log lines: $(grep -c '^P ipmi' "$log" || true) (grep '^P ipmi' $log)"

echo
echo "== The card, read offline (trendkeep-card check / report)"
"$cardtool" check "$card"
"$cardtool" report "$card" --date "$day" -o "$report"

echo
echo "Card:   $card"
echo "Log:    $log"
echo "Chart:  $svg"
echo "Report: $report"
echo "The demo took $(( $(date +%s) - began )) s, the build included."
