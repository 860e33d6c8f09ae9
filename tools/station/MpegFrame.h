// The stream values of an MPEG audio file, from its first frame header: what the station
// announces for a track of a music folder. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace station
{
struct MpegFormat
{
    uint32_t bitrateKbps = 0;
    uint32_t channels = 0;
    uint32_t sampleRate = 0;
};

// The first frame header of an MPEG audio stream (an ID3v2 tag before it is skipped).
std::optional<MpegFormat> ReadFirstMpegFrame(const std::string& bytes);
} // namespace station
