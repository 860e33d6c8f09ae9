#!/usr/bin/env bash
# make demo: until the player exists, shows what the engine's foundation does on this
# machine: the COM runtime creating an object from a server library found through the
# registry, invoked late-bound, and the platform's pipe, events and manual clock.
set -euo pipefail
build=${1:-build}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export OVRADIO_HOME="$home"

echo "demo: COM activation through the registry and late-bound Invoke"
"$build/bin/com_tests" --gtest_brief=1 --gtest_filter='Activation*:Dispatch*'
echo "demo: pipes, events, threads and the manual clock"
"$build/bin/platform_tests" --gtest_brief=1 --gtest_filter='Pipe*:Event*:ManualClock*:Thread*'
echo "demo: the foundation works; the radio itself comes with the next pieces"
