#include "ToneSynth.h"

#include "FormText.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace station
{
namespace
{
constexpr double kRate = ToneSynth::kSampleRate;

// The sound of a timbre: overtone strengths (1st is the fundamental), an attack, an
// exponential fall towards the sustain level, a release after the note's gate, vibrato,
// and how long the gate stays open against the note's written length.
struct Sound
{
    std::array<double, 7> overtones{};
    double attackSeconds = 0.01;
    double decaySeconds = 0.2; // time constant of the fall to the sustain level
    double sustain = 1;
    double releaseSeconds = 0.08;
    double vibratoDepth = 0; // a fraction of the frequency
    double vibratoHz = 5;
    double gate = 0.9;
};

Sound SoundOf(Timbre timbre)
{
    switch (timbre)
    {
    case Timbre::eFlute:
        return {{1, 0.12, 0.04}, 0.04, 0.15, 0.8, 0.12, 0.004, 5, 0.92};
    case Timbre::eClarinet:
        return {{1, 0, 0.4, 0, 0.22, 0, 0.1}, 0.025, 0.2, 0.85, 0.08, 0.002, 5, 0.9};
    case Timbre::eOrgan:
        return {{1, 0.6, 0.35, 0.15, 0.1, 0, 0.05}, 0.015, 0.1, 1, 0.07, 0, 5, 0.96};
    case Timbre::eMusicBox:
        // Struck notes ring on over the next one.
        return {{1, 0.25, 0.08, 0.04}, 0.003, 0.6, 0, 0.15, 0, 5, 1.5};
    case Timbre::ePluck:
        return {{1, 0.5, 0.25, 0.12, 0.06}, 0.002, 0.35, 0, 0.1, 0, 5, 1.5};
    case Timbre::eStrings:
        return {{1, 0.5, 0.33, 0.25, 0.2, 0.16, 0.14}, 0.15, 0.3, 0.9, 0.25, 0.005, 5.5, 1};
    case Timbre::eBass:
        return {{1, 0.3, 0.08}, 0.01, 0.25, 0.55, 0.08, 0, 5, 0.9};
    }
    return {};
}

// One cycle of a waveform, read with linear interpolation at a phase in [0, 1): fast, and
// the same numbers on every run.
class WaveTable
{
public:
    // The sum of the overtones' sines, scaled so that their strengths add up to 1.
    explicit WaveTable(const std::array<double, 7>& overtones)
    {
        double total = 0;
        for (const double strength : overtones)
            total += strength;
        for (std::size_t i = 0; i <= kSize; ++i)
        {
            double value = 0;
            for (std::size_t k = 0; k < overtones.size(); ++k)
                if (overtones[k] != 0)
                    value +=
                        overtones[k] * std::sin(2 * std::numbers::pi *
                                                static_cast<double>((i * (k + 1)) % kSize) / kSize);
            m_values[i] = value / total;
        }
    }
    double operator()(double phase) const
    {
        const double position = phase * kSize;
        const auto index = static_cast<std::size_t>(position);
        const double fraction = position - static_cast<double>(index);
        return m_values[index] + (m_values[index + 1] - m_values[index]) * fraction;
    }

private:
    static constexpr std::size_t kSize = 4096;
    std::array<double, kSize + 1> m_values{};
};

const WaveTable& Sine()
{
    static const WaveTable table({1});
    return table;
}

std::optional<int> KeyOf(std::string_view name)
{
    static constexpr int kSteps[7] = {9, 11, 0, 2, 4, 5, 7}; // A B C D E F G from C
    if (name.size() < 2 || name[0] < 'A' || name[0] > 'G')
        return std::nullopt;
    int key = kSteps[name[0] - 'A'];
    std::size_t at = 1;
    if (name[at] == '#' || name[at] == 'b')
        key += name[at++] == '#' ? 1 : -1;
    if (at + 1 != name.size() || name[at] < '0' || name[at] > '8')
        return std::nullopt;
    return 12 * (name[at] - '0' + 1) + key;
}

// A length in beats: digits with an optional fraction ("2", "0.25", ".5", "1.5").
std::optional<double> BeatsOf(std::string_view text)
{
    const std::size_t dot = text.find('.');
    const std::string_view whole = text.substr(0, dot);
    const std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
    if (whole.empty() && fraction.empty())
        return std::nullopt;
    const auto wholeValue = whole.empty() ? std::optional<uint64_t>(0) : Decimal(whole, 3);
    const auto fractionValue = fraction.empty() ? std::optional<uint64_t>(0) : Decimal(fraction, 3);
    if (!wholeValue || !fractionValue)
        return std::nullopt;
    const double beats = static_cast<double>(*wholeValue) +
                         static_cast<double>(*fractionValue) / std::pow(10.0, fraction.size());
    return beats > 0 ? std::optional<double>(beats) : std::nullopt;
}

double Frequency(int key)
{
    return 440.0 * std::pow(2.0, (key - 69) / 12.0);
}

struct Mix
{
    std::vector<double> left, right;
};

// Adds one note to the mix: `gateFrames` of sound, then the release. A note that has died
// away (a struck or plucked one) ends early.
void AddNote(Mix& mix, const Sound& sound, const WaveTable& wave, double frequency, uint64_t start,
             double gateFrames, double leftGain, double rightGain)
{
    constexpr double kSilent = 1e-4; // -80 dB
    const WaveTable& sine = Sine();
    const double attack = std::max(1.0, sound.attackSeconds * kRate);
    const double release = sound.releaseSeconds * kRate;
    // The envelope above the sustain level shrinks by this factor every frame.
    const double fall = std::exp(-1.0 / (sound.decaySeconds * kRate));
    const auto frames =
        std::min<uint64_t>(static_cast<uint64_t>(gateFrames + release), mix.left.size() - start);
    const double step = frequency / kRate;
    const double vibratoStep = sound.vibratoHz / kRate;

    double phase = 0, vibratoPhase = 0, aboveSustain = 1 - sound.sustain;
    for (uint64_t i = 0; i < frames; ++i)
    {
        const auto at = static_cast<double>(i);
        double level = at < attack ? at / attack : sound.sustain + aboveSustain;
        if (at >= attack)
        {
            aboveSustain *= fall;
            if (level < kSilent)
                break;
        }
        if (at >= gateFrames)
            level *= 1 - (at - gateFrames) / release;

        const double value = wave(phase) * level;
        mix.left[start + i] += value * leftGain;
        mix.right[start + i] += value * rightGain;

        if (sound.vibratoDepth > 0)
        {
            phase += step * (1 + sound.vibratoDepth * sine(vibratoPhase));
            vibratoPhase += vibratoStep;
            if (vibratoPhase >= 1)
                vibratoPhase -= 1;
        }
        else
            phase += step;
        if (phase >= 1)
            phase -= 1;
    }
}

void AddVoice(Mix& mix, const Voice& voice, double framesPerBeat)
{
    const Sound sound = SoundOf(voice.timbre);
    const WaveTable wave(sound.overtones);
    const std::vector<Note> notes = ToneSynth::ParseNotes(voice.notes);
    // Equal loudness across the stereo field.
    const double angle = (std::clamp(voice.pan, -1.0, 1.0) + 1) * std::numbers::pi / 4;
    const double leftGain = voice.gain * std::cos(angle);
    const double rightGain = voice.gain * std::sin(angle);
    double beat = voice.startBeat;
    for (uint32_t pass = 0; pass < voice.repeats; ++pass)
        for (const Note& note : notes)
        {
            const auto start = static_cast<uint64_t>(std::llround(beat * framesPerBeat));
            beat += note.beats;
            if (!note.key || start >= mix.left.size())
                continue;
            AddNote(mix, sound, wave, Frequency(*note.key + voice.transpose), start,
                    note.beats * framesPerBeat * sound.gate, leftGain, rightGain);
        }
}

// Each side hears the other a moment later, and that echo again, softer each time.
void AddEcho(Mix& mix)
{
    constexpr auto kDelay = static_cast<std::size_t>(0.3 * kRate);
    constexpr double kEcho = 0.25;
    for (std::size_t i = kDelay; i < mix.left.size(); ++i)
    {
        mix.left[i] += kEcho * mix.right[i - kDelay];
        mix.right[i] += kEcho * mix.left[i - kDelay];
    }
}

// A short fade in, and a fade out that also ends a tune cut short without a click.
void Fade(Mix& mix)
{
    const std::size_t frames = mix.left.size();
    const std::size_t in =
        std::min<std::size_t>(frames / 4, static_cast<std::size_t>(0.005 * kRate));
    const std::size_t out =
        std::min<std::size_t>(frames / 4, static_cast<std::size_t>(0.5 * kRate));
    for (std::size_t i = 0; i < in; ++i)
    {
        const double gain = static_cast<double>(i) / static_cast<double>(in);
        mix.left[i] *= gain;
        mix.right[i] *= gain;
    }
    for (std::size_t i = 0; i < out; ++i)
    {
        const double gain = static_cast<double>(i) / static_cast<double>(out);
        mix.left[frames - 1 - i] *= gain;
        mix.right[frames - 1 - i] *= gain;
    }
}

double BeatsOfVoice(const Voice& voice)
{
    double beats = 0;
    for (const Note& note : ToneSynth::ParseNotes(voice.notes))
        beats += note.beats;
    return voice.startBeat + beats * voice.repeats;
}
} // namespace

std::vector<Note> ToneSynth::ParseNotes(std::string_view text)
{
    std::vector<Note> notes;
    double beats = 1;
    std::size_t at = 0;
    while (at < text.size())
    {
        if (text[at] == ' ')
        {
            ++at;
            continue;
        }
        const std::size_t end = std::min(text.find(' ', at), text.size());
        const std::string_view word = text.substr(at, end - at);
        at = end;
        const std::size_t colon = word.find(':');
        const std::string_view name = word.substr(0, colon);
        if (colon != std::string_view::npos)
        {
            const std::optional<double> length = BeatsOf(word.substr(colon + 1));
            if (!length)
                throw std::invalid_argument("not a note length: " + std::string(word));
            beats = *length;
        }
        Note note{std::nullopt, beats};
        if (name != "r")
        {
            note.key = KeyOf(name);
            if (!note.key)
                throw std::invalid_argument("not a note: " + std::string(word));
        }
        notes.push_back(note);
    }
    return notes;
}

uint64_t ToneSynth::Frames(const Tune& tune, uint32_t maxSeconds)
{
    double beats = 0;
    for (const Voice& voice : tune.voices)
        beats = std::max(beats, BeatsOfVoice(voice));
    const double seconds = beats * 60 / tune.beatsPerMinute + kTailSeconds;
    auto frames = static_cast<uint64_t>(std::ceil(seconds * kRate));
    if (maxSeconds > 0)
        frames = std::min<uint64_t>(frames, uint64_t{maxSeconds} * kSampleRate);
    return frames;
}

std::vector<int16_t> ToneSynth::Render(const Tune& tune, uint32_t maxSeconds)
{
    const uint64_t frames = Frames(tune, maxSeconds);
    Mix mix{std::vector<double>(frames), std::vector<double>(frames)};
    const double framesPerBeat = kRate * 60 / tune.beatsPerMinute;
    for (const Voice& voice : tune.voices)
        AddVoice(mix, voice, framesPerBeat);
    AddEcho(mix);
    Fade(mix);

    // One gain for the whole tune: its loudest moment at 80 % of full scale.
    double peak = 0;
    for (std::size_t i = 0; i < frames; ++i)
        peak = std::max({peak, std::abs(mix.left[i]), std::abs(mix.right[i])});
    const double gain = peak > 0 ? 0.8 * 32767 / peak : 0;
    std::vector<int16_t> samples(frames * kChannels);
    for (std::size_t i = 0; i < frames; ++i)
    {
        samples[2 * i] = static_cast<int16_t>(std::lround(mix.left[i] * gain));
        samples[2 * i + 1] = static_cast<int16_t>(std::lround(mix.right[i] * gain));
    }
    return samples;
}
} // namespace station
