#include "DemoStation.h"

#include "MpegFrame.h"
#include "PlayError.h"
#include "PlayReport.h"
#include "Sha256.h"
#include "Station.h"
#include "host/Preferences.h"
#include "platform/RuntimeFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>

namespace
{
// The first line of a preferences file the demo writes: a file that begins so is the
// demo's own (also one an interrupted demo left behind), any other is the user's.
constexpr std::string_view kDemoMark =
    "; written by ovradio-play --demo for its own station; removed when the demo ends";

std::string PreferencesOf(const std::string& strHome)
{
    return strHome + "/preferences.ini";
}

std::string FileText(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string MakeTemporaryHome()
{
    std::error_code error;
    std::string strTemplate =
        (std::filesystem::temp_directory_path(error) / "ovradio-demo-XXXXXX").string();
    if (::mkdtemp(strTemplate.data()) == nullptr)
        throw CPlayError("cannot make a temporary runtime folder: " +
                         std::string(std::strerror(errno)));
    ::setenv("OVRADIO_HOME", strTemplate.c_str(), 1);
    return strTemplate;
}
} // namespace

CDemoStation::CDemoStation()
{
    const char* pszHome = std::getenv("OVRADIO_HOME");
    if (pszHome != nullptr && *pszHome != '\0')
    {
        m_strHome = platform::RuntimeFolder(); // made (private) when it does not exist
        // The user's own preferences there are never changed: the demo then plays in a
        // temporary folder of its own.
        const std::string strPreferences = PreferencesOf(m_strHome);
        std::error_code error;
        if (std::filesystem::exists(strPreferences, error) &&
            !FileText(strPreferences).starts_with(kDemoMark))
            m_strHome.clear();
    }
    if (m_strHome.empty())
    {
        m_strHome = MakeTemporaryHome();
        m_bTemporaryHome = true;
    }
    try
    {
        Start();
    }
    catch (...)
    {
        Close();
        throw;
    }
}

CDemoStation::~CDemoStation()
{
    Close();
}

void CDemoStation::Start()
{
    try
    {
        m_pStation = std::make_unique<station::Station>();
    }
    catch (const std::exception& error)
    {
        throw CPlayError(std::string("cannot start the embedded station: ") + error.what());
    }
    const std::string strPreferences = PreferencesOf(m_strHome);
    if (!m_bTemporaryHome)
    {
        // Written before the first value, so that the file is known as the demo's.
        std::ofstream out(strPreferences, std::ios::binary | std::ios::trunc);
        out << kDemoMark << "\n";
        m_bOwnPreferences = static_cast<bool>(out.flush());
        if (!m_bOwnPreferences)
            throw CPlayError("cannot write " + strPreferences);
    }
    const std::string strServer = "127.0.0.1:" + std::to_string(m_pStation->Port());
    if (host::PrefSetValueString("OVRadio", "SequenceUrl", BaseUrl() + "/sequence.m3u?") != 0 ||
        host::PrefSetValueString("OVRadio", "TimeServer", strServer) != 0)
        throw CPlayError("cannot write the preferences of " + m_strHome);
}

void CDemoStation::Close()
{
    if (m_pStation)
        m_pStation->Stop();
    m_pStation.reset();
    std::error_code error;
    if (m_bTemporaryHome)
    {
        std::filesystem::remove_all(m_strHome, error);
        m_bTemporaryHome = false;
    }
    else if (m_bOwnPreferences)
    {
        const std::string strPreferences = PreferencesOf(m_strHome);
        std::filesystem::remove(strPreferences, error);
        std::filesystem::remove(strPreferences + ".lock", error);
        m_bOwnPreferences = false;
    }
}

std::string CDemoStation::BaseUrl() const
{
    return m_pStation->BaseUrl();
}

std::string CDemoStation::CheckTrack(const STrackReport& track) const
{
    const auto nTrackId = static_cast<uint32_t>(track.nTrackId);
    if (station::MusicLibrary::TuneOf(nTrackId) == nullptr)
        return "track " + std::to_string(nTrackId) + " is no music track: not checked";
    const std::string& served = *m_pStation->Tracks().Music().TrackOf(nTrackId).bytes;
    if (track.nBytes != served.size() || track.strSha256 != CSha256::Of(served))
        throw CPlayError("track " + std::to_string(nTrackId) + " is not what the station served (" +
                         std::to_string(track.nBytes) + " bytes read, " +
                         std::to_string(served.size()) + " served)");
    std::string text = "track " + std::to_string(nTrackId) + ": the station's " +
                       std::to_string(served.size()) + " bytes exactly";
    if (track.strFile.empty())
        return text;
    std::ifstream in(track.strFile, std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const station::MpegWalk walk = station::WalkMpegFrames(file);
    const double dSeconds = walk.first && walk.first->sampleRate > 0
                                ? static_cast<double>(walk.samples) / walk.first->sampleRate
                                : 0.0;
    const double dAnnounced =
        track.nBitRate > 0 ? static_cast<double>(track.nSize) * 8.0 / (track.nBitRate * 1000.0)
                           : 0.0;
    // Within a frame (1152 samples, 26 ms at 44.1 kHz) of the length the size announces.
    if (file != served || !walk.Whole(file.size()) || dSeconds - dAnnounced > 0.03 ||
        dAnnounced - dSeconds > 0.03)
        throw CPlayError(track.strFile + " is not the station's MPEG audio stream");
    char figures[96];
    std::snprintf(figures, sizeof(figures), "; MPEG audio, %llu whole frames, %.1f s",
                  static_cast<unsigned long long>(walk.frames), dSeconds);
    return text + figures;
}
