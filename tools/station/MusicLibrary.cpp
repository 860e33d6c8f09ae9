#include "MusicLibrary.h"

#include "Mp3Encoder.h"
#include "ToneSynth.h"
#include "host/Md5.h"
#include "platform/Files.h"
#include "platform/StoredFile.h"

#include <cstdlib>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace station
{
namespace
{
// Changes whenever the synthesiser changes what it makes of a tune, so that cache files
// made by an older station are not taken for the new tracks.
constexpr int kSynthRevision = 1;

// lame puts its encoder delay before the samples and fills the last frame: a stream has
// up to this many samples more than the tune.
constexpr uint64_t kEncoderSlack = 3 * 1152;

std::string Environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

// Everything the bytes of a tune's stream depend on, as text.
std::string Recipe(const Tune& tune, uint32_t maxSeconds)
{
    std::ostringstream text;
    text << "synth " << kSynthRevision << "\n"
         << Mp3Encoder::Settings() << "\n"
         << "at most " << maxSeconds << " s\n"
         << tune.trackid << " " << tune.beatsPerMinute << "\n";
    for (const Voice& voice : tune.voices)
        text << static_cast<int>(voice.timbre) << " " << voice.transpose << " " << voice.startBeat
             << " " << voice.repeats << " " << voice.gain << " " << voice.pan << " " << voice.notes
             << "\n";
    return text.str();
}
} // namespace

MusicLibrary::MusicLibrary(std::string cacheFolder, uint32_t maxSeconds)
    : m_cacheFolder(std::move(cacheFolder)), m_maxSeconds(maxSeconds)
{
}

std::string MusicLibrary::DefaultCacheFolder()
{
    // A relative XDG_CACHE_HOME is invalid and ignored, as the base directory rules say.
    const std::string cache = Environment("XDG_CACHE_HOME");
    if (!cache.empty() && cache.front() == '/')
        return cache + "/ovradio/station-music";
    const std::string home = Environment("HOME");
    return home.empty() ? std::string() : home + "/.cache/ovradio/station-music";
}

std::vector<uint32_t> MusicLibrary::TrackIds()
{
    std::vector<uint32_t> ids;
    for (const Tune& tune : Tunes())
        ids.push_back(tune.trackid);
    return ids;
}

const Tune* MusicLibrary::TuneOf(uint32_t trackid)
{
    for (const Tune& tune : Tunes())
        if (tune.trackid == trackid)
            return &tune;
    return nullptr;
}

MusicLibrary::Track MusicLibrary::TrackOf(uint32_t trackid) const
{
    const Tune* tune = TuneOf(trackid);
    if (!tune)
        throw std::invalid_argument("no music track " + std::to_string(trackid));
    platform::MutexLock lock(m_mutex);
    if (const auto it = m_tracks.find(trackid); it != m_tracks.end())
        return it->second;
    Track track{tune, Load(*tune), {}};
    track.format = ReadFirstMpegFrame(*track.bytes).value_or(MpegFormat{});
    m_tracks[trackid] = track;
    return track;
}

std::string MusicLibrary::CacheFile(const Tune& tune) const
{
    const std::string digest = host::Md5Hex(Recipe(tune, m_maxSeconds)).substr(0, 16);
    return m_cacheFolder + "/" + std::to_string(tune.trackid) + "-" + digest + ".mp3";
}

std::optional<std::string> MusicLibrary::Encode(const Tune& tune, uint32_t maxSeconds,
                                                const std::function<bool()>& stopped)
{
    return Mp3Encoder::Encode(ToneSynth::Render(tune, maxSeconds), stopped);
}

std::shared_ptr<const std::string> MusicLibrary::Load(const Tune& tune) const
{
    if (std::optional<std::string> cached = ReadCache(tune))
        return std::make_shared<const std::string>(std::move(*cached));
    std::optional<std::string> bytes =
        Encode(tune, m_maxSeconds, [this] { return m_stopped.load(); });
    if (!bytes)
        throw std::runtime_error("the station stops before the music is encoded");
    WriteCache(tune, *bytes);
    return std::make_shared<const std::string>(std::move(*bytes));
}

std::optional<std::string> MusicLibrary::ReadCache(const Tune& tune) const
{
    if (m_cacheFolder.empty())
        return std::nullopt;
    try
    {
        std::string bytes = platform::ReadStoredFile(CacheFile(tune));
        if (IsWholeStream(tune, bytes))
            return bytes;
    }
    catch (const platform::StoredFileError&)
    {
        // An unreadable cache file is encoded anew and replaced.
    }
    return std::nullopt;
}

void MusicLibrary::WriteCache(const Tune& tune, const std::string& bytes) const
{
    if (m_cacheFolder.empty())
        return;
    const std::string path = CacheFile(tune);
    try
    {
        if (!platform::CreateFolderChain(m_cacheFolder))
            throw platform::StoredFileError("the folder cannot be made");
        platform::ReplaceStoredFile(path, bytes);
    }
    catch (const platform::StoredFileError& error)
    {
        // The track is served from memory all the same; the next run encodes it again.
        std::cerr << "ovradio-station: " << path << ": " << error.what() << "\n";
    }
}

bool MusicLibrary::IsWholeStream(const Tune& tune, const std::string& bytes) const
{
    const MpegWalk walk = WalkMpegFrames(bytes);
    const MpegFormat format{Mp3Encoder::kBitrateKbps, Mp3Encoder::kChannels,
                            Mp3Encoder::kSampleRate};
    const uint64_t samples = ToneSynth::Frames(tune, m_maxSeconds);
    return walk.Whole(bytes.size()) && walk.sameFormat && walk.first == format &&
           walk.samples >= samples && walk.samples <= samples + kEncoderSlack;
}
} // namespace station
