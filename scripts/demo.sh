#!/usr/bin/env bash
# make demo: until the player exists, shows what the engine's parts do on this machine:
# the COM runtime, the platform's pipes and clock, the sequence service against a scripted
# server, tracks downloading from the station into their buffers, the radio cache of a
# fresh runtime folder, and ovradio-sequence asking the embedded station for tracks.
set -euo pipefail
build=${1:-build}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export OVRADIO_HOME="$home"

echo "demo: COM activation through the registry and late-bound Invoke"
"$build/bin/com_tests" --gtest_brief=1 --gtest_filter='Activation*:Dispatch*'
echo "demo: pipes, events, threads and the manual clock"
"$build/bin/platform_tests" --gtest_brief=1 --gtest_filter='Pipe*:Event*:ManualClock*:Thread*'
echo "demo: the sequence service against a scripted sequence server on loopback"
"$build/bin/sequence_tests" --gtest_brief=1 --gtest_filter='SequenceServiceTest.*'
echo "demo: whole tracks download from the station into their buffers, cuts resumed byte-exact"
"$build/bin/integration_tests" --gtest_brief=1 \
  --gtest_filter='TrackDownload.AWholeTrack*:TrackDownload.CutAnswers*:TrackDownload.TheDownloadPauses*'
echo "demo: the radio cache of a fresh runtime folder (ovradio-cache)"
"$build/bin/ovradio-cache" show
echo "demo: ovradio-sequence asks the embedded station for three tracks of 'demo'"
"$build/bin/ovradio-station" --port 0 > "$home/station.out" &
station=$!
trap 'kill "$station" 2>/dev/null; rm -rf "$home"' EXIT
for _ in $(seq 200); do grep -q '^listening on ' "$home/station.out" && break; sleep 0.05; done
url=$(sed -n 's/^listening on //p' "$home/station.out")
printf '[OVRadio]\nSequenceUrl=%s/sequence.m3u?\n' "$url" > "$OVRADIO_HOME/preferences.ini"
"$build/bin/ovradio-sequence" --station demo --name Demo --count 3
echo "demo: the player comes with the next pieces"
