// The bytes ovradio-station synthesises for a track, computed from the pattern its
// documentation publishes rather than with the station's own code: a client's view.
#pragma once

#include <cstdint>
#include <string>

namespace testsupport
{
// Byte `offset` of a synthesised part with salt `salt` (the song part of track t has salt
// 2t, its cache part 2t + 1): an MPEG frame header at every 417th byte, pattern between.
inline uint8_t StationByte(uint32_t salt, uint32_t offset)
{
    static const uint8_t kFrameHeader[4] = {0xFF, 0xFB, 0x90, 0x04};
    if (offset % 417 < 4)
        return kFrameHeader[offset % 417];
    return static_cast<uint8_t>((offset * 31u + salt * 17u + offset / 417u) & 0xFFu);
}

// The `size` bytes of a synthesised part with salt `salt`.
inline std::string StationPart(uint32_t salt, uint32_t size)
{
    std::string bytes(size, '\0');
    for (uint32_t o = 0; o < size; ++o)
        bytes[o] = static_cast<char>(StationByte(salt, o));
    return bytes;
}

// The song part of `size` bytes of track `trackid`.
inline std::string StationSong(uint32_t trackid, uint32_t size)
{
    return StationPart(trackid * 2, size);
}

// The cache part of `size` bytes of track `trackid`.
inline std::string StationCachePart(uint32_t trackid, uint32_t size)
{
    return StationPart(trackid * 2 + 1, size);
}
} // namespace testsupport
