// The tunes of the `music` station: well-known melodies, long out of copyright, written
// as note lists for a few synthesised instruments, each with a title, an artist and an
// album of its own. Constant data built once; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace station
{
// How a voice sounds: its overtones and the shape of each note's loudness.
enum class Timbre
{
    eFlute,    // nearly pure, a little vibrato
    eClarinet, // odd overtones
    eOrgan,    // steady, full
    eMusicBox, // struck, dies away
    ePluck,    // plucked string, dies away fast
    eStrings,  // slow bow, vibrato
    eBass,     // round, low
};

// One line of a tune. Notes are blank-separated: a name C D E F G A B, an optional '#' or
// 'b', an octave 0-8 (A4 is 440 Hz), or 'r' for a rest; then optionally ':' and a length
// in beats (0.25, 1.5, 3, ...). A note without a length keeps the one before it (1 at
// the start).
struct Voice
{
    Timbre timbre = Timbre::eFlute;
    std::string notes;
    int transpose = 0;    // semitones added to every note
    double startBeat = 0; // where the voice comes in
    uint32_t repeats = 1; // how often it plays its notes, one pass after the other
    double gain = 0.5;    // loudness against the other voices
    double pan = 0;       // -1 left to 1 right
};

struct Tune
{
    uint32_t trackid = 0;
    std::string title, artist, album;
    double beatsPerMinute = 120;
    std::vector<Voice> voices;
};

// The tunes in the station's order.
const std::vector<Tune>& Tunes();
} // namespace station
