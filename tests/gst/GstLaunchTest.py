#!/usr/bin/env python3
"""The plugin as GStreamer's own tools load it (GST_PLUGIN_PATH on the build), against
ovradio-station on a free loopback port with a private runtime folder. Every step has a
time limit.

usage: GstLaunchTest.py STATION_PROGRAM PLUGIN_DIR MUSIC_CACHE pipeline|playbin|inspect

pipeline  ovradiosrc ! mpegaudioparse ! mpg123audiodec ! wavenc gives a WAV as long as the
          two tracks the station served, and not silent
playbin   playbin uri=ovradio://music?max-tracks=1 with a wavenc sink does the same for one
inspect   gst-inspect-1.0 documents every property, and creates no engine (the runtime
          folder stays empty)
"""
import json
import os
import struct
import subprocess
import sys
import tempfile

LIMIT = 120
PROPERTIES = ["station", "station-name", "afd", "ccd", "user-info", "max-tracks"]


def fail(text):
    print("FAILED: " + text)
    sys.exit(1)


def run(args, env):
    try:
        done = subprocess.run(args, env=env, capture_output=True, text=True, timeout=LIMIT)
    except subprocess.TimeoutExpired:
        fail("%s did not end within %d s" % (args[0], LIMIT))
    if done.returncode != 0:
        fail("%s exited with %d:\n%s%s" % (" ".join(args), done.returncode, done.stdout,
                                           done.stderr))
    return done.stdout


def wav_seconds_and_peak(path):
    """The audio's length and its largest sample (16-bit PCM)."""
    with open(path, "rb") as wav:
        data = wav.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        fail("%s is no WAV file" % path)
    at, rate, channels, samples = 12, 0, 0, b""
    while at + 8 <= len(data):
        chunk, size = data[at:at + 4], struct.unpack("<I", data[at + 4:at + 8])[0]
        if chunk == b"fmt ":
            _, channels, rate = struct.unpack("<HHI", data[at + 8:at + 16])
        elif chunk == b"data":
            samples = data[at + 8:at + 8 + size]
        at += 8 + size + (size & 1)
    values = struct.unpack("<%dh" % (len(samples) // 2), samples[:len(samples) // 2 * 2])
    return len(values) / channels / rate, max((abs(v) for v in values), default=0)


def served_seconds(log, tracks):
    """The seconds of audio (128 kbit/s) in the station's first tracks, as it served them.
    A fresh session plays the music station from its first track on; the engine may have
    fetched more ahead."""
    served = {}
    with open(log) as lines:
        for line in lines:
            record = json.loads(line)
            parts = record["target"].split("/")
            if record["target"].startswith("/content/") and record["status"] in (200, 206):
                served[int(parts[2])] = served.get(int(parts[2]), 0) + record["bytes"]
    return sum(served[i] for i in sorted(served)[:tracks]) * 8 / 128000


def main():
    station_program, plugin_dir, music_cache, mode = sys.argv[1:5]
    work = tempfile.mkdtemp(prefix="ovradio-gst-")
    home = os.path.join(work, "home")
    os.makedirs(home)
    env = dict(os.environ, GST_PLUGIN_PATH=plugin_dir, OVRADIO_HOME=home,
               GST_REGISTRY=os.path.join(work, "registry.bin"))
    if mode == "inspect":
        shown = run(["gst-inspect-1.0", "ovradiosrc"], env)
        for name in PROPERTIES:
            if "\n  %-20s: " % name not in shown:
                fail("gst-inspect-1.0 does not document %s:\n%s" % (name, shown))
        if os.listdir(home):
            fail("inspecting the element touched the runtime folder: %s" % os.listdir(home))
        print("gst-inspect-1.0 documents every property; no engine was created")
        return

    log = os.path.join(work, "station.log")
    station = subprocess.Popen([station_program, "--port", "0", "--music-seconds", "3",
                                "--music-cache", music_cache, "--log", log],
                               stdout=subprocess.PIPE, text=True)
    try:
        line = station.stdout.readline()
        if not line.startswith("listening on "):
            fail("ovradio-station did not start: %r" % line)
        with open(os.path.join(home, "preferences.ini"), "w") as prefs:
            prefs.write("[OVRadio]\nSequenceUrl=%s/sequence.m3u?\n" % line.split()[-1])
        wav = os.path.join(work, "out.wav")
        if mode == "pipeline":
            tracks = 2
            run(["gst-launch-1.0", "-q", "ovradiosrc", "station=music", "max-tracks=2", "!",
                 "mpegaudioparse", "!", "mpg123audiodec", "!", "wavenc", "!", "filesink",
                 "location=" + wav], env)
        else:
            tracks = 1
            run(["gst-launch-1.0", "-q", "playbin", "uri=ovradio://music?max-tracks=1",
                 "audio-sink=wavenc ! filesink location=" + wav], env)
    finally:
        station.terminate()
        station.wait(LIMIT)
    seconds, peak = wav_seconds_and_peak(wav)
    expected = served_seconds(log, tracks)
    # The decoder's delay and padding take up to a few frames of 26 ms per track.
    if abs(seconds - expected) > 0.1 * tracks:
        fail("the WAV lasts %.3f s, the %d track(s) served %.3f s" % (seconds, tracks, expected))
    if peak < 1000:
        fail("the WAV is silent (largest sample %d)" % peak)
    print("%s: %.3f s of audio for the %.3f s served, largest sample %d" %
          (mode, seconds, expected, peak))


if __name__ == "__main__":
    main()
