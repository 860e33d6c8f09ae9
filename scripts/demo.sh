#!/usr/bin/env bash
# make demo: ovradio-play plays three tracks of the `music` station through the engine, as a
# desktop player does, from a station server embedded in the player on a loopback port,
# into ./ovradio-demo/; then the files are shown and checked as MPEG audio.
set -euo pipefail
build=${1:-build}
out=ovradio-demo

# The demo keeps to a temporary runtime folder of its own: a runtime folder named by
# OVRADIO_HOME would be pointed at the demo's station.
env -u OVRADIO_HOME "$build/bin/ovradio-play" --demo --tracks 3 --out "$out"

echo
echo "demo: the tracks in ./$out/"
ls -l "$out"
if command -v ffprobe >/dev/null 2>&1; then
  for f in "$out"/*.mp3; do
    printf '%s: ' "$f"
    ffprobe -v error -show_entries stream=codec_name,sample_rate,channels,bit_rate,duration \
      -of compact=p=0:nk=0 "$f"
  done
fi
echo "demo: play them with any audio player, e.g. mpv ./$out/*.mp3"
