// Session and station lifecycle, engine status and the coming-up text.
#include "engine/StreamManager.h"

#include "cache/RadioCacheMgr.h"
#include "download/TrackCache.h"
#include "engine/StatusGate.h"
#include "host/Preferences.h"
#include "host/RadEngException.h"
#include "host/Trace.h"
#include "host/TracedLock.h"
#include "hostlibs/EventMgr.h"
#include "sequence/ConnectionRateMeter.h"
#include "sequence/ExtM3uStringFieldType.h"
#include "sequence/ServerIfc.h"

#include <algorithm>

platform::CriticalSection g_csCacheSequence;
platform::CriticalSection g_csReadCache;
platform::CriticalSection g_csTrackCacheList;
platform::CriticalSection g_csWriteCache;
platform::CriticalSection g_csStartNewCache;
platform::CriticalSection g_csNewCache;

namespace
{
std::atomic<int> g_nStreamManagers{0};

constexpr DWORD kDefaultServerWaitLimit = 30;
} // namespace

CStreamManager::CInstanceClaim::CInstanceClaim()
{
    if (g_nStreamManagers.fetch_add(1) != 0)
    {
        g_nStreamManagers.fetch_sub(1);
        RADENG_THROW("CStreamManager<constructor>Another stream manager exists in this process", 3);
    }
}

CStreamManager::CInstanceClaim::~CInstanceClaim()
{
    g_nStreamManagers.fetch_sub(1);
}

bool CStreamManager::IsInstanceAlive()
{
    return g_nStreamManagers.load() != 0;
}

CStreamManager::CStreamManager() : m_pStatusGate(std::make_shared<CStatusGate>())
{
    InitEventMgr();
    m_pRateMeter = std::make_shared<CConnectionRateMeter>();
    m_pRateMeter->Reset();
    m_pRadioCacheMgr = std::make_shared<mcRadioCacheMgr>();
    m_pRadioCacheMgr->Init();
    try
    {
        m_pSequenceMgr = std::make_unique<CRadioSequenceMgr>();
    }
    catch (const std::exception&)
    {
        m_pRadioCacheMgr->UnInit();
        UnInitEventMgr();
        RADENG_THROW("CStreamManager<constructor>Couldn't create new SequenceManager", 3);
    }
    CServerIfc& serverIfc = m_pSequenceMgr->ServerIfc();
    serverIfc.SetRateMeter(m_pRateMeter.get());
    // Every status code of the sequence client goes through the gate; download threads
    // keep the gate alive as long as their copy of the parameters.
    serverIfc.Params().pfnStatusCallback = [pGate = m_pStatusGate](int nCode, const char* pszText)
    { pGate->Call(nCode, pszText); };
    DWORD dwLimit = kDefaultServerWaitLimit;
    host::PrefEasySafeQueryUINT32("OVRadio", "ServerWaitTimeLimit", &dwLimit);
    CServerIfc::SetServerWaitTimeLimit(dwLimit);
}

CStreamManager::~CStreamManager()
{
    EndSession();
    // A thread that outlived the station's wait still uses this object: it ends now that
    // the station has ended.
    WaitForNewCacheThreadEnd();
    m_pSequenceMgr.reset();
    m_pRateMeter.reset();
    m_pRadioCacheMgr->UnInit();
    m_pRadioCacheMgr.reset();
    UnInitEventMgr();
}

BOOL CStreamManager::StartSession(const std::string& stationId, const std::string& stationName,
                                  const std::string& audioFormatDesc, const std::string& clientCaps,
                                  const std::string& userInfo, StatusCallback pfnStatusCallback)
{
    ThrowIfInsideCallback("StartSession");
    bool bRunning = false;
    {
        TracedLock lock(g_csReadCache, "CStreamManager::StartSession-g_csReadCache");
        bRunning = !m_strStationID.empty();
    }
    // A station that runs ends first, also while its list is still empty: its threads
    // must not meet the new session's values.
    if (bRunning || CacheCount() != 0)
        EndStation();
    WaitForNewCacheThreadEnd();
    // The last station's aborted sequence download still reads the parameters until it
    // has ended (promptly, its handles are closed).
    m_pSequenceMgr->ServerIfc().WaitForDownloadEnd(platform::INFINITE);
    {
        SSequenceThreadParams& params = m_pSequenceMgr->ServerIfc().Params();
        params.strAFD = audioFormatDesc;
        params.strCCD = clientCaps;
        params.strDispStation = stationName;
    }
    {
        TracedLock lock(m_csPending, "CStreamManager::StartSession-m_csPending");
        m_strPendingAFD.reset();
        m_strPendingUserInfo.reset();
    }
    ParseUserInfo(userInfo);
    m_pSequenceMgr->ServerIfc().ResetRequestClock();
    m_pStatusGate->Open(std::move(pfnStatusCallback));
    SetCacheSizeLimits();
    return StartStation(stationId);
}

void CStreamManager::ParseUserInfo(const std::string& userInfo)
{
    CExtM3uStringFieldType reader(userInfo.c_str());
    std::string strUserId;
    std::string strUserInfo;
    if (!reader.GetString("::id=", strUserId))
        strUserId.clear();
    if (!reader.GetString("::usr_info=", strUserInfo))
        strUserInfo.clear();
    SSequenceThreadParams& params = m_pSequenceMgr->ServerIfc().Params();
    params.strUserId = strUserId;
    params.strUserInfo = strUserInfo;
}

BOOL CStreamManager::SetCacheSizeLimits()
{
    DWORD dwTotal = m_dwMaxTotalCache;
    if (host::PrefEasySafeQueryUINT32("OVRadio", "MaxCachePoolSize", &dwTotal) != 0)
        return FALSE;
    // Checked before anything is allocated: a track's buffer is allocated whole when its
    // cache is built, and a size that memory cannot hold must not get that far.
    if (dwTotal > kLargestCachePool)
    {
        Trace("CStreamManager::SetCacheSizeLimits - MaxCachePoolSize %lu taken as %lu", dwTotal,
              kLargestCachePool);
        dwTotal = kLargestCachePool;
    }
    m_dwMaxTotalCache = dwTotal;
    DWORD dwTrack = m_dwMaxTrackCache;
    if (host::PrefEasySafeQueryUINT32("OVRadio", "MaxTrackCacheSize", &dwTrack) != 0)
        return FALSE;
    // A track cache cannot be built without a buffer.
    if (dwTrack == 0)
    {
        Trace("CStreamManager::SetCacheSizeLimits - MaxTrackCacheSize 0 refused, keeping %lu",
              m_dwMaxTrackCache.load());
        return TRUE;
    }
    // A buffer larger than the pool could never be built; one at the pool's size still
    // leaves no room for it, as before.
    const DWORD dwLargest = std::min(kLargestTrackCache, std::max<DWORD>(dwTotal, 1));
    if (dwTrack > dwLargest)
    {
        Trace("CStreamManager::SetCacheSizeLimits - MaxTrackCacheSize %lu taken as %lu", dwTrack,
              dwLargest);
        dwTrack = dwLargest;
    }
    m_dwMaxTrackCache = dwTrack;
    return TRUE;
}

BOOL CStreamManager::StartStation(const std::string& stationId, EHandshake handshake)
{
    // One new-cache thread at a time: one that outlived the last station's wait ends
    // first (it sees that station's end).
    WaitForNewCacheThreadEnd();
    m_eStreamState = eStreamIdle;
    {
        TracedLock read(g_csReadCache, "CStreamManager::StartStation-g_csReadCache");
        m_itReadCache.reset();
        {
            TracedLock write(g_csWriteCache, "CStreamManager::StartStation-g_csWriteCache");
            m_itWriteCache.reset();
        }
        m_strStationID = stationId;
    }
    // The player's calls during the change (an acknowledgement, a request that failed) are
    // in the status as it stands; the new station's first track answers them.
    if (handshake == EHandshake::eForget || !IsPlayerWaiting())
    {
        m_nStatus = 0;
        m_bPlayerAskedInVain = false;
    }
    m_bEndAnnounced = false;
    m_bTrackHandedOut = false;
    m_bEndStation = FALSE;
    Trace("CStreamManager::StartStation called for station=%s", stationId.c_str());
    StartNewSequence();
    return TRUE;
}

void CStreamManager::StartNewSequence()
{
    if (m_bEndStation)
    {
        Trace("CStreamManager::StartNewSequence - m_bEndStation=TRUE, so returning\n");
        return;
    }
    if (!m_pSequenceMgr)
        RADENG_THROW("CStreamManager<StartStation> No SequenceManager object!", 2);
    m_pSequenceMgr->Initialize();
    std::string stationId;
    {
        TracedLock lock(g_csReadCache, "CStreamManager::StartNewSequence-g_csReadCache");
        stationId = m_strStationID;
    }
    if (!m_pSequenceMgr->GetNewSequence(stationId))
        RADENG_THROW("CStreamManager<StartStation> Failed to get new sequence", 4);
    Trace("StartNewSequence calling StartNewTrackCache");
    if (!StartNewTrackCache())
        RADENG_THROW("CStreamManager<StartStation> Failed to create new cache", 4);
}

BOOL CStreamManager::ChangeStation(const std::string& stationId)
{
    ThrowIfInsideCallback("ChangeStation");
    EndStation();
    // A session ended by EndSession goes on with the new station: its callback hears it.
    m_pStatusGate->Reopen();
    return StartStation(stationId, EHandshake::eCarryOver);
}

// The thread that calls back belongs to the station that these calls end and start; it
// cannot wait for itself, and the station that it serves would start under its feet.
void CStreamManager::ThrowIfInsideCallback(const char* pszOperation)
{
    if (!CStatusGate::IsInsideCall())
        return;
    RADENG_THROW(std::string("CStreamManager::") + pszOperation +
                     " called from inside the status callback; call it once the callback has "
                     "returned",
                 kReentrantCallCode);
}

BOOL CStreamManager::RefreshStation(const std::string& audioFormat, const std::string& userInfo)
{
    if (m_bEndStation)
        return FALSE;
    // Requests paused or stopped after refused sequences: the host asks again.
    const bool bPaused = m_pSequenceMgr->RequestBackoff().FailedInRow() > 0;
    const bool bCached = CacheCount() != 0;
    if (!bCached && !bPaused)
        return FALSE;
    Trace("RefreshStation called with AFD = %s , UserInfo = %s", audioFormat.c_str(),
          userInfo.c_str());
    {
        TracedLock lock(m_csPending, "CStreamManager::RefreshStation-m_csPending");
        m_strPendingAFD = audioFormat;
        m_strPendingUserInfo = userInfo;
    }
    if (bPaused)
        m_pSequenceMgr->ResetRequestPause();
    if (bCached)
        m_bRejectCurrentSequence = true;
    return TRUE;
}

// The values of RefreshStation reach the parameters only here, on the thread that starts
// the sequence requests, so no request is built while they change.
void CStreamManager::ApplyPendingRequestValues()
{
    std::optional<std::string> strAFD;
    std::optional<std::string> strUserInfo;
    {
        TracedLock lock(m_csPending, "CStreamManager::ApplyPendingRequestValues-m_csPending");
        strAFD.swap(m_strPendingAFD);
        strUserInfo.swap(m_strPendingUserInfo);
    }
    if (strAFD)
        m_pSequenceMgr->ServerIfc().Params().strAFD = *strAFD;
    if (strUserInfo)
        ParseUserInfo(*strUserInfo);
}

BOOL CStreamManager::EndStation()
{
    m_bEndStation = TRUE;
    m_evStatusChanged.Set();
    std::string stationId;
    {
        TracedLock lock(g_csReadCache, "CStreamManager::EndStation-g_csReadCache");
        stationId = m_strStationID;
    }
    Trace("CStreamManager::EndStation called for station - %s", stationId.c_str());
    m_pSequenceMgr->Abort();
    CleanupCache();
    TracedLock lock(g_csReadCache, "CStreamManager::EndStation-g_csReadCache");
    m_strStationID.clear();
    return TRUE;
}

void CStreamManager::CleanupCache()
{
    Trace("CStreamManager::CleanupCache entered");
    // Destroyed here, after the locks: their download threads may need them to end.
    CleanupCaching(ECleanupFrom::eFront).clear();
    platform::Thread thread;
    {
        TracedLock lock(g_csStartNewCache, "CStreamManager::CleanupCache-g_csStartNewCache");
        if (!IsNewCacheThreadAlive())
            return;
        thread = m_threadStartNewCache.Duplicate();
    }
    {
        TracedLock lock(g_csNewCache, "CStreamManager::CleanupCache-g_csNewCache");
        if (m_pNewCache)
            m_pNewCache->AbortWrite();
    }
    // Called back on the new-cache thread itself: it ends once the callback has returned.
    if (IsOnNewCacheThread())
        return;
    if (thread.Wait(kNewCacheThreadWaitMs) != platform::WAIT_OBJECT_0)
        Trace("CStreamManager::CleanupCaching - m_threadStartNewCache still alive on exit");
}

BOOL CStreamManager::EndSession()
{
    // First: no callback is made once this returns, and none is under way.
    m_pStatusGate->Close();
    bool bRunning = false;
    {
        TracedLock lock(g_csReadCache, "CStreamManager::EndSession-g_csReadCache");
        bRunning = !m_strStationID.empty();
    }
    if (bRunning)
        EndStation();
    return TRUE;
}

void CStreamManager::WaitForNewCacheThreadEnd()
{
    platform::Thread thread;
    {
        TracedLock lock(g_csStartNewCache, "CStreamManager::WaitForNewCacheThreadEnd");
        thread = m_threadStartNewCache.Duplicate();
    }
    // A thread of a running station goes on with its work; only one that outlived its
    // station's end is waited for (never by itself).
    if (thread && thread.IsAlive() && m_bEndStation && !IsOnNewCacheThread())
    {
        Trace("CStreamManager - waiting for the new-cache thread of the last station to end");
        thread.Wait(platform::INFINITE);
    }
}

void CStreamManager::SetStatus(int nStatus, const char* pszReason)
{
    m_nStatus = nStatus;
    m_evStatusChanged.Set();
    if (nStatus == 1 || nStatus == 2)
        return;
    std::string strText;
    const char* pszText = nStatus == 3 ? pszReason : nullptr;
    if (nStatus == 8)
    {
        strText = m_pSequenceMgr->ServerIfc().Params().EndRadioBrowserScript();
        pszText = strText.c_str();
    }
    if (!m_pStatusGate->IsOpen())
        return;
    Trace("CStreamManager::SetStatus calling callback on status=%d", nStatus);
    if (m_pStatusGate->Call(nStatus, pszText))
    {
        // Back to 0, unless the player has moved on meanwhile (a new request or its
        // acknowledgement from inside the callback).
        int nSent = nStatus;
        m_nStatus.compare_exchange_strong(nSent, 0);
    }
}

void CStreamManager::AckNotified(int nMessage)
{
    if (nMessage == 0)
        SetStatus(2);
}

bool CStreamManager::IsPlayerWaiting() const
{
    const int nStatus = m_nStatus;
    return m_bPlayerAskedInVain && (nStatus == 1 || nStatus == 2);
}

std::size_t CStreamManager::CacheCount() const
{
    TracedLock lock(g_csTrackCacheList, "CStreamManager::CacheCount-g_csTrackCacheList");
    return m_listTrackCaches.size();
}

bool CStreamManager::IsNewCacheThreadRunning() const
{
    TracedLock lock(g_csStartNewCache, "CStreamManager::IsNewCacheThreadRunning");
    return m_bNewCacheThreadRunning;
}
