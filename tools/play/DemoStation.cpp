#include "DemoStation.h"

#include "MpegFrame.h"
#include "PlayError.h"
#include "PlayReport.h"
#include "Sha256.h"
#include "Station.h"
#include "host/Preferences.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

CDemoStation::CDemoStation()
{
    const char* pszHome = std::getenv("OVRADIO_HOME");
    if (pszHome != nullptr && *pszHome != '\0')
        m_strHome = pszHome;
    else
    {
        std::error_code error;
        std::string strTemplate =
            (std::filesystem::temp_directory_path(error) / "ovradio-demo-XXXXXX").string();
        if (::mkdtemp(strTemplate.data()) == nullptr)
            throw CPlayError("cannot make a temporary runtime folder: " +
                             std::string(std::strerror(errno)));
        m_strHome = strTemplate;
        m_bTemporaryHome = true;
        ::setenv("OVRADIO_HOME", m_strHome.c_str(), 1);
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
    if (m_bTemporaryHome)
    {
        std::error_code error;
        std::filesystem::remove_all(m_strHome, error);
        m_bTemporaryHome = false;
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
