// The stations and tracks the station serves: synthesised tracks of a deterministic byte
// pattern (so a test can compute any range), or the MPEG audio files of a music folder.
// Built once before the server starts, then only read, from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace station
{
// The stream values of one MPEG audio frame header.
struct MpegFormat
{
    uint32_t bitrateKbps = 0;
    uint32_t channels = 0;
    uint32_t sampleRate = 0;
};

// The first frame header of an MPEG audio stream (an ID3v2 tag before it is skipped).
std::optional<MpegFormat> ReadFirstMpegFrame(const std::string& bytes);

// One part of a track as the content server sends it: synthesised or a file.
struct ContentPart
{
    uint32_t size = 0;
    uint32_t salt = 0;    // pattern selector of a synthesised part
    std::string filePath; // set for a part served from a file
};

struct CatalogueTrack
{
    uint32_t trackid = 0;
    std::string title, artist, album;
    uint32_t bitrateKbps = 128, channels = 2, sampleRate = 44100;
    ContentPart song;
    std::optional<ContentPart> cache; // the cacheable part of a split track
    uint32_t splitcache = 0, splitsong = 0;
    std::string cacheid;
};

// Byte `offset` of a synthesised part: an MPEG-1 layer III frame header (128 kbit/s,
// 44.1 kHz, stereo) at every 417th byte, pattern bytes between.
uint8_t SynthByte(uint32_t salt, uint32_t offset);
// Bytes [offset, offset + count) of a part; empty when a file cannot be read.
std::string ReadPart(const ContentPart& part, uint32_t offset, uint32_t count);

class Catalogue
{
public:
    // The synthesised stations "demo", "rock" and "split"; with a music folder, "demo"
    // holds the folder's .mp3 files instead.
    explicit Catalogue(const std::string& musicFolder = {});

    const std::vector<uint32_t>* Station(const std::string& id) const;
    const CatalogueTrack* Track(uint32_t trackid) const;
    std::vector<std::string> StationIds() const;

private:
    void AddSynthStation(const std::string& id, uint32_t firstId, bool split);
    void AddMusicFolder(const std::string& folder);

    std::map<std::string, std::vector<uint32_t>> m_stations;
    std::map<uint32_t, CatalogueTrack> m_tracks;
};
} // namespace station
