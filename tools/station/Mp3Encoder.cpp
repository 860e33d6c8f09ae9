#include "Mp3Encoder.h"

#include "platform/Mutex.h"

#include <cstdarg>
#include <lame.h>
#include <memory>
#include <stdexcept>

namespace station
{
namespace
{
constexpr int kQuality = 5;        // lame's default trade of speed and quality
constexpr int kBlockFrames = 4608; // samples per channel handed to the encoder at once
// The largest stream a block can make, as lame's header computes it: 1.25 times the
// samples and 7200 bytes.
constexpr int kOutputBytes = kBlockFrames * 5 / 4 + 7200;

platform::Mutex g_encoderLock;

// The library reports to stderr unless told otherwise; the station keeps quiet.
void Quiet(const char*, va_list) {}

struct LameCloser
{
    void operator()(lame_global_flags* flags) const { lame_close(flags); }
};
using Lame = std::unique_ptr<lame_global_flags, LameCloser>;

Lame OpenEncoder()
{
    Lame lame(lame_init());
    if (!lame)
        throw std::runtime_error("the MP3 encoder cannot be made");
    lame_global_flags* flags = lame.get();
    lame_set_errorf(flags, Quiet);
    lame_set_debugf(flags, Quiet);
    lame_set_msgf(flags, Quiet);
    lame_set_in_samplerate(flags, Mp3Encoder::kSampleRate);
    lame_set_out_samplerate(flags, Mp3Encoder::kSampleRate);
    lame_set_num_channels(flags, Mp3Encoder::kChannels);
    lame_set_mode(flags, JOINT_STEREO);
    lame_set_VBR(flags, vbr_off);
    lame_set_brate(flags, Mp3Encoder::kBitrateKbps);
    lame_set_quality(flags, kQuality);
    lame_set_bWriteVbrTag(flags, 0);
    lame_set_write_id3tag_automatic(flags, 0);
    if (lame_init_params(flags) < 0)
        throw std::runtime_error("the MP3 encoder refuses its settings");
    return lame;
}
} // namespace

std::string Mp3Encoder::Settings()
{
    return "MPEG-1 layer III, " + std::to_string(kSampleRate) + " Hz, joint stereo, " +
           std::to_string(kBitrateKbps) + " kbit/s CBR, quality " + std::to_string(kQuality) +
           ", no tags; LAME " + get_lame_version();
}

std::optional<std::string> Mp3Encoder::Encode(std::vector<int16_t> samples,
                                              const std::function<bool()>& stopped)
{
    platform::MutexLock lock(g_encoderLock);
    const Lame lame = OpenEncoder();
    std::vector<unsigned char> block(kOutputBytes);
    std::string stream;
    const std::size_t frames = samples.size() / kChannels;
    for (std::size_t done = 0; done < frames; done += kBlockFrames)
    {
        if (stopped && stopped())
            return std::nullopt;
        const int count = static_cast<int>(std::min<std::size_t>(kBlockFrames, frames - done));
        const int made = lame_encode_buffer_interleaved(
            lame.get(), samples.data() + done * kChannels, count, block.data(), kOutputBytes);
        if (made < 0)
            throw std::runtime_error("the MP3 encoder failed: " + std::to_string(made));
        stream.append(reinterpret_cast<const char*>(block.data()), static_cast<std::size_t>(made));
    }
    const int made = lame_encode_flush(lame.get(), block.data(), kOutputBytes);
    if (made < 0)
        throw std::runtime_error("the MP3 encoder failed: " + std::to_string(made));
    stream.append(reinterpret_cast<const char*>(block.data()), static_cast<std::size_t>(made));
    return stream;
}
} // namespace station
