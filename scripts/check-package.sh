#!/usr/bin/env bash
# Checks a Debian package that `make package` built, without installing it: unpacks it into
# a scratch root (dpkg -x) and checks its files, its declared dependencies and run-time
# paths, then plays one track of the packaged ovradio-station through the packaged plugin
# with gst-launch-1.0 (no audio device: the audio goes to a WAV file).
#
# usage: check-package.sh PACKAGE.deb
set -euo pipefail
deb=$1
root=$(mktemp -d)
trap 'kill "${station:-}" 2>/dev/null || true; rm -rf "$root"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

dpkg -x "$deb" "$root"
plugin_dir=$(pkg-config --variable=pluginsdir gstreamer-1.0)
for file in /usr/include/ovradio/RadioEngine.h /usr/include/ovradio/Com.h \
            /usr/lib/libOVCom.so /usr/lib/libOVPlatform.so /usr/lib/libOVRadioEngine.so \
            /usr/lib/libEventMgr.so /usr/lib/libPreferences.so /usr/lib/libObjectManager.so \
            /usr/bin/ovradio-play /usr/bin/ovradio-station /usr/bin/ovradio-regsvr \
            /usr/bin/ovdiag /usr/bin/ovradio-cache /usr/bin/ovradio-sequence \
            /usr/lib/pkgconfig/ovradio.pc /usr/lib/cmake/OVRadioEngine/OVRadioEngineConfig.cmake \
            "$plugin_dir/libgstovradio.so"; do
  [ -e "$root$file" ] || fail "the package has no $file"
done
grep -qx 'prefix=/usr' "$root/usr/lib/pkgconfig/ovradio.pc" || fail "ovradio.pc does not name /usr"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libgstreamer1.0-0 libcurl4 libssl3 libxml2 libstdc++6; do
  [[ "$depends" == *"$needed"* ]] || fail "the package does not depend on $needed: $depends"
done
# Crypto++ is linked from its static archive where Debian has one; a build that took the
# shared library instead must say so in its dependencies.
needs=$(find "$root/usr" -type f \( -name '*.so*' -o -perm -u+x \) -exec objdump -p {} \; 2>/dev/null |
  grep 'NEEDED' || true)
if [[ "$needs" == *libcrypto++* ]]; then
  [[ "$depends" == *libcrypto++* ]] || fail "the package does not depend on libcrypto++: $depends"
fi
# Everything finds the package's libraries by its run-time path, inside the root too.
for program in "$root/usr/bin/ovradio-play" "$root$plugin_dir/libgstovradio.so"; do
  if env -u LD_LIBRARY_PATH ldd "$program" | grep -q 'not found'; then
    fail "$program does not find its libraries: $(ldd "$program" | grep 'not found')"
  fi
done

# No run-time path has an empty entry, in the package or in the build tree it came from:
# the loader reads one as the current folder and looks there before the system's folders.
build_tree=$(dirname "$deb")
runpaths=$(find "$root/usr" "$build_tree/bin" "$build_tree/lib" -type f \( -name '*.so*' -o -perm -u+x \) \
  -exec objdump -p {} \; 2>/dev/null | awk '$1 == "RUNPATH" || $1 == "RPATH" {print $2}')
while read -r runpath; do
  [[ -z "$runpath" || ":$runpath:" != *::* ]] || fail "a run-time path has an empty entry: $runpath"
done <<<"$runpaths"

# One track of the packaged station through the packaged plugin and engine.
export OVRADIO_HOME="$root/home" GST_PLUGIN_PATH="$root$plugin_dir" GST_REGISTRY="$root/registry.bin"
mkdir -p "$OVRADIO_HOME"
# The station prints "listening on http://127.0.0.1:PORT" first.
mkfifo "$root/station.out"
"$root/usr/bin/ovradio-station" --port 0 --music-seconds 2 --music-cache "$root/music" \
  >"$root/station.out" &
station=$!
exec 3<"$root/station.out"
if ! read -r -t 30 line <&3 || [[ "$line" != "listening on "* ]]; then
  fail "the packaged ovradio-station did not start: ${line:-nothing within 30 s}"
fi
cat <&3 >/dev/null &
url=${line#listening on }
printf '[OVRadio]\nSequenceUrl=%s/sequence.m3u?\n' "$url" >"$OVRADIO_HOME/preferences.ini"
timeout 120 gst-play-1.0 --no-interactive --audiosink="wavenc ! filesink location=$root/track.wav" \
  "ovradio://music?max-tracks=1" >/dev/null || fail "gst-play-1.0 did not play the packaged station"
[ "$(stat -c %s "$root/track.wav")" -gt 100000 ] || fail "gst-play-1.0 wrote no track"
echo "check-package: $(basename "$deb") holds the engine, tools, headers, pkg-config and CMake" \
  "files and the plugin in $plugin_dir; it depends on $depends; gst-play-1.0 plays its station"
