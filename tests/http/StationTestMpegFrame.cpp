// The station's MPEG audio frame reader, against headers whose values are worked out here
// from the published tables: frame lengths of every version and layer, padding, the
// reserved values, and walks over whole, cut and mixed streams (a tag before the first
// frame is read with a music folder).
#include "MpegFrame.h"

#include <gtest/gtest.h>
#include <string>

namespace
{
using station::MpegWalk;
using station::ReadMpegFrameHeader;
using station::WalkMpegFrames;

std::string Bytes(std::initializer_list<int> values)
{
    std::string bytes;
    for (const int value : values)
        bytes += static_cast<char>(value);
    return bytes;
}

// A frame with that header, its payload bytes all `fill`.
std::string Frame(const std::string& header, std::size_t length, char fill = '\x55')
{
    return header + std::string(length - header.size(), fill);
}

struct HeaderCase
{
    const char* what;
    std::string header;
    uint32_t version = 0, layer = 0, bitrateKbps = 0, sampleRate = 0, channels = 0, frameBytes = 0,
             samples = 0;
};

TEST(StationMpegFrame, ReadsHeadersOfEveryVersionAndLayerAndRefusesWhatIsNone)
{
    const HeaderCase cases[] = {
        // 144 * 128000 / 44100 = 417.96: 417 bytes, 418 with the padding byte.
        {"MPEG-1 layer III", Bytes({0xFF, 0xFB, 0x90, 0x64}), 1, 3, 128, 44100, 2, 417, 1152},
        {"padded", Bytes({0xFF, 0xFB, 0x92, 0x64}), 1, 3, 128, 44100, 2, 418, 1152},
        // 144 * 64000 / 48000 = 192, mono (channel mode 3).
        {"mono at 48 kHz", Bytes({0xFF, 0xFB, 0x54, 0xC4}), 1, 3, 64, 48000, 1, 192, 1152},
        // 144 * 320000 / 32000 = 1440.
        {"320 kbit/s at 32 kHz", Bytes({0xFF, 0xFB, 0xE8, 0x00}), 1, 3, 320, 32000, 2, 1440, 1152},
        // Layer II: 144 * 192000 / 44100 = 626.9.
        {"MPEG-1 layer II", Bytes({0xFF, 0xFD, 0xA0, 0x00}), 1, 2, 192, 44100, 2, 626, 1152},
        // Layer I: (12 * 288000 / 44100 = 78) slots of 4 bytes.
        {"MPEG-1 layer I", Bytes({0xFF, 0xFF, 0x90, 0x00}), 1, 1, 288, 44100, 2, 312, 384},
        // MPEG-2 layer III at 24 kHz: 72 * 64000 / 24000 = 192, 576 samples.
        {"MPEG-2 layer III", Bytes({0xFF, 0xF3, 0x84, 0xC0}), 2, 3, 64, 24000, 1, 192, 576},
        // MPEG-2.5 layer III at 8 kHz: 72 * 8000 / 8000 = 72.
        {"MPEG-2.5 layer III", Bytes({0xFF, 0xE3, 0x18, 0x00}), 25, 3, 8, 8000, 2, 72, 576},
        // What is no header (frame bytes 0).
        {"no sync", Bytes({0xFE, 0xFB, 0x90, 0x64})},
        {"sync cut short", Bytes({0xFF, 0xDB, 0x90, 0x64})},
        {"reserved version", Bytes({0xFF, 0xEB, 0x90, 0x64})},
        {"reserved layer", Bytes({0xFF, 0xF9, 0x90, 0x64})},
        {"free format", Bytes({0xFF, 0xFB, 0x00, 0x64})},
        {"bad bit rate", Bytes({0xFF, 0xFB, 0xF0, 0x64})},
        {"reserved sample rate", Bytes({0xFF, 0xFB, 0x9C, 0x64})},
        {"three bytes", Bytes({0xFF, 0xFB, 0x90})},
        {"nothing", ""},
    };
    for (const HeaderCase& c : cases)
    {
        const auto header = ReadMpegFrameHeader(c.header);
        ASSERT_EQ(c.frameBytes != 0, header.has_value()) << c.what;
        if (!header)
            continue;
        EXPECT_EQ(c.version, header->version) << c.what;
        EXPECT_EQ(c.layer, header->layer) << c.what;
        EXPECT_EQ(c.bitrateKbps, header->format.bitrateKbps) << c.what;
        EXPECT_EQ(c.sampleRate, header->format.sampleRate) << c.what;
        EXPECT_EQ(c.channels, header->format.channels) << c.what;
        EXPECT_EQ(c.frameBytes, header->frameBytes) << c.what;
        EXPECT_EQ(c.samples, header->samples) << c.what;
    }
}

TEST(StationMpegFrame, WalksWholeStreamsAndStopsWhereFramesEnd)
{
    const std::string plain = Bytes({0xFF, 0xFB, 0x90, 0x64});
    const std::string padded = Bytes({0xFF, 0xFB, 0x92, 0x64});
    const std::string stream = Frame(plain, 417) + Frame(padded, 418) + Frame(plain, 417);

    MpegWalk walk = WalkMpegFrames(stream);
    EXPECT_TRUE(walk.Whole(stream.size()));
    EXPECT_EQ(3u, walk.frames);
    EXPECT_EQ(3u * 1152, walk.samples);
    EXPECT_TRUE(walk.sameFormat);
    ASSERT_TRUE(walk.first);
    EXPECT_EQ(128u, walk.first->bitrateKbps);

    // A payload byte that looks like a sync does not matter: frames are stepped over whole.
    const std::string syncInside = Frame(plain, 417, '\xFF') + Frame(plain, 417);
    EXPECT_TRUE(WalkMpegFrames(syncInside).Whole(syncInside.size()));

    walk = WalkMpegFrames(stream.substr(0, stream.size() - 1));
    EXPECT_EQ(2u, walk.frames) << "a last frame cut short is not counted";
    EXPECT_EQ(835u, walk.bytesWalked);
    EXPECT_FALSE(walk.Whole(stream.size() - 1));

    walk = WalkMpegFrames(stream + "TAG");
    EXPECT_EQ(3u, walk.frames);
    EXPECT_EQ(stream.size(), walk.bytesWalked);
    EXPECT_FALSE(walk.Whole(stream.size() + 3));

    walk = WalkMpegFrames("junk" + stream);
    EXPECT_EQ(0u, walk.frames);
    EXPECT_FALSE(walk.Whole(stream.size() + 4));
    EXPECT_FALSE(WalkMpegFrames("").Whole(0)) << "an empty stream is no stream";

    const std::string mixed = stream + Frame(Bytes({0xFF, 0xFB, 0x54, 0xC4}), 192);
    walk = WalkMpegFrames(mixed);
    EXPECT_TRUE(walk.Whole(mixed.size()));
    EXPECT_FALSE(walk.sameFormat);
}

} // namespace
