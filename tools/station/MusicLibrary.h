// The `music` station's tracks: the tunes of the tune book, synthesised and encoded as MPEG
// audio the first time each is asked for, then kept: in memory for the library's life, and
// as files in a cache folder, so that a later run reads them instead of encoding again. A
// cache file is named after a digest of everything its bytes depend on (the tune, the
// length limit, the encoder's settings and version), written through a temporary file and
// a rename, and walked frame by frame when read; one that fails the walk is encoded anew.
// Any thread. Track() blocks while it loads a track not yet loaded (a few tenths of a
// second for a tune when encoding), holding m_mutex, so other callers wait meanwhile;
// later calls take m_mutex briefly. Stop() from any thread returns at once.
#pragma once

#include "MpegFrame.h"
#include "TuneBook.h"
#include "platform/Mutex.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace station
{
class MusicLibrary
{
public:
    struct Track
    {
        const Tune* tune = nullptr;
        std::shared_ptr<const std::string> bytes; // the whole stream, never changed
        MpegFormat format;                        // from its first frame header
    };

    // An empty folder keeps the tracks in memory only. `maxSeconds` above 0 cuts every
    // tune to at most that many seconds (quick tests use it).
    MusicLibrary(std::string cacheFolder, uint32_t maxSeconds);

    // $XDG_CACHE_HOME/ovradio/station-music, else ~/.cache/ovradio/station-music; empty
    // when neither is known.
    static std::string DefaultCacheFolder();
    // The track ids in the station's order; known without loading anything.
    static std::vector<uint32_t> TrackIds();
    static const Tune* TuneOf(uint32_t trackid);

    // The track, loaded on the first call for it. Throws std::invalid_argument for an id
    // that is no music track, std::runtime_error when the library was stopped before the
    // track was loaded or the encoder fails.
    Track TrackOf(uint32_t trackid) const OVR_EXCLUDES(m_mutex);
    // The cache file of a tune under this library's length limit (in its folder).
    std::string CacheFile(const Tune& tune) const;
    // Ends a load in progress at its next encoder block (after the tune is synthesised,
    // which takes tens of milliseconds); loaded tracks stay.
    void Stop() { m_stopped = true; }

    // Synthesises and encodes one tune, without the memory or the disk; nothing when
    // `stopped` answers true before the end.
    static std::optional<std::string> Encode(const Tune& tune, uint32_t maxSeconds,
                                             const std::function<bool()>& stopped = {});

private:
    std::shared_ptr<const std::string> Load(const Tune& tune) const;
    std::optional<std::string> ReadCache(const Tune& tune) const;
    void WriteCache(const Tune& tune, const std::string& bytes) const;
    // Every byte a frame of the encoder's format, as many samples as the tune has.
    bool IsWholeStream(const Tune& tune, const std::string& bytes) const;

    const std::string m_cacheFolder;
    const uint32_t m_maxSeconds;
    std::atomic<bool> m_stopped{false};
    mutable platform::Mutex m_mutex;
    mutable std::map<uint32_t, Track> m_tracks OVR_GUARDED_BY(m_mutex);
};
} // namespace station
