// Encodes 16-bit stereo samples at 44.1 kHz as MPEG-1 layer III with libmp3lame, with
// fixed settings so that the same samples give the same bytes on every run: 128 kbit/s
// constant bit rate, joint stereo, quality 5, no ID3 tags and no Xing/LAME header frame,
// so the stream is audio frames from its first byte to its last.
// Any thread; encodings in one process take turns on one lock, because libmp3lame fills
// tables shared by all its encoders whenever one starts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace station
{
class Mp3Encoder
{
public:
    static constexpr uint32_t kBitrateKbps = 128;
    static constexpr uint32_t kSampleRate = 44100;
    static constexpr uint32_t kChannels = 2;

    // The settings and the library's version, as text: a stream encoded under other
    // settings or by another version of the library may differ.
    static std::string Settings();

    // The stream of interleaved samples (left, right); nothing when `stopped` answers true
    // (it is asked between blocks of a few thousand samples). Blocks while another thread
    // encodes. Throws std::runtime_error when the library refuses.
    static std::optional<std::string> Encode(std::vector<int16_t> samples,
                                             const std::function<bool()>& stopped);
};
} // namespace station
