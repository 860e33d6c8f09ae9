#include "Catalogue.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace station
{
namespace
{
constexpr uint32_t kFrameBytes = 417; // 144 * 128000 / 44100, no padding
constexpr uint8_t kFrameHeader[4] = {0xFF, 0xFB, 0x90, 0x04};

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

std::string ReadFileBytes(const std::string& path, uint64_t offset, uint64_t count)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    in.seekg(static_cast<std::streamoff>(offset));
    std::string bytes(count, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(std::max<std::streamsize>(in.gcount(), 0)));
    return bytes;
}
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

uint8_t SynthByte(uint32_t salt, uint32_t offset)
{
    const uint32_t inFrame = offset % kFrameBytes;
    if (inFrame < 4)
        return kFrameHeader[inFrame];
    return static_cast<uint8_t>((offset * 31u + salt * 17u + offset / kFrameBytes) & 0xFF);
}

std::string ReadPart(const ContentPart& part, uint32_t offset, uint32_t count)
{
    if (offset >= part.size)
        return {};
    count = std::min(count, part.size - offset);
    if (!part.filePath.empty())
        return ReadFileBytes(part.filePath, offset, count);
    std::string bytes(count, '\0');
    for (uint32_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(SynthByte(part.salt, offset + i));
    return bytes;
}

Catalogue::Catalogue(const std::string& musicFolder)
{
    if (musicFolder.empty())
        AddSynthStation("demo", 101, false);
    else
        AddMusicFolder(musicFolder);
    AddSynthStation("rock", 201, false);
    AddSynthStation("split", 301, true);
    // The rock tracks under a name that must be encoded in a request.
    m_stations["Rock & Roll"] = m_stations["rock"];
}

void Catalogue::AddSynthStation(const std::string& id, uint32_t firstId, bool split)
{
    // Sizes between 100 and 400 KB; split weights 1:3, 1:1 and 3:5.
    static constexpr uint32_t kSongSizes[] = {160000, 230417, 120001, 300000};
    static constexpr uint32_t kCacheSizes[] = {100000, 64000, 150003};
    static constexpr uint32_t kWeights[][2] = {{1, 3}, {1, 1}, {3, 5}};
    const uint32_t count = split ? 3 : 4;
    for (uint32_t i = 0; i < count; ++i)
    {
        CatalogueTrack track;
        track.trackid = firstId + i;
        track.title = id + " track " + std::to_string(i + 1);
        track.artist = "OVRadio Station";
        track.album = id + " album";
        track.song.size = kSongSizes[i];
        track.song.salt = track.trackid * 2;
        if (split)
        {
            track.cache = ContentPart{kCacheSizes[i], track.trackid * 2 + 1, {}};
            track.splitcache = kWeights[i][0];
            track.splitsong = kWeights[i][1];
            track.cacheid = "OVC" + std::to_string(track.trackid);
        }
        m_stations[id].push_back(track.trackid);
        m_tracks[track.trackid] = track;
    }
}

void Catalogue::AddMusicFolder(const std::string& folder)
{
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    {
        std::string ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (entry.is_regular_file() && ext == ".mp3")
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    uint32_t trackid = 1001;
    for (const auto& path : files)
    {
        const auto size = std::filesystem::file_size(path, error);
        const auto format = ReadFirstMpegFrame(ReadFileBytes(path.string(), 0, 65536));
        if (error || size == 0 || size > 0x7FFFFFFF || !format)
            continue;
        CatalogueTrack track;
        track.trackid = trackid++;
        track.title = path.stem().string();
        track.artist = "Music folder";
        track.album = std::filesystem::path(folder).filename().string();
        track.bitrateKbps = format->bitrateKbps;
        track.channels = format->channels;
        track.sampleRate = format->sampleRate;
        track.song = ContentPart{static_cast<uint32_t>(size), 0, path.string()};
        m_stations["demo"].push_back(track.trackid);
        m_tracks[track.trackid] = track;
    }
}

const std::vector<uint32_t>* Catalogue::Station(const std::string& id) const
{
    const auto it = m_stations.find(id);
    return it == m_stations.end() ? nullptr : &it->second;
}

const CatalogueTrack* Catalogue::Track(uint32_t trackid) const
{
    const auto it = m_tracks.find(trackid);
    return it == m_tracks.end() ? nullptr : &it->second;
}

std::vector<std::string> Catalogue::StationIds() const
{
    std::vector<std::string> ids;
    for (const auto& [id, tracks] : m_stations)
        ids.push_back(id);
    return ids;
}
} // namespace station
