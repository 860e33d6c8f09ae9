#!/bin/bash
# Runs the engine's example host against the installed package: the installed
# ovradio-station on a free loopback port, the installed ovradio-regsvr registering the
# installed engine library into a private runtime folder, then the host, which plays two
# synthesised tracks byte-exact. Every wait has a limit.
#
# usage: RunRadioHost.sh PREFIX WORK HOST_PROGRAM (each run in a fresh folder inside WORK)
set -euo pipefail
prefix=$1
work=$(mktemp -d "$2/radio.XXXXXX")
host=$3
export OVRADIO_HOME="$work/home-radio"
mkdir -p "$OVRADIO_HOME"
unset LD_LIBRARY_PATH

# The station prints "listening on http://127.0.0.1:PORT" first.
mkfifo "$work/station.out"
"$prefix/bin/ovradio-station" --port 0 >"$work/station.out" &
station=$!
trap 'kill "$station" 2>/dev/null || true; wait "$station" 2>/dev/null || true' EXIT
exec 3<"$work/station.out"
if ! read -r -t 30 line <&3 || [[ "$line" != "listening on "* ]]; then
  echo "ovradio-station did not start: ${line:-nothing within 30 s}"
  exit 1
fi
cat <&3 >/dev/null &
url=${line#listening on }

printf '[OVRadio]\nSequenceUrl=%s/sequence.m3u?\n' "$url" >"$OVRADIO_HOME/preferences.ini"
"$prefix/bin/ovradio-regsvr" "$prefix/lib/libOVRadioEngine.so"
timeout -k 5 120 "$host" demo 2 --verify
"$prefix/bin/ovradio-regsvr" -u "$prefix/lib/libOVRadioEngine.so"
