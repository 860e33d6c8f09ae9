#include "Player.h"

#include "PlayError.h"
#include "Sha256.h"
#include "TrackFileName.h"
#include "platform/Clock.h"
#include "platform/com/BStr.h"

#include <vector>

namespace
{
using platform::com::BStr;

// How long a track reads before its download rate is shown.
constexpr DWORD kRateAfterMs = 500;

// The engine's error code when it has no track ready yet.
constexpr DWORD kNoTrackYet = 11;

// Calls StopSession when the session's scope ends, on every path.
class CSessionStop
{
public:
    explicit CSessionStop(IRadioEngine& engine) : m_engine(engine) {}
    ~CSessionStop()
    {
        if (m_bActive)
            m_engine.StopSession();
    }
    CSessionStop(const CSessionStop&) = delete;
    CSessionStop& operator=(const CSessionStop&) = delete;

    // The normal end: a failing StopSession is an error then.
    void Stop()
    {
        m_bActive = false;
        Check(m_engine.StopSession(), "StopSession");
    }

private:
    IRadioEngine& m_engine;
    bool m_bActive = true;
};

// Calls CloseStream once the stream was opened, on every path out of the track.
class CStreamClose
{
public:
    explicit CStreamClose(IRadioEngine& engine) : m_engine(engine) {}
    ~CStreamClose()
    {
        if (m_bOpen)
            m_engine.CloseStream();
    }
    CStreamClose(const CStreamClose&) = delete;
    CStreamClose& operator=(const CStreamClose&) = delete;

    void Opened() { m_bOpen = true; }
    void Close()
    {
        m_bOpen = false;
        Check(m_engine.CloseStream(), "CloseStream");
    }

private:
    IRadioEngine& m_engine;
    bool m_bOpen = false;
};

std::string TrackText(IRadioEngine& engine, HRESULT (IRadioEngine::*pfnGetter)(INT, BSTR*),
                      INT nTrackId, const char* pszCall)
{
    BStr text;
    Check((engine.*pfnGetter)(nTrackId, text.Out()), pszCall);
    return text.ToUtf8();
}

// Milliseconds of audio in nBytes at nBitRate kbit/s.
uint64_t AudioMs(uint64_t nBytes, INT nBitRate)
{
    return nBitRate > 0 ? nBytes * 8 / static_cast<uint64_t>(nBitRate) : 0;
}
} // namespace

CPlayer::CPlayer(IRadioEngine& engine, const SPlayOptions& options, CStatusQueue& queue,
                 CTrackSink& sink, CPlayReport& report)
    : m_engine(engine), m_options(options), m_queue(queue), m_sink(sink), m_report(report)
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
        const ENext next = NextTrack(nTrackId);
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
    const BStr station(m_options.strStation);
    const BStr name(m_options.strName);
    const BStr afd(m_options.strAFD);
    const BStr ccd(m_options.strCCD);
    const BStr userInfo(m_options.strUserInfo);
    const OVRADIO_STATUS_CALLBACK pfnCallback = &CStatusQueue::StatusCallback;
    Check(m_engine.StartSession(station.Get(), name.Get(), afd.Get(), ccd.Get(), userInfo.Get(),
                                reinterpret_cast<LONG_PTR>(pfnCallback)),
          "StartSession");
}

CPlayer::ENext CPlayer::NextTrack(INT& nTrackId)
{
    int nUnanswered = 0;
    while (true)
    {
        HandleStatuses();
        if (Stopping())
            return ENext::eStop;
        const HRESULT hr = m_engine.GetNextTrackID(&nTrackId);
        if (SUCCEEDED(hr))
            return ENext::eTrack;
        CPlayError error("GetNextTrackID", hr);
        if (!error.HasErrorInfo() || error.HelpContext() != kNoTrackYet)
            throw error;

        m_nAnswer = 0;
        Check(m_engine.AckNotified(0), "AckNotified");
        const DWORD dwDeadline = platform::GetTickCount() + kReaskMs;
        while (m_nAnswer == 0 && !Stopping() &&
               static_cast<LONG>(dwDeadline - platform::GetTickCount()) > 0)
        {
            m_queue.WaitUntil(dwDeadline);
            HandleStatuses();
        }
        if (Stopping())
            return ENext::eStop;
        switch (m_nAnswer)
        {
        case 7:
        case 8:
            nUnanswered = 0;
            break;
        case 3:
            if (m_bEndAnnounced)
                return ENext::eStationEnded;
            error.Explain("the engine answered with status 3: it could not buffer a track");
            throw error;
        default:
            if (++nUnanswered == kTries)
            {
                error.Explain("no status came within " + std::to_string(kReaskMs / 1000) +
                              " s of any of " + std::to_string(kTries) + " tries");
                throw error;
            }
        }
    }
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
        Check(m_engine.ReadStream(static_cast<LONG>(buffer.size()),
                                  reinterpret_cast<LONG_PTR>(buffer.data()), &nStatus, &nRead),
              "ReadStream");
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
    while (!Stopping() && static_cast<LONG>(dwDeadline - platform::GetTickCount()) > 0)
    {
        m_queue.WaitUntil(dwDeadline);
        HandleStatuses();
    }
}

void CPlayer::HandleStatuses()
{
    for (const SEngineStatus& status : m_queue.Take())
    {
        if (status.nCode == 3 || status.nCode == 7 || status.nCode == 8)
            m_nAnswer = status.nCode;
        if (status.nCode == 8)
            m_bEndAnnounced = true;
        m_report.Status(status);
    }
}
