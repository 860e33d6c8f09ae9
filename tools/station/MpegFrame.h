// MPEG audio frame headers: the stream values the station announces for a track of a
// music folder or of the `music` station, and a walk over a whole stream frame by frame
// that checks a stream is nothing but frames. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace station
{
struct MpegFormat
{
    uint32_t bitrateKbps = 0;
    uint32_t channels = 0;
    uint32_t sampleRate = 0;

    bool operator==(const MpegFormat&) const = default;
};

// One frame header and what follows from it.
struct MpegFrameHeader
{
    uint32_t version = 0; // 1 MPEG-1, 2 MPEG-2, 25 MPEG-2.5
    uint32_t layer = 0;   // 1, 2 or 3
    MpegFormat format;
    bool padding = false;
    uint32_t frameBytes = 0; // the header included
    uint32_t samples = 0;    // per channel
};

// The frame header at the start of `bytes` (4 bytes at least); nothing when they are no
// header: no sync, a reserved version, layer, bit rate or sample rate, or free format.
std::optional<MpegFrameHeader> ReadMpegFrameHeader(std::string_view bytes);

// The first frame header of an MPEG audio stream (an ID3v2 tag before it is skipped).
std::optional<MpegFormat> ReadFirstMpegFrame(const std::string& bytes);

// A stream read frame by frame from its first byte.
struct MpegWalk
{
    uint64_t frames = 0;
    uint64_t samples = 0;            // per channel, over all frames
    uint64_t bytesWalked = 0;        // where the walk stopped: the end, or no header there
    std::optional<MpegFormat> first; // the first frame's values
    bool sameFormat = true;          // every frame has the first one's values

    // Every byte belongs to a whole frame, and there is at least one.
    bool Whole(uint64_t size) const { return frames > 0 && bytesWalked == size; }
};

// Walks the frames of `bytes` from byte 0 until the end or the first place that holds
// no frame header or a frame running past the end.
MpegWalk WalkMpegFrames(std::string_view bytes);
} // namespace station
