#include "ContentPart.h"

#include <algorithm>
#include <cstring>
#include <fstream>

namespace station
{
namespace
{
constexpr uint32_t kFrameBytes = 417; // 144 * 128000 / 44100, no padding
constexpr uint8_t kFrameHeader[4] = {0xFF, 0xFB, 0x90, 0x04};

// The pattern moves by 31 a byte and by one more at each frame start, so a run is
// computed without a division per byte.
void Synthesise(uint32_t salt, uint64_t offset, char* out, std::size_t count)
{
    uint32_t inFrame = static_cast<uint32_t>(offset % kFrameBytes);
    auto value = static_cast<uint8_t>(offset * 31u + salt * 17u + offset / kFrameBytes);
    for (std::size_t i = 0; i < count; ++i)
    {
        out[i] = static_cast<char>(inFrame < 4 ? kFrameHeader[inFrame] : value);
        value = static_cast<uint8_t>(value + 31u);
        if (++inFrame == kFrameBytes)
        {
            inFrame = 0;
            value = static_cast<uint8_t>(value + 1u);
        }
    }
}

std::size_t ReadFileRange(const std::string& path, uint64_t offset, char* out, std::size_t count)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return 0;
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(out, static_cast<std::streamsize>(count));
    return static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0));
}
} // namespace

uint8_t SynthByte(uint32_t salt, uint64_t offset)
{
    const auto inFrame = static_cast<uint32_t>(offset % kFrameBytes);
    if (inFrame < 4)
        return kFrameHeader[inFrame];
    return static_cast<uint8_t>((offset * 31u + salt * 17u + offset / kFrameBytes) & 0xFF);
}

std::size_t ReadPart(const ContentPart& part, uint64_t offset, char* out, std::size_t count)
{
    if (offset >= part.size)
        return 0;
    count = static_cast<std::size_t>(std::min<uint64_t>(count, part.size - offset));
    if (part.held)
    {
        // Never past the held bytes, whatever size the part claims.
        count = static_cast<std::size_t>(std::min<uint64_t>(
            count, part.held->size() - std::min<uint64_t>(offset, part.held->size())));
        std::memcpy(out, part.held->data() + offset, count);
        return count;
    }
    if (!part.filePath.empty())
        return ReadFileRange(part.filePath, offset, out, count);
    Synthesise(part.salt, offset, out, count);
    return count;
}
} // namespace station
