#include "MpegFrame.h"

namespace station
{
namespace
{
// Bit rates in kbit/s by [version is MPEG-1][layer bits: 1 III, 2 II, 3 I][bitrate index].
constexpr uint32_t kBitrates[2][4][16] = {
    {{0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0}},
    {{0},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
     {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0}}};
constexpr uint32_t kSampleRates[3] = {44100, 48000, 32000};
} // namespace

std::optional<MpegFormat> ReadFirstMpegFrame(const std::string& bytes)
{
    std::size_t pos = 0;
    if (bytes.size() >= 10 && bytes.compare(0, 3, "ID3") == 0)
    {
        // ID3v2: a 10-byte head whose last four bytes hold the tag size, 7 bits each.
        uint32_t size = 0;
        for (int i = 6; i < 10; ++i)
            size = (size << 7) | (static_cast<uint8_t>(bytes[i]) & 0x7F);
        pos = 10 + size;
    }
    for (; pos + 4 <= bytes.size(); ++pos)
    {
        const auto b = [&](std::size_t i) { return static_cast<uint8_t>(bytes[pos + i]); };
        if (b(0) != 0xFF || (b(1) & 0xE0) != 0xE0)
            continue;
        const uint32_t version = (b(1) >> 3) & 3; // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
        const uint32_t layer = (b(1) >> 1) & 3;   // 1 layer III, 2 layer II, 3 layer I
        const uint32_t bitrateIndex = b(2) >> 4;
        const uint32_t rateIndex = (b(2) >> 2) & 3;
        if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
            continue;
        MpegFormat format;
        format.bitrateKbps = kBitrates[version == 3 ? 1 : 0][layer][bitrateIndex];
        format.sampleRate = kSampleRates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
        format.channels = (b(3) >> 6) == 3 ? 1 : 2;
        return format;
    }
    return std::nullopt;
}
} // namespace station
