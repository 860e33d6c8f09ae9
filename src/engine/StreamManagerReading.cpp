// The player's side: handing out the next track, opening, reading and closing it, and
// the throttling decision when a track is closed.
#include "download/TrackCache.h"
#include "engine/StatusGate.h"
#include "engine/StreamManager.h"
#include "host/RadEngException.h"
#include "host/Trace.h"
#include "host/TracedLock.h"
#include "hostlibs/EventMgr.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/Format.h"
#include "sequence/ConnectionRateMeter.h"

#include <algorithm>
#include <cstdint>
#include <iomanip>
#include <sstream>

namespace
{
// ReadStream's failure at the end of a track that ended short: the host must not take it
// for a whole one (docs/host-guide.md).
constexpr int kTrackEndedShort = 17;

void PostTrackEvent(const char* pszName, const std::string& strTrack)
{
    mcEvent event(eEventCategoryError, pszName);
    event.AddParameter("TrackName", strTrack.c_str());
    GetEventMgr()->PostEvent(event);
}

std::string Fixed3(double dValue)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << dValue;
    return text.str();
}

void FillTrackInfo(const STrackInfo& rec, SPlayerTrackInfo& info)
{
    info.nTrackID = rec.trackid;
    info.nArtistID = platform::StrToLong(rec.artistid.c_str());
    info.nAlbumID = platform::StrToLong(rec.albumid.c_str());
    info.strName = rec.track;
    info.strArtist = rec.artist;
    info.strAlbum = rec.album;
    info.strArtUrl = rec.arturl;
    info.strTrackUrl = rec.songurl;
    info.nSkippable = static_cast<LONG>(rec.skip);
    info.nDisplayDelay = static_cast<LONG>(rec.displaydelay);
    info.strWebUrl = rec.weburl;
    info.strBrowser = rec.browserstr;
    info.strText = rec.stationtext;
    info.strQuality = rec.qualityname;
    info.strAFD = rec.afd;
}
} // namespace

// The bytes buffered before the first is handed over: the start threshold's seconds at the
// track's bit rate, but never more than the cache's high-water mark, at which its download
// pauses until the reader takes bytes (the track cache keeps that mark within its buffer).
DWORD CStreamManager::StartBytes(const CTrackCache& cache)
{
    const STrackInfo& rec = cache.GetTrackInfo();
    const uint64_t nNeeded = uint64_t{rec.startthresh} * rec.songbr * 125u;
    return static_cast<DWORD>(std::min<uint64_t>(nNeeded, cache.GetHighWater()));
}

DWORD CStreamManager::GetReadTimeout(int nKind)
{
    switch (nKind)
    {
    case 0:
        return kStartTimeoutMs;
    case 1:
        return kContinueTimeoutMs;
    default:
        return 0;
    }
}

BOOL CStreamManager::GetNextTrack(SPlayerTrackInfo& info)
{
    Trace("CStreamManager::GetNextTrack called.");
    // The old track's cache is destroyed once no lock is held.
    std::shared_ptr<CTrackCache> pOld;
    bool bNoTrack = false;
    {
        TracedLock read(g_csReadCache, "CStreamManager::GetNextTrack-g_csReadCache");
        if (m_strStationID.empty())
            RADENG_THROW("Station is not initialized. Call StartStation", 14);
        if (m_itReadCache)
        {
            if (m_eStreamState != eStreamIdle && !(**m_itReadCache)->IsSkippable())
                RADENG_THROW("Track not skippable, ignoring Next", 10);
        }
    }
    if (m_eStreamState != eStreamIdle)
        WaitForStreamClosed();
    {
        TracedLock read(g_csReadCache, "CStreamManager::GetNextTrack-g_csReadCache");
        if (m_strStationID.empty())
            RADENG_THROW("Station is not initialized. Call StartStation", 14);
        if (m_itReadCache)
            pOld = ReleaseReadCache();
        m_itReadCache = GetFirstAvailableTrack();
        if (!m_itReadCache)
            bNoTrack = true;
        else
        {
            const STrackInfo& rec = (**m_itReadCache)->GetTrackInfo();
            FillTrackInfo(rec, info);
            Trace("CStreamManager::GetNextTrack trackinfo name=%s, Artist=%s, Album=%s",
                  rec.track.c_str(), rec.artist.c_str(), rec.album.c_str());
            {
                TracedLock write(g_csWriteCache, "CStreamManager::GetNextTrack-g_csWriteCache");
                if (!m_itWriteCache)
                    m_itWriteCache = m_itReadCache;
            }
            Trace("CStreamManager::GetNextTrack returned -%s(%lu)", rec.track.c_str(), rec.trackid);
        }
    }
    pOld.reset();
    if (!bNoTrack)
    {
        m_bTrackHandedOut = true;
        EndPendingHandshake();
    }
    if (bNoTrack)
    {
        // The status first, then the thread: one that is about to end sees the player
        // waiting and goes round, or has ended and a new one starts.
        m_bPlayerAskedInVain = true;
        SetStatus(1);
        StartNewTrackCache();
        RADENG_THROW("Could not get Next track", 11);
    }
    AnnounceEndIfSequencesEnded();
    return TRUE;
}

// A track handed out answers an earlier code 11 better than a 7 would: the new-cache
// thread, which waits for an acknowledgement or sends the answer, is told so and owes none.
void CStreamManager::EndPendingHandshake()
{
    if (!m_bPlayerAskedInVain.exchange(false))
        return;
    for (int nPending : {1, 2})
        if (m_nStatus.compare_exchange_strong(nPending, 0))
            break;
    m_evStatusChanged.Set();
}

// A track buffered ahead is handed out without a handshake, so the last sequence's tracks
// may all go that way; without this the player would meet 3 with no 8 before it and could
// not tell the station's end from a failure.
void CStreamManager::AnnounceEndIfSequencesEnded()
{
    if (m_bEndStation || m_pSequenceMgr->GetSequenceStatus() != 244)
        return;
    if (m_bEndAnnounced.exchange(true))
        return;
    SetStatus(8);
}

// Gives the player up to 500 ms to close the old track (from another thread).
void CStreamManager::WaitForStreamClosed()
{
    const DWORD dwStart = platform::GetTickCount();
    while (m_eStreamState != eStreamIdle)
    {
        const DWORD dwSpent = platform::GetTickCount() - dwStart;
        if (dwSpent >= kCloseWaitMs)
            return;
        m_evStreamClosed.Wait(kCloseWaitMs - dwSpent);
    }
}

// Unlinks and aborts the read cache; the caller destroys it once it holds no lock.
std::shared_ptr<CTrackCache> CStreamManager::ReleaseReadCache()
{
    std::shared_ptr<CTrackCache> pOld = **m_itReadCache;
    if (pOld->GetWriteStatus() != WS_ABORTED)
        pOld->AbortWrite();
    Position position = *m_itReadCache;
    {
        TracedLock list(g_csTrackCacheList, "CStreamManager::GetNextTrack-g_csTrackCacheList");
        // The read position may have been moved by a cleanup; it designates the same cache.
        RemoveFromTrackCacheList(position);
    }
    m_itReadCache.reset();
    return pOld;
}

std::optional<CStreamManager::Position> CStreamManager::GetFirstAvailableTrack()
{
    {
        TracedLock list(g_csTrackCacheList,
                        "CStreamManager::GetFirstAvailableTrack-g_csTrackCacheList");
        for (Position it = m_listTrackCaches.begin(); it != m_listTrackCaches.end(); ++it)
        {
            const DWORD dwStatus = (*it)->GetWriteStatus();
            if (dwStatus != WS_FAILED && dwStatus != WS_ABORTED && dwStatus != WS_DENIED)
                return it;
        }
    }
    Trace("CStreamManager::GetFirstAvailableTrack calling StartNewTrackCache");
    StartNewTrackCache();
    return std::nullopt;
}

BOOL CStreamManager::OpenStream(DWORD nTrackID, SStreamFormat& format)
{
    m_dwWaitStart = 0;
    if (m_bEndStation)
        RADENG_THROW("CStreamManager::OpenStream called with End Station call", 16);
    DWORD dwStatus = WS_IDLE;
    {
        TracedLock read(g_csReadCache, "CStreamManager::OpenStream-g_csReadCache");
        if (!m_itReadCache)
            RADENG_THROW("CStreamManager::OpenStream called with m_itReadCache=NULL. Was "
                         "GetNextTrack called?\n",
                         7);
        const CTrackCache& cache = ***m_itReadCache;
        const STrackInfo& rec = cache.GetTrackInfo();
        Trace("CStreamManager::OpenStream <enter> Track = %s (%lu)", rec.track.c_str(), nTrackID);
        if (nTrackID != rec.trackid)
            RADENG_THROW(
                "CStreamManager::OpenStream - passed in TrackID and ReadCache ID mismatch!!\n", 7);
        format.nBitRate = static_cast<LONG>(rec.songbr);
        format.nTotalSizeBytes = static_cast<LONG>(rec.songsize);
        format.nNumChannels = static_cast<LONG>(rec.numchans);
        format.nFrequency = static_cast<LONG>(rec.samplerate);
        format.strFormat = rec.songenc;
        dwStatus = cache.GetWriteStatus();
    }
    if (dwStatus == WS_FAILED)
        RADENG_THROW(
            "CStreamManager::OpenStream failed, as track download/write to cache has failed\n", 9);
    m_eStreamState = eStreamOpen;
    m_pRateMeter->SetWindow(m_pSequenceMgr->ServerIfc().Params().nCCDWindow.load());
    m_bThrottleHandled = false;
    return TRUE;
}

EReadStatus CStreamManager::ReadStream(BYTE* pBuffer, DWORD& dwCount)
{
    if (m_bEndStation)
    {
        dwCount = 0;
        return RS_EOF;
    }
    std::shared_ptr<CTrackCache> pWaitOn;
    DWORD dwWaitBytes = 0;
    std::string strComingUp;
    EReadStatus eStatus = RS_EOF;
    {
        TracedLock read(g_csReadCache, "CStreamManager::ReadStream-g_csReadCache");
        eStatus = ReadLocked(pBuffer, dwCount, pWaitOn, dwWaitBytes, strComingUp);
    }
    // Outside the lock: the callback, and the pause, which ends as soon as the data are
    // there, the download has ended or the cache was aborted (the station's end aborts it).
    if (!strComingUp.empty())
        m_pStatusGate->Call(6, strComingUp.c_str());
    if (pWaitOn)
        pWaitOn->WaitForData(kReadPauseMs, dwWaitBytes);
    return eStatus;
}

bool CStreamManager::ReadTimedOut(DWORD dwLimitMs)
{
    if (m_dwWaitStart == 0)
        m_dwWaitStart = platform::GetTickCount();
    return platform::GetTickCount() - m_dwWaitStart > dwLimitMs;
}

EReadStatus CStreamManager::ReadLocked(BYTE* pBuffer, DWORD& dwCount,
                                       std::shared_ptr<CTrackCache>& pWaitOn, DWORD& dwWaitBytes,
                                       std::string& strComingUp)
{
    if (!m_itReadCache)
    {
        dwCount = 0;
        return RS_EOF;
    }
    const std::shared_ptr<CTrackCache> pCache = **m_itReadCache;
    CTrackCache& cache = *pCache;
    const STrackInfo& rec = cache.GetTrackInfo();
    if (m_eStreamState == eStreamOpen)
    {
        const DWORD dwNeeded = StartBytes(cache);
        const DWORD dwBuffered = cache.GetBytesWritten() - cache.GetBytesRead();
        // A full buffer takes no more: waiting on would only end in the start timeout.
        const bool bFull = cache.GetCurrentSize() >= cache.GetPipeSize();
        if (dwBuffered < dwNeeded && !bFull && !IsWritingDone(cache))
        {
            dwCount = 0;
            if (m_bEndStation)
            {
                m_dwWaitStart = 0;
                return RS_EOF;
            }
            if (ReadTimedOut(GetReadTimeout(0)))
            {
                Trace("ReadStream - timedout waiting for start data -exception on %s",
                      rec.track.c_str());
                PostTrackEvent("NoAmpleDataToStart", rec.track);
                RADENG_THROW("CStreamManager::ReadStream not ample start data caused timeout", 15);
            }
            pWaitOn = pCache;
            dwWaitBytes = dwNeeded;
            return RS_NODATAVAILABLE;
        }
        m_dwWaitStart = 0;
        Trace("CStreamManager::ReadStream - have ample data to start Read - %s", rec.track.c_str());
    }
    m_eStreamState = eStreamReading;
    strComingUp = SendComingUpText();
    EReadStatus eStatus = RS_OK;
    // A track that ended short is read to its end as a whole one is, since every byte in
    // it is the track's; its end then tells the host that it is not whole.
    const bool bUsable = IsUsable(cache) || cache.IsTruncated();
    if (!m_bEndStation && bUsable)
    {
        dwCount = cache.Read(pBuffer, dwCount);
        if (dwCount == 0)
        {
            eStatus = RS_EOF;
            if (cache.IsEndOfData())
            {
                Trace("CStreamManager::ReadStream finished-%s", rec.track.c_str());
                if (cache.TakeTruncatedEnd())
                {
                    m_dwWaitStart = 0;
                    Trace("CStreamManager::ReadStream - %s ended short: %lu of %lu bytes",
                          rec.track.c_str(), cache.GetBytesRead(), rec.songsize);
                    RADENG_THROW(platform::FormatText("CStreamManager::ReadStream track ended "
                                                      "short: %lu of %lu bytes",
                                                      cache.GetBytesRead(), rec.songsize),
                                 kTrackEndedShort);
                }
            }
            else
            {
                if (ReadTimedOut(GetReadTimeout(1)))
                {
                    Trace("ReadStream - timedout waiting for data -exception on: %s",
                          rec.track.c_str());
                    PostTrackEvent("NoAmpleDataToContinue", rec.track);
                    RADENG_THROW("CStreamManager::ReadStream not ample data to continue....timeout",
                                 15);
                }
                pWaitOn = pCache;
                dwWaitBytes = 1;
                eStatus = RS_NODATAVAILABLE;
            }
        }
    }
    if (m_bEndStation || !bUsable)
    {
        dwCount = 0;
        eStatus = RS_EOF;
    }
    if (eStatus != RS_NODATAVAILABLE)
        m_dwWaitStart = 0;
    return eStatus;
}

// The text to announce, once per track; empty when there is none yet. The caller sends it
// once it holds no lock.
std::string CStreamManager::SendComingUpText()
{
    if (!m_itReadCache)
        return {};
    CTrackCache& cache = ***m_itReadCache;
    if (cache.IsComingUpSent())
        return {};
    std::string strText = cache.GetTrackInfo().comingup;
    if (strText == "no")
    {
        TracedLock list(g_csTrackCacheList, "CStreamManager::SendComingUpText-g_csTrackCacheList");
        const Position next = std::next(*m_itReadCache);
        if (next == m_listTrackCaches.end())
            strText = m_pSequenceMgr->GetNextDisplayText();
        else
            strText = (*next)->GetTrackInfo().nextdisplay;
    }
    if (strText == "no" || strText.empty())
        return {};
    cache.SetComingUpSent(TRUE);
    return strText;
}

BOOL CStreamManager::CloseStream()
{
    Trace("CStreamManager::CloseStream called");
    if (m_bRejectCurrentSequence.exchange(false))
    {
        RejectCurrentSequence();
        Trace("RejectCurrentSequence called on CloseStream as flag is set");
    }
    else if (!m_bThrottleHandled)
        CheckThrottling();
    {
        TracedLock read(g_csReadCache, "CStreamManager::CloseStream-g_csReadCache");
        if (m_itReadCache && m_eStreamState != eStreamIdle)
            m_eStreamState = eStreamIdle;
    }
    m_evStreamClosed.Set();
    return TRUE;
}

void CStreamManager::CheckThrottling()
{
    std::string strTrack;
    DWORD dwBitRate = 0;
    {
        TracedLock read(g_csReadCache, "CStreamManager::CloseStream-g_csReadCache");
        if (!m_itReadCache)
            return;
        strTrack = (**m_itReadCache)->GetTrackName();
        dwBitRate = (**m_itReadCache)->GetSongBitRate();
    }
    const SSequenceThreadParams& params = m_pSequenceMgr->ServerIfc().Params();
    const int nCCDThresh = params.nCCDThresh;
    const int nMinBitRate = params.nMinBitRate;
    const double dAllowable = dwBitRate * 125.0 * (1.0 + nCCDThresh * 0.01);
    double dHistorical = 0.0;
    // The meter keeps one sample per network read of its window: the count shows that it
    // stays bounded by the window, whatever the tracks' sizes.
    Trace("CStreamManager::CloseStream rate meter holds %lu samples",
          static_cast<DWORD>(m_pRateMeter->GetSampleCount()));
    if (!m_pRateMeter->GetRate(dHistorical))
        return;
    if (!(dHistorical > 0 && dHistorical<dAllowable&& static_cast<LONG>(dwBitRate)> nMinBitRate))
        return;
    m_bThrottleHandled = true;
    HandleThrottling();
    Trace("====>>>>Throttling!!!<<<<==== HandleThrottling() Called!!!\n Track = %s Historical "
          "Byte Per Sec = %s Allowable Byte Per Sec = %s Current Track Bit Rate (kbps) = %ld "
          "Given CCD Thresh = %ld \n",
          strTrack.c_str(), Fixed3(dHistorical).c_str(), Fixed3(dAllowable).c_str(), dwBitRate,
          nCCDThresh);
    mcEvent event(eEventCategoryError, "Throttling");
    event.AddParameter("ConnectionRate", static_cast<float>(dHistorical));
    event.AddParameter("Bitrate", static_cast<int>(dwBitRate));
    GetEventMgr()->PostEvent(event);
}

void CStreamManager::HandleThrottling()
{
    Trace("HandleThrottling called");
    RejectCurrentSequence();
}
