#include "PlayReport.h"

#include "platform/Clock.h"
#include "platform/JsonText.h"
#include "platform/TerminalText.h"

#include <cstdio>

namespace
{
constexpr DWORD kProgressEveryMs = 250;

// The line's text with the terminal's erase-to-end, so that a shorter line leaves nothing
// of a longer one.
constexpr const char* kLineStart = "\r\x1b[K";

// Minutes and seconds of audio in nBytes at nBitRate kbit/s ("3:07"); "?:??" without a
// bit rate.
std::string PlayTime(uint64_t nBytes, INT nBitRate)
{
    if (nBitRate <= 0)
        return "?:??";
    const uint64_t nSeconds = nBytes * 8 / 1000 / static_cast<uint64_t>(nBitRate);
    char text[32];
    std::snprintf(text, sizeof(text), "%llu:%02llu", static_cast<unsigned long long>(nSeconds / 60),
                  static_cast<unsigned long long>(nSeconds % 60));
    return text;
}

std::string Kilobytes(uint64_t nBytes)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.0f KB", static_cast<double>(nBytes) / 1000.0);
    return text;
}
} // namespace

CPlayReport::CPlayReport(std::ostream* pJson, std::ostream* pTerminal)
    : m_pJson(pJson), m_pTerminal(pTerminal)
{
}

std::string CPlayReport::StatusJson(const SEngineStatus& status)
{
    return "{\"type\":\"status\",\"code\":" + std::to_string(status.nCode) +
           ",\"text\":" + (status.text ? platform::JsonString(*status.text) : std::string("null")) +
           "}";
}

std::string CPlayReport::TrackJson(const STrackReport& track)
{
    std::string out = "{\"type\":\"track\"";
    auto number = [&](const char* name, long long value)
    { out += std::string(",\"") + name + "\":" + std::to_string(value); };
    auto text = [&](const char* name, const std::string& value)
    { out += std::string(",\"") + name + "\":" + platform::JsonString(value); };
    number("index", track.nIndex);
    number("trackid", track.nTrackId);
    text("name", track.strName);
    text("artist", track.strArtist);
    text("album", track.strAlbum);
    text("format", track.strFormat);
    number("bitrate", track.nBitRate);
    number("size", track.nSize);
    number("bytes", static_cast<long long>(track.nBytes));
    text("sha256", track.strSha256);
    out += ",\"file\":";
    out += track.strFile.empty() ? std::string("null") : platform::JsonString(track.strFile);
    out += std::string(",\"truncated\":") + (track.bTruncated ? "true" : "false");
    return out + "}";
}

std::string CPlayReport::EndJson(uint32_t nTracks)
{
    return "{\"type\":\"end\",\"tracks\":" + std::to_string(nTracks) + "}";
}

void CPlayReport::Status(const SEngineStatus& status)
{
    if (m_pJson)
        *m_pJson << StatusJson(status) << std::endl;
    // The station's own text, which says what it announces ("Coming up: ...").
    if (status.nCode == 6 && status.text)
        Note(*status.text);
    else if (status.nCode == 8)
        Note("the station sends no further sequences; it plays on to its last track" +
             (status.text && !status.text->empty() ? ": " + *status.text : std::string()));
}

void CPlayReport::TrackStarted(const STrackReport& track)
{
    Progress(track, 0.0, true);
}

void CPlayReport::Progress(const STrackReport& track, double dRateKbps, bool bNow)
{
    if (!m_pTerminal)
        return;
    const DWORD dwNow = platform::GetTickCount();
    if (!bNow && m_bProgressShown && dwNow - m_dwLastProgress < kProgressEveryMs)
        return;
    m_dwLastProgress = dwNow;
    m_bProgressShown = true;
    const auto nSize = static_cast<uint64_t>(track.nSize > 0 ? track.nSize : 0);
    char rate[48] = "";
    if (dRateKbps > 0.0)
        std::snprintf(rate, sizeof(rate), "  %.0f kbit/s", dRateKbps);
    *m_pTerminal << kLineStart << track.nIndex << ". " << platform::TerminalSafe(track.strName)
                 << " - " << platform::TerminalSafe(track.strArtist) << "  "
                 << PlayTime(track.nBytes, track.nBitRate) << " / "
                 << PlayTime(nSize, track.nBitRate) << "  " << Kilobytes(track.nBytes) << " of "
                 << Kilobytes(nSize) << rate << std::flush;
}

void CPlayReport::TrackPlayed(const STrackReport& track)
{
    if (m_pJson)
        *m_pJson << TrackJson(track) << std::endl;
    if (m_pTerminal)
    {
        EndProgressLine();
        *m_pTerminal << track.nIndex << ". " << platform::TerminalSafe(track.strName) << " - "
                     << platform::TerminalSafe(track.strArtist) << "  " << Kilobytes(track.nBytes)
                     << (track.bTruncated ? " of " +
                                                Kilobytes(static_cast<uint64_t>(
                                                    track.nSize > 0 ? track.nSize : 0)) +
                                                "  ENDED SHORT"
                                          : std::string())
                     << (track.strFile.empty() ? std::string()
                                               : "  -> " + platform::TerminalSafe(track.strFile))
                     << "\n"
                     << std::flush;
    }
}

void CPlayReport::Note(const std::string& strText)
{
    if (!m_pTerminal)
        return;
    EndProgressLine();
    *m_pTerminal << platform::TerminalSafe(strText) << "\n" << std::flush;
}

void CPlayReport::End(uint32_t nTracks)
{
    if (m_pJson)
        *m_pJson << EndJson(nTracks) << std::endl;
    EndProgressLine();
}

void CPlayReport::EndProgressLine()
{
    if (m_pTerminal && m_bProgressShown)
        *m_pTerminal << kLineStart << std::flush;
    m_bProgressShown = false;
}
