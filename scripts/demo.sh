#!/usr/bin/env bash
# make demo: until the player and the station exist, shows what the engine's parts do on
# this machine: the COM runtime, the platform's pipes and clock, the sequence service
# talking to a scripted sequence server on loopback, and the radio cache of a fresh
# runtime folder.
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
echo "demo: the radio cache of a fresh runtime folder (ovradio-cache)"
"$build/bin/ovradio-cache" show
echo "demo: the player and the station come with the next pieces"
