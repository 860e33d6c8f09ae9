// One part of a track as the content server sends it: synthesised bytes of a fixed
// pattern (so a test can compute any range, and a part of gigabytes costs no memory), the
// bytes of a file, or bytes held in memory (the encoded tunes of the `music` station).
// Plain values and pure functions; any thread (held bytes are shared and never change).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace station
{
struct ContentPart
{
    uint64_t size = 0;
    uint32_t salt = 0;                       // pattern selector of a synthesised part
    std::string filePath;                    // set for a part served from a file
    std::shared_ptr<const std::string> held; // set for a part served from memory

    bool Synthesised() const { return filePath.empty() && !held; }
};

// Byte `offset` of a synthesised part: the MPEG-1 layer III frame header FF FB 90 04
// (128 kbit/s, 44.1 kHz, stereo) at the start of every 417 bytes, pattern bytes between:
// (offset * 31 + salt * 17 + offset / 417) & 0xFF.
uint8_t SynthByte(uint32_t salt, uint64_t offset);

// Copies bytes [offset, offset + count) of the part into `out`; the count copied, less
// than asked at the part's end, 0 when a file cannot be read.
std::size_t ReadPart(const ContentPart& part, uint64_t offset, char* out, std::size_t count);
} // namespace station
