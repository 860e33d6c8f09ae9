#include "Player.h"

#include "PlayError.h"
#include "SessionStart.h"
#include "SessionStop.h"
#include "Sha256.h"
#include "StreamClose.h"
#include "TrackFileName.h"
#include "TrackText.h"
#include "platform/Clock.h"
#include "platform/com/BStr.h"

#include <vector>

namespace
{
using platform::com::BStr;

// How long a track reads before its download rate is shown.
constexpr DWORD kRateAfterMs = 500;

// ReadStream's error code at the end of a track that ended short.
constexpr DWORD kTrackEndedShort = 17;

// Milliseconds of audio in nBytes at nBitRate kbit/s.
uint64_t AudioMs(uint64_t nBytes, INT nBitRate)
{
    return nBitRate > 0 ? nBytes * 8 / static_cast<uint64_t>(nBitRate) : 0;
}
} // namespace

CPlayer::CPlayer(IRadioEngine& engine, const SPlayOptions& options, CStatusQueue& queue,
                 CTrackSink& sink, CPlayReport& report)
    : m_engine(engine), m_options(options), m_queue(queue), m_sink(sink), m_report(report),
      m_handshake(
          engine, queue, [this](const SEngineStatus& status) { m_report.Status(status); },
          [this] { return Stopping(); })
{
}

CPlayer::EEnd CPlayer::Play()
{
    StartSession();
    CSessionStop session(m_engine);
    EEnd end = EEnd::eTracksPlayed;
    while (m_options.nTracks == 0 || m_nPlayed < m_options.nTracks)
    {
        INT nTrackId = 0;
        const ENext next = m_handshake.NextTrack(nTrackId);
        if (next == ENext::eStationEnded)
        {
            end = EEnd::eStationEnded;
            break;
        }
        if (next == ENext::eStop || !PlayTrack(nTrackId))
        {
            end = EEnd::eStopped;
            break;
        }
        ++m_nPlayed;
    }
    session.Stop();
    HandleStatuses();
    if (end == EEnd::eStationEnded)
        m_report.Note("the station has ended");
    else if (end == EEnd::eStopped)
        m_report.Note("stopped");
    return end;
}

void CPlayer::StartSession()
{
    ::StartSession(m_engine, m_options.strStation, m_options.strName, m_options.strAFD,
                   m_options.strCCD, m_options.strUserInfo);
}

bool CPlayer::PlayTrack(INT nTrackId)
{
    STrackReport track;
    track.nIndex = m_nPlayed + 1;
    track.nTrackId = nTrackId;
    track.strName = TrackText(m_engine, &IRadioEngine::GetTrackName, nTrackId, "GetTrackName");
    track.strArtist = TrackText(m_engine, &IRadioEngine::GetArtistName, nTrackId, "GetArtistName");
    track.strAlbum = TrackText(m_engine, &IRadioEngine::GetAlbumName, nTrackId, "GetAlbumName");

    CStreamClose stream(m_engine);
    // OpenStream may fail after opening the stream (a track without bit rate or size), so
    // the stream is closed on its failure too.
    stream.Opened();
    Check(m_engine.OpenStream(nTrackId), "OpenStream");
    BStr format;
    Check(m_engine.GetStreamFormat(format.Out()), "GetStreamFormat");
    track.strFormat = format.ToUtf8();
    Check(m_engine.GetStreamBitRate(&track.nBitRate), "GetStreamBitRate");
    Check(m_engine.GetStreamTotalSizeBytes(&track.nSize), "GetStreamTotalSizeBytes");

    m_sink.Begin(TrackFileName(track.nIndex, track.strArtist, track.strName, track.strFormat));
    m_report.TrackStarted(track);
    // The digest is worked out only for whom it is for (the JSON line and the track
    // check): hashing every byte costs a flat-out read a fair part of its speed.
    const bool bDigest = m_options.bJson || static_cast<bool>(m_check);
    CSha256 digest;
    std::vector<char> buffer(m_options.nReadSize);
    const DWORD dwOpened = platform::GetTickCount();
    DWORD dwFirstByte = 0;
    bool bStarted = false;
    while (true)
    {
        HandleStatuses();
        if (Stopping())
        {
            m_sink.Abandon();
            return false;
        }
        INT nStatus = RS_EOF;
        LONG nRead = 0;
        const HRESULT hr =
            m_engine.ReadStream(static_cast<LONG>(buffer.size()),
                                reinterpret_cast<LONG_PTR>(buffer.data()), &nStatus, &nRead);
        if (FAILED(hr))
        {
            CPlayError error("ReadStream", hr);
            if (!error.HasErrorInfo() || error.HelpContext() != kTrackEndedShort)
                throw error;
            track.bTruncated = true;
            ++m_nTruncated;
            break;
        }
        if (nStatus == RS_EOF)
            break;
        if (nStatus == RS_OK && nRead > 0)
        {
            const auto nBytes = static_cast<std::size_t>(nRead);
            if (!m_sink.Write(buffer.data(), nBytes))
            {
                m_bReaderGone = true;
                m_sink.Abandon();
                return false;
            }
            if (bDigest)
                digest.Update(buffer.data(), nBytes);
            track.nBytes += nBytes;
            if (!bStarted)
            {
                bStarted = true;
                dwFirstByte = platform::GetTickCount();
            }
            if (m_options.bRealtime)
                PaceUntil(dwFirstByte + static_cast<DWORD>(AudioMs(track.nBytes, track.nBitRate)));
        }
        // RS_NODATAVAILABLE: the engine has already paused before answering; ask again.
        // The rate shows once it is measured over long enough to mean something.
        const DWORD dwElapsed = platform::GetTickCount() - dwOpened;
        m_report.Progress(track, dwElapsed >= kRateAfterMs
                                     ? static_cast<double>(track.nBytes) * 8.0 / dwElapsed
                                     : 0.0);
    }
    stream.Close();
    if (bDigest)
        track.strSha256 = digest.HexDigest();
    track.strFile = m_sink.Finish();
    m_report.TrackPlayed(track);
    if (m_check)
        m_check(track);
    return true;
}

void CPlayer::PaceUntil(DWORD dwDeadline)
{
    m_handshake.WaitUntil(dwDeadline);
}

void CPlayer::HandleStatuses()
{
    m_handshake.HandleStatuses();
}
