#include "Catalogue.h"

#include "MpegFrame.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>

namespace station
{
namespace
{
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

Catalogue::Catalogue(const std::string& musicFolder, uint64_t songSize,
                     std::string musicCacheFolder, uint32_t musicSeconds)
    : m_songSize(songSize), m_music(std::move(musicCacheFolder), musicSeconds)
{
    if (musicFolder.empty())
        AddSynthStation("demo", 101, false);
    else
        AddMusicFolder(musicFolder);
    AddSynthStation("rock", 201, false);
    AddSynthStation("split", 301, true);
    // The rock tracks under a name that must be encoded in a request.
    m_stations["Rock & Roll"] = m_stations["rock"];
    m_stations["music"] = MusicLibrary::TrackIds();
}

void Catalogue::AddSynthStation(const std::string& id, uint32_t firstId, bool split)
{
    // Sizes between 100 and 400 KB; split weights 1:3, 1:1 and 3:5.
    static constexpr uint64_t kSongSizes[] = {kDefaultSongSize, 230417, 120001, 300000};
    static constexpr uint64_t kCacheSizes[] = {100000, 64000, 150003};
    static constexpr uint32_t kWeights[][2] = {{1, 3}, {1, 1}, {3, 5}};
    const uint32_t count = split ? 3 : 4;
    for (uint32_t i = 0; i < count; ++i)
    {
        CatalogueTrack track;
        track.trackid = firstId + i;
        track.title = id + " track " + std::to_string(i + 1);
        track.artist = "OVRadio Station";
        track.album = id + " album";
        track.song.size = m_songSize > 0 ? m_songSize : kSongSizes[i];
        track.song.salt = track.trackid * 2;
        if (split)
        {
            track.cache = ContentPart{kCacheSizes[i], track.trackid * 2 + 1, {}, {}};
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
        track.song = ContentPart{size, 0, path.string(), {}};
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

CatalogueTrack Catalogue::TrackOrSynthesised(uint32_t trackid) const
{
    if (const CatalogueTrack* known = Track(trackid))
        return *known;
    if (MusicLibrary::TuneOf(trackid))
        return MusicTrack(trackid);
    CatalogueTrack track;
    track.trackid = trackid;
    track.title = "track " + std::to_string(trackid);
    track.artist = "OVRadio Station";
    track.album = "more tracks";
    track.song.size = m_songSize > 0 ? m_songSize : kDefaultSongSize;
    track.song.salt = trackid * 2;
    return track;
}

CatalogueTrack Catalogue::MusicTrack(uint32_t trackid) const
{
    const MusicLibrary::Track music = m_music.TrackOf(trackid);
    CatalogueTrack track;
    track.trackid = trackid;
    track.title = music.tune->title;
    track.artist = music.tune->artist;
    track.album = music.tune->album;
    track.bitrateKbps = music.format.bitrateKbps;
    track.channels = music.format.channels;
    track.sampleRate = music.format.sampleRate;
    track.song = ContentPart{music.bytes->size(), 0, {}, music.bytes};
    return track;
}

void Catalogue::MakeSplit(CatalogueTrack& track, uint64_t size)
{
    if (track.cache || !track.song.Synthesised())
        return;
    track.cache = ContentPart{size, track.trackid * 2 + 1, {}, {}};
    track.splitcache = 1;
    track.splitsong = 1;
    track.cacheid = "OVC" + std::to_string(track.trackid);
}

std::vector<std::string> Catalogue::StationIds() const
{
    std::vector<std::string> ids;
    for (const auto& [id, tracks] : m_stations)
        ids.push_back(id);
    return ids;
}
} // namespace station
