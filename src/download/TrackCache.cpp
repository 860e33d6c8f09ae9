#include "download/TrackCache.h"

#include "download/TrackCacheOwner.h"
#include "download/TrackDownloader.h"
#include "host/Trace.h"
#include "host/WorkerError.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/Format.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace
{
// The pipe's broken-pipe error, as GetLastError reports a closed end.
constexpr DWORD kErrorBrokenPipe = 109;

// Seconds of the track's bit rate as bytes; a product beyond 32 bits stays at the largest
// value rather than wrapping to a small one.
DWORD SecondsToBytes(DWORD dwBitRate, DWORD dwSeconds)
{
    const uint64_t nBytes = uint64_t{dwBitRate} * dwSeconds * 125u;
    return static_cast<DWORD>(std::min<uint64_t>(nBytes, UINT32_MAX));
}

STrackInfo CopyOf(const STrackInfo* pTrackInfo)
{
    return pTrackInfo ? *pTrackInfo : STrackInfo{};
}
} // namespace

CTrackCache::CTrackCache(const STrackInfo* pTrackInfo, DWORD bytesCacheSize,
                         CTrackCacheOwner* pOwner)
    : m_TrackInfo(CopyOf(pTrackInfo))
{
    const DWORD dwLow = SecondsToBytes(m_TrackInfo.songbr, m_TrackInfo.cachelow);
    const DWORD dwHigh = SecondsToBytes(m_TrackInfo.songbr, m_TrackInfo.cachehigh);
    const DWORD dwPreconnect = SecondsToBytes(m_TrackInfo.songbr, m_TrackInfo.minpreconnectcache);
    if (!(pOwner != nullptr && bytesCacheSize > 0 && dwLow < bytesCacheSize && dwLow < dwHigh &&
          dwHigh <= bytesCacheSize))
        Trace("Per given parms, it should FAIL to create CTrackCache object!!\n");
    if (pTrackInfo == nullptr)
    {
        platform::DebugOutput("CTrackCache::Constructor:Invalid parameter - TrackInfo is NULL");
        return;
    }
    if (bytesCacheSize == 0)
    {
        platform::DebugOutput("CTrackCache::Constructor:Invalid parameter - bytesCacheSize = 0");
        return;
    }
    m_pOwner = pOwner;
    m_dwPipeSize = bytesCacheSize;
    // Marks that resume what they pause: the low mark, at which a paused download
    // resumes, lies between one byte (a read that empties the buffer always resumes it)
    // and the high mark, at which it pauses, which is at least one byte.
    m_dwHighWater = std::max<DWORD>(dwHigh, 1);
    m_dwLowWater = std::clamp<DWORD>(dwLow, 1, m_dwHighWater);
    if (m_dwHighWater != dwHigh || m_dwLowWater != dwLow)
        Trace("CTrackCache - marks of %s taken as (%lu, %lu) for a buffer of %lu bytes",
              m_TrackInfo.track.c_str(), m_dwLowWater, m_dwHighWater, bytesCacheSize);
    m_dwPreconnectBytes = dwPreconnect;
    // The buffer exists before any other thread can see the cache: an AbortWrite that
    // meets SetupForWrite closes it and never meets it being replaced.
    CreateBuffer();
    m_bUsable = true;
}

CTrackCache::~CTrackCache()
{
    if (!IsWriteDone())
        SetWriteStatus(WS_ABORTED);
    CloseCache();
}

BOOL CTrackCache::SetupForWrite()
{
    try
    {
        if (!m_bUsable)
            throw CWorkerError("CTrackCache is not usable");
        if (!CreateBuffer())
            return FALSE;
        m_dwBytesRead = 0;
        m_dwBytesWritten = 0;
        m_bEndOfData = FALSE;
        SetWriteStatus(WS_IDLE);
        PauseWrite();
        return StartDownload();
    }
    catch (const std::exception& e)
    {
        Trace("CTrackCache::SetupForWrite failed for %s - %s", m_TrackInfo.track.c_str(), e.what());
        return FALSE;
    }
}

BOOL CTrackCache::CreateBuffer()
{
    const bool bRead = static_cast<bool>(m_hReadCache);
    const bool bWrite = static_cast<bool>(m_hWriteCache);
    if (bRead != bWrite)
        throw CWorkerError("one of the handles was closed!\n");
    if (!bRead)
    {
        auto [readEnd, writeEnd] = platform::CreatePipe(m_dwPipeSize);
        m_hReadCache = std::move(readEnd);
        m_hWriteCache = std::move(writeEnd);
    }
    return TRUE;
}

// Creates and starts the downloader, then waits for its start. The downloader is handed
// over under m_csDownloader, so an AbortWrite from another thread either finds it started
// (and aborts it) or has already asked for the abort (and no download starts). It is
// created outside the lock, as its sources ask the owner for the rate meter.
BOOL CTrackCache::StartDownload()
{
    auto pDownloader = std::make_unique<CTrackDownloader>(m_TrackInfo.songurl.c_str(), this);
    Trace("RE CTrackCache::SetupForWrite After new CTrackDownloader for track: %s\n",
          m_TrackInfo.track.c_str());
    std::shared_ptr<platform::Event> started;
    {
        TracedLock lock(m_csDownloader, "CTrackCache::SetupForWrite:m_csDownloader");
        if (!m_bAbortRequested)
        {
            m_pDownloader = std::move(pDownloader);
            m_pDownloader->StartTrackContentDownloadProc();
            started = m_pDownloader->StartedEvent();
        }
    }
    if (!started)
    {
        SetWriteStatus(WS_ABORTED);
        return TRUE;
    }
    Trace("RE CTrackCache::SetupForWrite After StartTrackContentDownloadProc() for track: %s\n",
          m_TrackInfo.track.c_str());
    started->Wait(platform::INFINITE);
    return TRUE;
}

DWORD CTrackCache::Write(const void* pBuffer, DWORD dwBytes)
{
    try
    {
        if (pBuffer == nullptr)
            throw CWorkerError("Buffer passed in is NULL");
        if (dwBytes == 0)
            throw CWorkerError("Number of Bytes to write is 0");
        if (!m_hWriteCache)
            throw CWorkerError("Write handle is NULL");
        // Only this thread adds to the written count, so it never trails the reads here.
        if (m_dwBytesWritten - m_dwBytesRead >= m_dwHighWater && m_pOwner)
            m_pOwner->NotifyCacheAmple(this);
        DWORD dwWritten = 0;
        const BOOL bWritten = m_hWriteCache.Write(pBuffer, dwBytes, &dwWritten);
        m_dwBytesWritten += dwWritten;
        if (!bWritten)
            throw CWorkerError(
                platform::FormatText("Cache write failed-GetLastError=%lu\n", kErrorBrokenPipe));
        return dwWritten;
    }
    catch (const CWorkerError& e)
    {
        platform::DebugOutput(std::string("CTrackCache::<Write>") + e.what());
        return 0;
    }
}

DWORD CTrackCache::Read(void* pBuffer, DWORD dwBytes)
{
    try
    {
        if (pBuffer == nullptr)
            throw CWorkerError("Buffer passed in is NULL");
        if (!m_hReadCache)
            throw CWorkerError("Cache Read handle is invalid\n");
        // Done is looked at before the buffer: the download thread writes its last bytes
        // before it sets the end, so an empty buffer seen after a done status is the end.
        const bool bDone = IsWriteDone();
        const DWORD dwAvailable = GetCurrentSize();
        if (dwAvailable == 0)
        {
            if (bDone)
                m_bEndOfData = TRUE;
            return 0;
        }
        if (dwAvailable < m_dwLowWater && !bDone && m_pOwner)
            m_pOwner->NotifyCacheLow(this);
        DWORD dwRead = 0;
        if (!m_hReadCache.ReadAvailable(pBuffer, dwBytes, &dwRead))
            throw CWorkerError(
                platform::FormatText("Cache read failed-GetLastError=%lu\n", kErrorBrokenPipe));
        m_dwBytesRead += dwRead;
        if (GetCurrentSize() < m_dwLowWater && !IsWriteDone() && m_pOwner)
            m_pOwner->NotifyCacheLow(this);
        return dwRead;
    }
    catch (const CWorkerError& e)
    {
        platform::DebugOutput(std::string("CTrackCache::<Read>") + e.what());
        return 0;
    }
}

DWORD CTrackCache::GetCurrentSize() const
{
    DWORD dwAvailable = 0;
    if (!m_hReadCache.Peek(nullptr, 0, nullptr, &dwAvailable))
        return 0;
    return dwAvailable;
}

DWORD CTrackCache::FlushCache()
{
    if (!m_hReadCache)
        return 0;
    Trace("CTrackCache::FlushCache called %s", m_TrackInfo.track.c_str());
    if (GetCurrentSize() == 0)
        return 0;
    std::vector<char> buffer(kFlushChunk);
    DWORD dwRead = 0;
    while (GetCurrentSize() != 0)
    {
        dwRead = Read(buffer.data(), kFlushChunk);
        if (dwRead == 0)
            break;
    }
    return dwRead;
}

void CTrackCache::SetWriteStatus(DWORD dwStatus)
{
    bool bNotify = false;
    bool bEnded = false;
    {
        TracedLock lock(m_csStatus, "CTrackCache::SetWriteStatus:m_csStatus", 0);
        const bool bWasDone = IsWriteDone();
        // A done download stays done: a late "writing" or "paused" would hide its end.
        if (m_dwWriteStatus == WS_ABORTED || (bWasDone && !IsDoneStatus(dwStatus)))
            return;
        // A failure after the server's answer leaves a short track; marked before the
        // status, so that a reader that meets the end finds it short.
        if (dwStatus == WS_FAILED)
            m_bTruncated = TRUE;
        m_dwWriteStatus = dwStatus == WS_FAILED ? WS_ABORTED : dwStatus;
        // A refusal ends the download too: the owner takes a refused cache that it had
        // already listed out of its list.
        bNotify = dwStatus == WS_COMPLETE || dwStatus == WS_FAILED ||
                  (dwStatus == WS_DENIED && !bWasDone);
        bEnded = !bWasDone && IsWriteDone();
    }
    // No byte follows the end: closing the write end wakes WaitForData.
    if (bEnded)
        m_hWriteCache.Close();
    m_evStatusChanged.Set();
    // After the lock: the owner takes its own locks, which it also holds while it calls
    // the cache's controls.
    if (bNotify && m_pOwner)
        m_pOwner->NotifyCacheWriteComplete(this);
}

BOOL CTrackCache::TakeTruncatedEnd()
{
    if (!m_bTruncated || !m_bEndOfData)
        return FALSE;
    return m_bTruncatedEndTaken.exchange(TRUE) ? FALSE : TRUE;
}

BOOL CTrackCache::WaitForData(DWORD dwMilliseconds, DWORD dwBytes) const
{
    const DWORD dwWanted = dwBytes == 0 ? 1 : dwBytes;
    if (GetCurrentSize() < dwWanted && !IsWriteDone())
        m_hReadCache.WaitReadable(dwMilliseconds, dwWanted);
    return GetCurrentSize() >= dwWanted || IsWriteDone() ? TRUE : FALSE;
}

CTrackDownloader* CTrackCache::GetDownloader() const
{
    TracedLock lock(m_csDownloader, "CTrackCache::GetDownloader:m_csDownloader");
    return m_pDownloader.get();
}

BOOL CTrackCache::StartWrite()
{
    if (IsWriteDone())
        return FALSE;
    if (CTrackDownloader* pDownloader = GetDownloader())
        pDownloader->Resume();
    // A download that ended meanwhile keeps its end.
    SetWriteStatus(WS_WRITING);
    return TRUE;
}

BOOL CTrackCache::PauseWrite()
{
    BOOL bResult = TRUE;
    if (CTrackDownloader* pDownloader = GetDownloader())
        bResult = pDownloader->Pause();
    SetWriteStatus(WS_PAUSED);
    return bResult;
}

BOOL CTrackCache::AbortWrite()
{
    if (m_dwWriteStatus == WS_ABORTED)
        return TRUE;
    CTrackDownloader* pDownloader = nullptr;
    {
        TracedLock lock(m_csDownloader, "CTrackCache::AbortWrite:m_csDownloader");
        m_bAbortRequested = true;
        pDownloader = m_pDownloader.get();
    }
    const BOOL bResult = pDownloader ? pDownloader->Abort() : TRUE;
    SetWriteStatus(WS_ABORTED);
    // A download thread blocked on a full buffer returns; the reader keeps what is there.
    m_hWriteCache.Close();
    return bResult;
}

bool CTrackCache::IsDoneStatus(DWORD dwStatus)
{
    return dwStatus == WS_COMPLETE || dwStatus == WS_FAILED || dwStatus == WS_ABORTED ||
           dwStatus == WS_DENIED;
}

BOOL CTrackCache::IsWriteDone() const
{
    return IsDoneStatus(m_dwWriteStatus) ? TRUE : FALSE;
}

BOOL CTrackCache::IsReadComplete() const
{
    return IsWriteDone() && GetCurrentSize() == 0 ? TRUE : FALSE;
}

BOOL CTrackCache::IsSkippable() const
{
    return m_TrackInfo.skip == 1 || IsReadComplete() ? TRUE : FALSE;
}

BOOL CTrackCache::IsAboveHighWater() const
{
    return GetCurrentSize() > m_dwHighWater ? TRUE : FALSE;
}

BOOL CTrackCache::IsWritePaused() const
{
    const CTrackDownloader* pDownloader = GetDownloader();
    return pDownloader ? pDownloader->IsPaused() : FALSE;
}

void CTrackCache::WaitForWriteDone(DWORD dwMilliseconds)
{
    const DWORD dwStart = platform::GetTickCount();
    while (!IsWriteDone())
    {
        const DWORD dwSpent = platform::GetTickCount() - dwStart;
        if (dwSpent >= dwMilliseconds)
            return;
        m_evStatusChanged.Wait(dwMilliseconds - dwSpent);
    }
}

void CTrackCache::CloseCache()
{
    if (CTrackDownloader* pDownloader = GetDownloader())
        pDownloader->Abort();
    WaitForWriteDone(kCloseWaitMs);
    m_dwBytesWritten = 0;
    Trace("Download registered abort on %s\nFlushing cache...", m_TrackInfo.track.c_str());
    // The write end first: a download thread blocked on a full buffer returns, and the
    // drain below meets no new bytes.
    m_hWriteCache.Close();
    FlushCache();
    m_dwBytesRead = 0;
    m_hReadCache.Close();
    // Destroyed outside the lock: its destructor waits for the download thread, which may
    // be inside a notification whose owner calls back into this cache.
    std::unique_ptr<CTrackDownloader> pDownloader;
    {
        TracedLock lock(m_csDownloader, "CTrackCache::CloseCache:m_csDownloader");
        pDownloader = std::move(m_pDownloader);
    }
    pDownloader.reset();
}
