// The stations and tracks the station serves: synthesised tracks (see ContentPart), the
// MPEG audio files of a music folder, and the encoded tunes of the `music` station. Built
// once before the server starts, then only read, from any thread; the music library loads
// its tracks when they are first asked for, under its own lock.
#pragma once

#include "ContentPart.h"
#include "MusicLibrary.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace station
{
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

class Catalogue
{
public:
    static constexpr uint64_t kDefaultSongSize = 160000;

    // The synthesised stations "demo", "rock", "Rock & Roll" and "split", and "music"
    // (see MusicLibrary: its cache folder and length limit); with a music folder, "demo"
    // holds the folder's .mp3 files instead. A `songSize` above 0 replaces the size of
    // every synthesised song part.
    explicit Catalogue(const std::string& musicFolder = {}, uint64_t songSize = 0,
                       std::string musicCacheFolder = {}, uint32_t musicSeconds = 0);

    const std::vector<uint32_t>* Station(const std::string& id) const;
    // The track of that id; one the catalogue does not hold is synthesised as a whole
    // track ("track <id>", the default song size). A music track is loaded on its first
    // call: this blocks meanwhile, and throws std::runtime_error once the music is stopped.
    CatalogueTrack TrackOrSynthesised(uint32_t trackid) const;
    const MusicLibrary& Music() const { return m_music; }
    // Ends a load of music in progress; any thread, returns at once.
    void StopMusic() { m_music.Stop(); }
    // Gives a synthesised track a cacheable part of `size` bytes when it has none
    // (cacheid "OVC<id>", weights 1:1).
    static void MakeSplit(CatalogueTrack& track, uint64_t size);
    std::vector<std::string> StationIds() const;

private:
    const CatalogueTrack* Track(uint32_t trackid) const;
    CatalogueTrack MusicTrack(uint32_t trackid) const;
    void AddSynthStation(const std::string& id, uint32_t firstId, bool split);
    void AddMusicFolder(const std::string& folder);

    uint64_t m_songSize = 0;
    std::map<std::string, std::vector<uint32_t>> m_stations;
    std::map<uint32_t, CatalogueTrack> m_tracks;
    MusicLibrary m_music;
};
} // namespace station
