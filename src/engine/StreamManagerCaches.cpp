// The track cache list: the new-cache thread that builds caches within the limits, the
// right to download moving between caches on their notifications, and the removal of
// caches when the player moves on, the sequence is rejected or the station ends.
#include "download/TrackCache.h"
#include "download/TrackDownloader.h"
#include "engine/StreamManager.h"
#include "host/RadEngException.h"
#include "host/Trace.h"
#include "host/TracedLock.h"
#include "platform/Format.h"

#include <iterator>
#include <new>
#include <utility>

namespace
{
thread_local bool t_bOnNewCacheThread = false;

// The text of status 3 once no further sequence is asked for (the count of sequences).
constexpr const char* kGivenUpReason =
    "No track of the station's last %d sequences could be downloaded: their servers refused "
    "them; no further sequence is asked for until the station is changed, refreshed or "
    "started again";
} // namespace

bool CStreamManager::IsOnNewCacheThread()
{
    return t_bOnNewCacheThread;
}

bool CStreamManager::IsWritingDone(const CTrackCache& cache)
{
    const DWORD dwStatus = cache.GetWriteStatus();
    return dwStatus == WS_COMPLETE || dwStatus == WS_FAILED || dwStatus == WS_ABORTED ||
           dwStatus == WS_DENIED;
}

bool CStreamManager::IsUsable(const CTrackCache& cache)
{
    const DWORD dwStatus = cache.GetWriteStatus();
    return dwStatus != WS_FAILED && dwStatus != WS_ABORTED && dwStatus != WS_DENIED;
}

BOOL CStreamManager::StartNewTrackCache()
{
    if (m_bEndStation)
        return TRUE;
    TracedLock lock(g_csStartNewCache, "CStreamManager::StartNewTrackCache-g_csStartNewCache");
    if (m_bNewCacheThreadRunning)
    {
        // The running thread does the work: it goes round once more before it ends. It
        // may be waiting for the very download whose end called here, and would
        // otherwise never build the next cache.
        m_bNewCacheWanted = true;
        return TRUE;
    }
    if (m_bEndStation)
        return FALSE;
    // The previous thread has decided to end and holds nothing: it only returns.
    if (m_threadStartNewCache)
        m_threadStartNewCache.Wait(platform::INFINITE);
    try
    {
        m_threadStartNewCache = platform::Thread(
            [this]
            {
                t_bOnNewCacheThread = true;
                return NewTrackCacheProc();
            });
    }
    catch (const std::exception&)
    {
        Trace("CStreamManager::StartNewTrackCache Cache thread creation failed.");
        return FALSE;
    }
    m_bNewCacheThreadRunning = true;
    m_bNewCacheWanted = false;
    return TRUE;
}

BOOL CStreamManager::IsNewCacheThreadAlive()
{
    return m_threadStartNewCache && m_threadStartNewCache.IsAlive() ? TRUE : FALSE;
}

// Builds one cache per round. While the player waits for an answer to its failed request
// (status 1 or 2) and the station runs, the thread goes round again, so that the player
// always gets 7, 8 or 3: a new cache when the limits allow, otherwise 7 when a usable
// cache is there and 3 when none can be.
DWORD CStreamManager::NewTrackCacheProc()
{
    do
    {
        if (IsSizeLimitReached())
        {
            SetWriteCache(std::nullopt);
            if (!m_bEndStation && IsPlayerWaiting())
                AnswerWaitingPlayer(FALSE);
        }
        else
            CreateCacheForWrite();
    } while (!EndNewCacheThreadUnlessWanted());
    return 0;
}

// The thread's last look, under the lock that StartNewTrackCache takes: a player that
// raised its status, or a start asked for while the thread ran, before this finds it
// going round; one after finds it gone and starts a new one.
bool CStreamManager::EndNewCacheThreadUnlessWanted()
{
    TracedLock lock(g_csStartNewCache, "CStreamManager::NewTrackCacheProc-g_csStartNewCache");
    const bool bWanted = std::exchange(m_bNewCacheWanted, false);
    if (!m_bEndStation && (bWanted || IsPlayerWaiting()))
        return false;
    m_bNewCacheThreadRunning = false;
    return true;
}

BOOL CStreamManager::IsSizeLimitReached()
{
    std::vector<std::shared_ptr<CTrackCache>> aborted;
    int nCaches = 0;
    DWORD dwInUse = 0;
    int nOpenDownloads = 0;
    {
        TracedLock read(g_csReadCache, "CStreamManager::IsSizeLimitReached-g_csReadCache");
        TracedLock list(g_csTrackCacheList,
                        "CStreamManager::IsSizeLimitReached-g_csTrackCacheList");
        if (m_bEndStation)
            return TRUE;
        aborted = TakeOutUnusableCaches();
        for (const std::shared_ptr<CTrackCache>& pCache : m_listTrackCaches)
        {
            const CTrackCache& cache = *pCache;
            if (!IsUsable(cache))
                continue;
            ++nCaches;
            dwInUse += cache.GetBytesWritten() - cache.GetBytesRead();
            if (cache.GetWriteStatus() != WS_COMPLETE)
                ++nOpenDownloads;
        }
    }
    aborted.clear();
    if (nOpenDownloads >= kMaxOpenDownloads)
    {
        Trace("IsSizeLimitReached::Open connection limit reached(%d)\n", nOpenDownloads);
        return TRUE;
    }
    if (nCaches >= m_pSequenceMgr->ServerIfc().Params().nNumCaches)
        return TRUE;
    const DWORD dwTotal = m_dwMaxTotalCache;
    const DWORD dwTrack = m_dwMaxTrackCache;
    const DWORD dwRoom = dwInUse > dwTotal ? 0 : dwTotal - dwInUse;
    if (dwRoom <= dwTrack)
    {
        Trace("IsSizeLimitReached::Memory limit reached: used(%lu),m_dwMaxTotalCache "
              "=%lu,m_dwMaxTrackCache=%lu\n",
              dwInUse, dwTotal, dwTrack);
        return TRUE;
    }
    return FALSE;
}

// Unlinks the caches that can never be read, aborted or refused, but the one being read;
// the caller destroys them once it holds no lock. A refused cache holds its buffer outside
// the memory limit, which counts usable caches only.
std::vector<std::shared_ptr<CTrackCache>> CStreamManager::TakeOutUnusableCaches()
{
    std::vector<std::shared_ptr<CTrackCache>> removed;
    for (Position it = m_listTrackCaches.begin(); it != m_listTrackCaches.end();)
    {
        const DWORD dwStatus = (*it)->GetWriteStatus();
        const bool bRead = m_itReadCache && *m_itReadCache == it;
        if (!bRead && (dwStatus == WS_ABORTED || dwStatus == WS_DENIED))
            removed.push_back(RemoveFromTrackCacheList(it));
        else
            ++it;
    }
    return removed;
}

void CStreamManager::DropRefusedCaches()
{
    if (!m_bRefusedInList.exchange(false))
        return;
    std::vector<std::shared_ptr<CTrackCache>> removed;
    {
        TracedLock read(g_csReadCache, "CStreamManager::DropRefusedCaches-g_csReadCache");
        TracedLock list(g_csTrackCacheList, "CStreamManager::DropRefusedCaches-g_csTrackCacheList");
        removed = TakeOutUnusableCaches();
    }
    if (!removed.empty())
        Trace("CStreamManager - %lu refused track caches left the list",
              static_cast<DWORD>(removed.size()));
}

bool CStreamManager::IsInList(const CTrackCache* pCache) const
{
    TracedLock lock(g_csTrackCacheList, "CStreamManager::IsInList-g_csTrackCacheList");
    for (const std::shared_ptr<CTrackCache>& pEntry : m_listTrackCaches)
        if (pEntry.get() == pCache)
            return true;
    return false;
}

bool CStreamManager::HasUsableCache() const
{
    TracedLock lock(g_csTrackCacheList, "CStreamManager::HasUsableCache-g_csTrackCacheList");
    for (const std::shared_ptr<CTrackCache>& pCache : m_listTrackCaches)
        if (IsUsable(*pCache))
            return true;
    return false;
}

BOOL CStreamManager::CreateCacheForWrite()
{
    Trace("CStreamManager::CreateCacheForWrite - entered");
    BOOL bResult = FALSE;
    std::shared_ptr<platform::Event> finished;
    std::shared_ptr<CTrackCache> pAdded;
    while (true)
    {
        std::shared_ptr<CTrackCache> pDropped;
        EBuild eBuild = EBuild::eBuilt;
        {
            // Taking a track and clearing the sequence never overlap; held through steps 1
            // to 3 only, so a CloseStream that rejects the sequence never waits for a
            // download, nor for the pause before a sequence request.
            TracedLock lock(g_csCacheSequence,
                            "CStreamManager::CreateCacheForWrite-g_csCacheSequence");
            if (m_bEndStation)
                return FALSE;
            try
            {
                eBuild = BuildCacheForNextTrack();
                bResult = eBuild == EBuild::eBuilt ? TRUE : FALSE;
                if (bResult)
                    pAdded = AppendNewCache(finished);
            }
            catch (const CRadEngException& e)
            {
                pDropped = TakeNewCache();
                Trace("CStreamManager::CreateCacheForWrite failed - %s", e.GetText().c_str());
                bResult = FALSE;
            }
            catch (const std::exception& e)
            {
                // Memory that cannot be had, a thread that cannot start: the cache is not
                // made, the host process goes on.
                pDropped = TakeNewCache();
                Trace("CStreamManager::CreateCacheForWrite failed - %s", e.what());
                bResult = FALSE;
            }
        }
        // Destroyed without the locks: its download thread may need them to end.
        pDropped.reset();
        if (eBuild != EBuild::ePauseFirst || bResult)
            break;
        // The pause before the next sequence request after refused sequences; ChangeStation,
        // RefreshStation and the station's end cut it short.
        Trace("CStreamManager::CreateCacheForWrite - pausing %lu ms before the next sequence "
              "request",
              m_pSequenceMgr->RequestPauseMs());
        if (!m_pSequenceMgr->WaitForRequestPause())
            break;
    }
    const std::string strName = pAdded ? pAdded->GetTrackName() : std::string();
    const CTrackCache* pAddedCache = pAdded.get();
    // The list owns the cache; this thread only compares its address under the list lock.
    pAdded.reset();
    AnswerWaitingPlayer(bResult);
    if (bResult && finished)
    {
        WaitForDownloadEnd(finished, pAddedCache);
        Trace("CStreamManager::CreateCacheForWrite -for %s exit", strName.c_str());
    }
    DropRefusedCaches();
    return bResult;
}

[[noreturn]] void CStreamManager::ThrowEndStation()
{
    if (m_bEndStation)
        RADENG_THROW("CStreamManager<CreateCacheForWrite> cache not created- EndStation\n", 6);
    RADENG_THROW("CStreamManager<CreateCacheForWrite> cache not created- failed\n", 6);
}

// Step 2: takes tracks from the sequence until one gets a cache whose download started,
// or until a sequence request must first wait for the pause after refused sequences. Each
// track's outcome goes to the sequence manager, which counts the refused sequences.
CStreamManager::EBuild CStreamManager::BuildCacheForNextTrack()
{
    while (true)
    {
        if (m_bEndStation)
            ThrowEndStation();
        if (m_pSequenceMgr->RequestPauseMs() > 0)
            return EBuild::ePauseFirst;
        ApplyPendingRequestValues();
        STrackInfo rec;
        if (!m_pSequenceMgr->GetNextTrack(rec))
            RADENG_THROW("CStreamManager<CreateCacheForWrite>GetNextTrack in sequence failed", 6);
        TraceTrackParams(rec);
        try
        {
            TracedLock lock(g_csNewCache, "CStreamManager::CreateCacheForWrite-g_csNewCache");
            m_pNewCache = std::make_shared<CTrackCache>(&rec, m_dwMaxTrackCache.load(), this);
        }
        catch (const std::bad_alloc&)
        {
            // The track's buffer could not be had: an error, never the end of the host.
            RADENG_THROW("CStreamManager<CreateCacheForWrite>New CTrackCache creation failed\n", 3);
        }
        // Only this thread replaces m_pNewCache: the pointer stays valid outside the lock.
        CTrackCache* pCache = NewCache();
        if (!pCache->SetupForWrite())
            RADENG_THROW(
                "CStreamManager<CreateCacheForWrite>New CTrackCache setupforwrite failed\n", 6);
        const DWORD dwStatus = pCache->GetWriteStatus();
        if (dwStatus == WS_DENIED)
        {
            Trace("CreateCache calling ClearSequence for Status Denied");
            m_pSequenceMgr->ClearSequence();
            m_pSequenceMgr->ReportTrackOutcome(false);
            std::shared_ptr<CTrackCache> pDenied = TakeNewCache();
            pDenied->AbortWrite();
            continue;
        }
        if (dwStatus == WS_ABORTED)
        {
            m_pSequenceMgr->ReportTrackOutcome(false);
            TakeNewCache();
            continue;
        }
        m_pSequenceMgr->ReportTrackOutcome(true);
        return EBuild::eBuilt;
    }
}

void CStreamManager::TraceTrackParams(const STrackInfo& rec)
{
    const SSequenceThreadParams& params = m_pSequenceMgr->ServerIfc().Params();
    Trace("CreateCacheForWrite::Params: Track : %s ID: %ld, Bitrate: %ld, Size: %ld, Channels: "
          "%ld, Freq: %ld Format: %s Threshold Values (Start, Low, Hi) sec: (%ld, %ld, %ld), Max "
          "Num Cache: %ld Total Cache Size Bytes: %ld CCD (Thresh, Window): (%ld, %ld)",
          rec.track.c_str(), rec.trackid, rec.songbr, rec.songsize, rec.numchans, rec.samplerate,
          rec.songenc.c_str(), rec.startthresh, rec.cachelow, rec.cachehigh,
          params.nNumCaches.load(), m_dwMaxTrackCache.load(), params.nCCDThresh.load(),
          params.nCCDWindow.load());
}

CTrackCache* CStreamManager::NewCache()
{
    TracedLock lock(g_csNewCache, "CStreamManager::NewCache-g_csNewCache");
    return m_pNewCache.get();
}

std::shared_ptr<CTrackCache> CStreamManager::TakeNewCache()
{
    TracedLock lock(g_csNewCache, "CStreamManager::TakeNewCache-g_csNewCache");
    return std::move(m_pNewCache);
}

// Step 3: the new cache enters the list as the write position and starts writing. The
// station's end is looked at again under the list lock: either CleanupCaching's walk
// finds the cache there, or this sees the end and the cache never enters.
std::shared_ptr<CTrackCache>
CStreamManager::AppendNewCache(std::shared_ptr<platform::Event>& finished)
{
    if (m_bEndStation)
        ThrowEndStation();
    std::shared_ptr<CTrackCache> pCache;
    {
        TracedLock lock(g_csNewCache, "CStreamManager::AppendNewCache-g_csNewCache");
        pCache = m_pNewCache;
    }
    {
        TracedLock list(g_csTrackCacheList, "CStreamManager::AppendNewCache-g_csTrackCacheList");
        if (m_bEndStation)
            ThrowEndStation();
        m_listTrackCaches.push_back(pCache);
        if (CTrackDownloader* pDownloader = pCache->GetDownloader())
            finished = pDownloader->FinishedEvent();
        TracedLock write(g_csWriteCache, "CStreamManager::AppendNewCache-g_csWriteCache");
        m_itWriteCache = std::prev(m_listTrackCaches.end());
        pCache->StartWrite();
    }
    // Refused after its status was looked at, before it was listed: its notification found
    // it outside the list, so it is taken out here.
    if (pCache->GetWriteStatus() == WS_DENIED)
        m_bRefusedInList = true;
    TakeNewCache();
    return pCache;
}

// Step 4: the player that got no track and acknowledged it hears how this ended. A 2
// left from an acknowledgement made inside the last answer's callback asks for nothing.
void CStreamManager::AnswerWaitingPlayer(BOOL bResult)
{
    while (!m_bEndStation && m_nStatus == 1)
        m_evStatusChanged.Wait(platform::INFINITE);
    if (m_bEndStation || m_nStatus != 2 || !m_bPlayerAskedInVain)
        return;
    // Cleared first: a request that fails again while the callback runs is answered too.
    m_bPlayerAskedInVain = false;
    // A usable track in the list is the player's next one, whatever this round came to: it
    // may have entered between the player's look at the list and its request's status, and
    // the round that built it then found no one to answer.
    if (!bResult && HasUsableCache())
        bResult = TRUE;
    if (!bResult && m_pSequenceMgr->HasGivenUp())
    {
        const std::string strReason =
            platform::FormatText(kGivenUpReason, CRequestBackoff::kGiveUpAfter);
        SetStatus(3, strReason.c_str());
    }
    else if (!bResult)
    {
        // The last track may have been handed out before the server said that no sequence
        // follows; the 8 then comes here, before the 3, so that the player can tell the
        // station's end from a failure.
        if (m_bTrackHandedOut)
            AnnounceEndIfSequencesEnded();
        // A server that could not be trusted says why; other failures carry no text.
        const std::string strReason = m_pSequenceMgr->FailureReason();
        SetStatus(3, strReason.empty() ? nullptr : strReason.c_str());
    }
    else if (m_pSequenceMgr->GetSequenceStatus() == 244)
    {
        m_bEndAnnounced = true;
        SetStatus(8);
    }
    else
        SetStatus(7);
}

// Step 5: waits until the new cache's download has ended, the cache was aborted or has
// left the list, or the station ends; meanwhile a player that asks in vain is answered.
void CStreamManager::WaitForDownloadEnd(const std::shared_ptr<platform::Event>& finished,
                                        const CTrackCache* pAdded)
{
    while (!m_bEndStation && !finished->IsSet())
    {
        DropRefusedCaches();
        if (IsPlayerWaiting())
        {
            if (!IsUsableInList(pAdded))
                return;
            AnswerWaitingPlayer(TRUE);
            continue;
        }
        if (!IsUsableInList(pAdded))
            return;
        platform::WaitAny({finished.get(), &m_evStatusChanged}, platform::INFINITE);
    }
}

bool CStreamManager::IsUsableInList(const CTrackCache* pCache) const
{
    TracedLock lock(g_csTrackCacheList, "CStreamManager::IsUsableInList-g_csTrackCacheList");
    for (const std::shared_ptr<CTrackCache>& pEntry : m_listTrackCaches)
        if (pEntry.get() == pCache)
            return IsUsable(*pEntry);
    return false;
}

void CStreamManager::SetWriteCache(std::optional<Position> position)
{
    TracedLock lock(g_csWriteCache, "CStreamManager::SetWriteCache-g_csWriteCache");
    m_itWriteCache = position;
}

BOOL CStreamManager::AdvanceToCacheNeedingWrite()
{
    if (m_bEndStation)
    {
        Trace("AdvanceToCacheNeedingWrite::sequence play aborted. Ignoring call\n");
        return TRUE;
    }
    {
        // Held until the decision is made, so the cache found cannot leave the list first.
        TracedLock list(g_csTrackCacheList,
                        "CStreamManager::AdvanceToCacheNeedingWrite-g_csTrackCacheList");
        for (Position it = m_listTrackCaches.begin(); it != m_listTrackCaches.end(); ++it)
        {
            CTrackCache& cache = **it;
            if (cache.IsAboveHighWater() || IsWritingDone(cache))
                continue;
            TracedLock write(g_csWriteCache,
                             "CStreamManager::AdvanceToCacheNeedingWrite-g_csWriteCache");
            m_itWriteCache = it;
            return cache.StartWrite();
        }
    }
    if (StartNewTrackCache())
        return TRUE;
    Trace("StartNewTrackCache -false,No tracks need writing - size limit reached\n");
    SetWriteCache(std::nullopt);
    return FALSE;
}

BOOL CStreamManager::NotifyCacheLow(CTrackCache* /*pCache*/)
{
    if (m_bEndStation)
    {
        Trace("NotifyCacheLow::sequence play aborted. Ignoring call\n");
        return TRUE;
    }
    // Comes from inside a read, which holds g_csReadCache: taken first, in order.
    TracedLock read(g_csReadCache, "CStreamManager::NotifyCacheLow-g_csReadCache");
    TracedLock write(g_csWriteCache, "CStreamManager::NotifyCacheLow-g_csWriteCache");
    BOOL bResult = TRUE;
    if (m_itWriteCache)
    {
        CTrackCache& writeCache = ***m_itWriteCache;
        if (m_itReadCache && *m_itReadCache == *m_itWriteCache)
        {
            if (writeCache.IsWritePaused())
                writeCache.StartWrite();
            return bResult;
        }
        if (IsUsable(writeCache) && !writeCache.IsWritePaused())
            bResult = writeCache.PauseWrite();
    }
    m_itWriteCache = m_itReadCache;
    if (m_itWriteCache)
        (**m_itWriteCache)->StartWrite();
    return bResult;
}

BOOL CStreamManager::NotifyCacheAmple(CTrackCache* pCache)
{
    if (m_bEndStation)
        return TRUE;
    BOOL bResult = TRUE;
    {
        TracedLock write(g_csWriteCache, "CStreamManager::NotifyCacheAmple-g_csWriteCache");
        if (IsUsable(*pCache))
            bResult = pCache->PauseWrite();
    }
    AdvanceToCacheNeedingWrite();
    return bResult;
}

void CStreamManager::NotifyCacheWriteComplete(CTrackCache* pCache)
{
    if (pCache->GetWriteStatus() == WS_DENIED)
    {
        // Refused while it was set up: the new-cache thread looks at the status itself.
        if (!IsInList(pCache))
            return;
        // Refused once listed: the new-cache thread takes it out (this thread is the
        // cache's own and cannot destroy it), and writing moves on.
        m_bRefusedInList = true;
        m_evStatusChanged.Set();
        StartNewTrackCache();
    }
    Trace("CStreamManager::NotifyCacheWriteComplete called by %s :",
          pCache->GetTrackName().c_str());
    AdvanceToCacheNeedingWrite();
}

std::shared_ptr<CTrackCache> CStreamManager::RemoveFromTrackCacheList(Position& position)
{
    std::shared_ptr<CTrackCache> pCache = *position;
    {
        TracedLock write(g_csWriteCache, "CStreamManager::RemoveFromTrackCacheList-g_csWriteCache");
        if (m_itWriteCache && *m_itWriteCache == position)
            m_itWriteCache.reset();
    }
    position = m_listTrackCaches.erase(position);
    return pCache;
}

// Unlinks every cache from the front or from the one after the read cache. The caches
// are aborted after the list and write locks are let go of (a feeder that ends its
// download notifies and needs them) and destroyed by the caller once it holds no lock.
std::vector<std::shared_ptr<CTrackCache>> CStreamManager::CleanupCaching(ECleanupFrom eFrom)
{
    std::vector<std::shared_ptr<CTrackCache>> removed;
    TracedLock read(g_csReadCache, "CStreamManager::CleanupCaching-g_csReadCache");
    {
        TracedLock list(g_csTrackCacheList, "CStreamManager::CleanupCaching-g_csTrackCacheList");
        TracedLock write(g_csWriteCache, "g_csWriteCache-CleanupCaching");
        Position it = m_listTrackCaches.begin();
        if (eFrom == ECleanupFrom::eAfterReadCache)
        {
            if (!m_itReadCache)
                return removed;
            it = std::next(*m_itReadCache);
        }
        while (it != m_listTrackCaches.end())
        {
            if (m_itWriteCache && *m_itWriteCache == it)
                m_itWriteCache.reset();
            if (m_itReadCache && *m_itReadCache == it)
                m_itReadCache.reset();
            removed.push_back(*it);
            it = m_listTrackCaches.erase(it);
        }
    }
    for (const std::shared_ptr<CTrackCache>& pCache : removed)
        pCache->AbortWrite();
    return removed;
}

void CStreamManager::RejectCurrentSequence()
{
    std::shared_ptr<CTrackCache> pRead;
    {
        TracedLock read(g_csReadCache, "CStreamManager::RejectCurrentSequence-g_csReadCache");
        if (!m_itReadCache || m_bEndStation)
            return;
        pRead = **m_itReadCache;
    }
    pRead->AbortWrite();
    std::vector<std::shared_ptr<CTrackCache>> removed;
    {
        TracedLock lock(g_csCacheSequence,
                        "CStreamManager::RejectCurrentSequence-g_csCacheSequence");
        Trace("RejectCurrentSequence calling ClearSequence");
        m_pSequenceMgr->ClearSequence();
        removed = CleanupCaching(ECleanupFrom::eAfterReadCache);
    }
    removed.clear();
}
