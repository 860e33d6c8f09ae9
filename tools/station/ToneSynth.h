// Renders a tune of the tune book as 16-bit stereo samples at 44.1 kHz: every note of every
// voice is a sum of sine overtones under a loudness envelope, placed by its voice's pan,
// then a light echo, a fade at either end, and one gain for the whole tune. The same tune
// gives the same samples on every run (no randomness, no clock). Pure functions; any
// thread.
#pragma once

#include "TuneBook.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace station
{
struct Note
{
    std::optional<int> key; // MIDI key number (A4 = 69); nothing for a rest
    double beats = 1;
};

class ToneSynth
{
public:
    static constexpr uint32_t kSampleRate = 44100;
    static constexpr uint32_t kChannels = 2;
    // Time after the last note for its release and the echo to die away.
    static constexpr double kTailSeconds = 1.5;

    // The notes of a voice's text (see Voice); throws std::invalid_argument naming the
    // first word that is no note.
    static std::vector<Note> ParseNotes(std::string_view text);

    // The tune's length in samples per channel: to the end of its last voice and the tail,
    // at most `maxSeconds` when that is above 0.
    static uint64_t Frames(const Tune& tune, uint32_t maxSeconds = 0);

    // Interleaved samples, left then right, Frames(tune, maxSeconds) of each.
    static std::vector<int16_t> Render(const Tune& tune, uint32_t maxSeconds = 0);
};
} // namespace station
