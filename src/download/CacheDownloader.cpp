#include "download/CacheDownloader.h"

#include "download/TrackCache.h"
#include "host/Trace.h"
#include "host/TracedLock.h"
#include "host/WorkerError.h"
#include "platform/DebugOutput.h"
#include "platform/Format.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <system_error>
#include <vector>

namespace
{
// The pipe's broken-pipe error, as GetLastError reports a closed end.
constexpr DWORD kErrorBrokenPipe = 109;
} // namespace

mcCacheDownloader::mcCacheDownloader(CTrackCache* pTrackCache, DWORD dwChunkSize, DWORD dwLowWater,
                                     DWORD dwHighWater, DWORD dwPipeSize)
    : m_pTrackCache(pTrackCache), m_dwLowWater(dwLowWater), m_dwHighWater(dwHighWater),
      m_dwPipeSize(dwPipeSize), m_dwChunkSize(std::min(dwChunkSize, dwPipeSize))
{
    // Added in 64 bits before anything is allocated: a sum past 32 bits would wrap to a
    // small pipe under marks it can never reach.
    if (uint64_t{m_dwChunkSize} + m_dwPipeSize > 0xFFFFFFFFu)
        throw CWorkerError(platform::FormatText(
            "In mcCacheDownloader::mcCacheDownloader a pipe of %lu + %lu bytes is too large",
            m_dwChunkSize, m_dwPipeSize));
    auto [readEnd, writeEnd] = platform::CreatePipe(m_dwChunkSize + m_dwPipeSize);
    m_hReadCache = std::move(readEnd);
    m_hWriteCache = std::move(writeEnd);
    if (!m_hReadCache || !m_hWriteCache)
        throw CWorkerError(
            "In mcCacheDownloader::mcCacheDownloader m_hReadCache or m_hWriteCache is NULL");
}

mcCacheDownloader::~mcCacheDownloader()
{
    TracedLock lock(m_cs, "mcCacheDownloader::~mcCacheDownloader", 0);
    AbortBase();
    WaitForFeeder("mcCacheDownloader::~mcCacheDownloader DownloadThread still alive after %ld");
}

void mcCacheDownloader::StartFeedThread()
{
    try
    {
        m_hThread = platform::Thread([this] { return FeedPipeProc(); });
    }
    catch (const std::system_error&)
    {
        throw CWorkerError("In mcCacheDownloader::mcCacheDownloader failed to create thread");
    }
}

BOOL mcCacheDownloader::IsFeedFinished() const
{
    return m_dwFeedState == eFeedFinished ? TRUE : FALSE;
}

BOOL mcCacheDownloader::IsEndOfData() const
{
    return m_bEndOfData.load();
}

BOOL mcCacheDownloader::Abort()
{
    return AbortBase();
}

BOOL mcCacheDownloader::IsAborted() const
{
    return m_bAbort.load();
}

BOOL mcCacheDownloader::IsConnected() const
{
    return m_bConnected.load();
}

BOOL mcCacheDownloader::IsFailed() const
{
    return m_bFailed.load();
}

DWORD mcCacheDownloader::ReadDataFromPipe(void* pBuffer, DWORD* pdwSize, BYTE* pbFailed)
{
    if (pbFailed != nullptr)
        *pbFailed = m_bFailed ? TRUE : FALSE;
    if (!m_hReadCache)
        return 0;
    try
    {
        if (IsFeedFinished())
        {
            // The feeder wrote its last bytes before it finished: an empty pipe is the end.
            if (GetPipeHeldBytes() == 0)
            {
                m_bEndOfData = TRUE;
                return 0;
            }
        }
        else if (GetPipeHeldBytes() == 0)
        {
            // Looked at again as one step with the gate: a feeder that filled the pipe up
            // and paused since the look above stays paused.
            m_feedGate.Decide(
                [this]
                {
                    if (GetPipeHeldBytes() <= m_dwLowWater)
                        Resume();
                });
            // Bytes, the feed's end (the feeder closes the write end last) and an abort
            // (which closes it) all end the wait early.
            m_hReadCache.WaitReadable(kEmptyPipeWaitMs);
            return 0;
        }
        DWORD dwRead = 0;
        if (!m_hReadCache.ReadAvailable(pBuffer, *pdwSize, &dwRead))
            throw CWorkerError(
                platform::FormatText("Cache read failed-GetLastError=%lu\n", kErrorBrokenPipe));
        m_dwBytesRead += dwRead;
        if (!IsFeedFinished() && m_feedGate.IsPaused() && GetPipeHeldBytes() <= m_dwLowWater)
            Resume();
        return dwRead;
    }
    catch (const CWorkerError& e)
    {
        // A pipe closed by an abort is no failure of the source.
        if (!m_bAbort)
            SetFailed(TRUE);
        platform::DebugOutput(std::string("mcCacheDownloader::ReadDataFromPipe()") + e.what());
        return 0;
    }
}

BOOL mcCacheDownloader::Pause()
{
    return m_feedGate.Pause();
}

BOOL mcCacheDownloader::Resume()
{
    return m_feedGate.Resume();
}

void mcCacheDownloader::InitFeedData() {}

void mcCacheDownloader::FeedData(void* /*pBuffer*/, DWORD* /*pdwSize*/, DWORD* /*pdwGot*/) {}

void mcCacheDownloader::UnInitFeedData() {}

DWORD mcCacheDownloader::GetBytesReceived() const
{
    return 0;
}

DWORD mcCacheDownloader::GetContentLength() const
{
    return 0;
}

void mcCacheDownloader::ExceptionHandling(const std::string& /*strMessage*/, DWORD /*dwHttpStatus*/)
{
}

void mcCacheDownloader::SetConnected(BOOL bConnected)
{
    m_bConnected = bConnected;
    SignalStateChange();
}

void mcCacheDownloader::SetFailed(BOOL bFailed)
{
    m_bFailed = bFailed;
    SignalStateChange();
}

void mcCacheDownloader::SetReady(BOOL bReady)
{
    m_bReady = bReady;
    SignalStateChange();
}

BOOL mcCacheDownloader::IsReady() const
{
    return m_bReady.load();
}

void mcCacheDownloader::WaitForStateChange()
{
    m_evStateChanged.Wait(platform::INFINITE);
}

DWORD mcCacheDownloader::GetPipeHeldBytes() const
{
    DWORD dwAvailable = 0;
    if (!m_hReadCache.Peek(nullptr, 0, nullptr, &dwAvailable))
        return 0;
    return dwAvailable;
}

DWORD mcCacheDownloader::Write(const void* pBuffer, DWORD* pdwSize)
{
    if (!m_hWriteCache)
        return 0;
    DWORD dwWritten = 0;
    const BOOL bWritten = m_hWriteCache.Write(pBuffer, *pdwSize, &dwWritten);
    m_dwBytesWritten += dwWritten;
    if (!bWritten)
    {
        platform::DebugOutput(
            std::string("mcCacheDownloader::Write") +
            platform::FormatText("mcCacheDownloader::Write Cache write failed-GetLastError=%lu\n",
                                 kErrorBrokenPipe));
        return 0;
    }
    // The look and the pause are one step against the reader's Resume: a reader that
    // drained the pipe and resumed just before can never be left waiting on a feeder that
    // paused on what the pipe had held.
    m_feedGate.Decide(
        [this]
        {
            if (GetPipeHeldBytes() > m_dwHighWater)
                Pause();
        });
    return dwWritten;
}

BOOL mcCacheDownloader::AbortBase()
{
    m_bAbort = TRUE;
    m_evAborted.Set();
    const BOOL bResumed = Resume();
    SetConnected(TRUE);
    FlushCache();
    return bResumed;
}

BOOL mcCacheDownloader::FlushCache()
{
    if (!m_hReadCache)
        return FALSE;
    m_hWriteCache.Close();
    std::vector<char> buffer(std::max<DWORD>(m_dwChunkSize, 1));
    DWORD dwRead = 0;
    while (m_hReadCache.ReadAvailable(buffer.data(), static_cast<DWORD>(buffer.size()), &dwRead) &&
           dwRead > 0)
        m_dwBytesRead += dwRead;
    if (m_hThread && m_hThread.Wait(m_dwThreadTimeout) == platform::WAIT_TIMEOUT)
        Trace("mcCacheDownloader::FlushCache DownloadThread still alive after %ld msec",
              m_dwThreadTimeout);
    m_hWriteCache.Close();
    m_hReadCache.Close();
    return FALSE;
}

void mcCacheDownloader::StopFeeder()
{
    Abort();
    WaitForFeeder("mcCacheDownloader::~mcCacheDownloader DownloadThread still alive after %ld");
}

void mcCacheDownloader::WaitForFeeder(const char* pszTimeoutTrace)
{
    if (!m_hThread)
        return;
    if (m_hThread.Wait(m_dwThreadTimeout) == platform::WAIT_TIMEOUT)
    {
        Trace(pszTimeoutTrace, m_dwThreadTimeout);
        // The feeder still uses this object: the join is completed, not abandoned.
        m_hThread.Wait(platform::INFINITE);
    }
}

std::string mcCacheDownloader::TrackName() const
{
    return m_pTrackCache ? m_pTrackCache->GetTrackName() : std::string();
}

DWORD mcCacheDownloader::TraceAddress() const
{
    return static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(this));
}

DWORD mcCacheDownloader::FeedPipeProc()
{
    std::vector<char> buffer;
    DWORD dwTotal = 0;
    bool bFinished = false;
    try
    {
        m_dwFeedState = eFeedFeeding;
        InitFeedData();
        buffer.assign(m_dwChunkSize + 1, 0);
        SetReady(TRUE);
        FeedLoop(buffer.data(), dwTotal);
        const std::string strName = TrackName();
        Trace("mcCacheDownloader::FeedPipeProc exited loop! Bytes Downloaded by Object [0x%08lX] "
              "is %lu, for %s",
              TraceAddress(), dwTotal, strName.c_str());
        bFinished = !m_bAbort;
        if (!bFinished)
            Trace("mcCacheDownloader::FeedPipeProc Object [0x%08lX] is Aborting the Thread Loop "
                  "for %s",
                  TraceAddress(), strName.c_str());
    }
    catch (const std::exception& e)
    {
        // The feed state stays "feeding": a failed feed never counts as finished. A request
        // that failed because it was cancelled by an abort is no failure of the server:
        // whoever aborted sets the track's status. The failure is reported before the
        // source counts as ready, so that a track is never found ready before its failure.
        if (m_bAbort)
            Trace("mcCacheDownloader::FeedPipeProc Object [0x%08lX] is Aborting the Thread Loop "
                  "for %s - %s",
                  TraceAddress(), TrackName().c_str(), e.what());
        else
        {
            ReportFailure(e.what());
            // Whatever the subclass reported, the reader must not wait for more.
            SetFailed(TRUE);
        }
        SetReady(TRUE);
    }
    try
    {
        UnInitFeedData();
    }
    catch (const std::exception& e)
    {
        Trace("mcCacheDownloader::FeedPipeProc UnInitFeedData failed - %s", e.what());
    }
    // Finished only once the source has closed and reported, so that the track's end
    // comes after its sources' ends. The write end closes last: that wakes a reader
    // waiting on the empty pipe.
    if (bFinished)
        m_dwFeedState = eFeedFinished;
    m_hWriteCache.Close();
    return 0;
}

void mcCacheDownloader::ReportFailure(const std::string& strMessage)
{
    try
    {
        ExceptionHandling(strMessage, m_dwHttpStatus);
    }
    catch (const std::exception& e)
    {
        Trace("mcCacheDownloader::FeedPipeProc ExceptionHandling failed - %s", e.what());
    }
}

void mcCacheDownloader::FeedLoop(char* pBuffer, DWORD& dwTotal)
{
    while (true)
    {
        if (m_bAbort)
            return;
        if (m_feedGate.IsPaused())
        {
            if (m_bAbort)
                return;
            m_feedGate.WaitForResume();
        }
        if (m_bAbort)
            return;
        DWORD dwSize = m_dwChunkSize;
        DWORD dwGot = 0;
        m_dwFeedPauseMs = 0;
        FeedData(pBuffer, &dwSize, &dwGot);
        dwTotal += dwGot;
        if (m_bAbort)
            return;
        if (dwGot == 0)
        {
            if (m_dwFeedPauseMs == 0)
                return;
            // Not the content's end: the source waits before it tries again. No lock is
            // held here, and the abort ends the wait at once.
            m_evAborted.Wait(m_dwFeedPauseMs);
            continue;
        }
        if (Write(pBuffer, &dwGot) == 0 || m_bAbort)
            return;
    }
}
