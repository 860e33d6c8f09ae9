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

std::optional<MpegFrameHeader> ReadMpegFrameHeader(std::string_view bytes)
{
    if (bytes.size() < 4)
        return std::nullopt;
    const auto b = [&](std::size_t i) { return static_cast<uint8_t>(bytes[i]); };
    if (b(0) != 0xFF || (b(1) & 0xE0) != 0xE0)
        return std::nullopt;
    const uint32_t versionBits = (b(1) >> 3) & 3; // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
    const uint32_t layerBits = (b(1) >> 1) & 3;   // 1 layer III, 2 layer II, 3 layer I
    const uint32_t bitrateIndex = b(2) >> 4;
    const uint32_t rateIndex = (b(2) >> 2) & 3;
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 0 || bitrateIndex == 15 ||
        rateIndex == 3)
        return std::nullopt;

    const bool mpeg1 = versionBits == 3;
    MpegFrameHeader header;
    header.version = mpeg1 ? 1 : versionBits == 2 ? 2 : 25;
    header.layer = 4 - layerBits;
    header.format.bitrateKbps = kBitrates[mpeg1 ? 1 : 0][layerBits][bitrateIndex];
    header.format.sampleRate = kSampleRates[rateIndex] >> (mpeg1 ? 0 : versionBits == 2 ? 1 : 2);
    header.format.channels = (b(3) >> 6) == 3 ? 1 : 2;
    header.padding = (b(2) & 0x02) != 0;

    const uint32_t bitsPerSecond = header.format.bitrateKbps * 1000;
    const uint32_t rate = header.format.sampleRate;
    if (header.layer == 1)
    {
        header.samples = 384;
        header.frameBytes = (12 * bitsPerSecond / rate + (header.padding ? 1 : 0)) * 4;
    }
    else
    {
        // Layer III of MPEG-2 and 2.5 codes half as many samples in a frame.
        const bool halfFrame = header.layer == 3 && !mpeg1;
        header.samples = halfFrame ? 576 : 1152;
        header.frameBytes =
            (halfFrame ? 72 : 144) * bitsPerSecond / rate + (header.padding ? 1 : 0);
    }
    return header;
}

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
        if (const auto header = ReadMpegFrameHeader(std::string_view(bytes).substr(pos, 4)))
            return header->format;
    return std::nullopt;
}

MpegWalk WalkMpegFrames(std::string_view bytes)
{
    MpegWalk walk;
    while (walk.bytesWalked < bytes.size())
    {
        const std::string_view rest = bytes.substr(walk.bytesWalked);
        const std::optional<MpegFrameHeader> header = ReadMpegFrameHeader(rest);
        if (!header || header->frameBytes > rest.size())
            break;
        if (!walk.first)
            walk.first = header->format;
        else if (!(*walk.first == header->format))
            walk.sameFormat = false;
        ++walk.frames;
        walk.samples += header->samples;
        walk.bytesWalked += header->frameBytes;
    }
    return walk;
}
} // namespace station
