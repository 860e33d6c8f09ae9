// The base of a track's content sources. Each source runs a feeder thread (FeedPipeProc)
// that fetches the content chunk by chunk through the subclass's FeedData and writes it
// into a private pipe; the track's download thread pulls the bytes out with
// ReadDataFromPipe and writes them into the track cache. The feeder pauses itself when its
// pipe holds more than the high-water mark; the reader resumes it at the low-water mark
// or when it finds the pipe empty.
//
// Threads: the feeder (FeedPipeProc and the subclass's feed operations, Write, Pause), the
// download thread (ReadDataFromPipe, Resume, the tests and the waits on the state) and the
// track cache's owner's threads (Abort, destruction). Flags and counters are atomics;
// the pause gate pairs each pause flag change with its event; the pipe carries the data.
//
// Lifetime: the feeder uses this object until it ends. Abort makes it end promptly (the
// subclass cancels its I/O, the pause is resumed, the pipe's write end is closed). The
// destructor aborts and waits for it: 5000 ms, a trace, then the rest of the wait, so
// the feeder never outlives the object. A concrete source calls StopFeeder() first in its
// own destructor, while the parts that its feed operations use still exist.
#pragma once

#include "download/PauseGate.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Pipe.h"
#include "platform/Thread.h"
#include "platform/ThreadSafety.h"
#include "platform/Types.h"

#include <atomic>
#include <string>

class CTrackCache;

// Where the feed is.
enum EFeedState : DWORD
{
    eFeedNotStarted = 0,
    eFeedFeeding = 1,
    eFeedFinished = 2, // FeedData returned 0 bytes without an abort
};

class mcCacheDownloader
{
public:
    static constexpr DWORD kThreadTimeoutMs = 5000;
    // Longest wait of a reader that finds the pipe empty while the feed runs.
    static constexpr DWORD kEmptyPipeWaitMs = 250;

    // Creates the private pipe (chunk + pipe size bytes). The chunk is cut to the pipe
    // size. The track cache may be null (then traces name no track).
    mcCacheDownloader(CTrackCache* pTrackCache, DWORD dwChunkSize, DWORD dwLowWater,
                      DWORD dwHighWater, DWORD dwPipeSize);
    virtual ~mcCacheDownloader();
    mcCacheDownloader(const mcCacheDownloader&) = delete;
    mcCacheDownloader& operator=(const mcCacheDownloader&) = delete;

    // Owner's thread, once. Throws CWorkerError when the thread cannot start.
    virtual void StartFeedThread();
    // The tests (IsFeedFinished ... IsFailed, IsReady): any thread; read atomics, no lock.
    virtual BOOL IsFeedFinished() const;
    virtual BOOL IsEndOfData() const;
    // Any thread but the feeder. Sets the abort flag, wakes the feeder and every waiter
    // on this source, drains the pipe and waits up to 5000 ms for the feeder to end.
    virtual BOOL Abort();
    virtual BOOL IsAborted() const;
    virtual BOOL IsConnected() const;
    virtual BOOL IsFailed() const;
    // Download thread. Never blocks on the pipe: returns what it holds up to *pdwSize.
    // When it finds the pipe empty while the feed runs, it resumes the feeder and waits up
    // to 250 ms (platform clock) for bytes, the feed's end or an abort, then returns 0.
    // *pbFailed receives the failed flag as it was on entry.
    virtual DWORD ReadDataFromPipe(void* pBuffer, DWORD* pdwSize, BYTE* pbFailed);
    // Feeder (Pause) and download thread (Resume); never block; take the pause gate's
    // lock for the flag and event change.
    virtual BOOL Pause();
    virtual BOOL Resume();
    // The feed operations, on the feeder thread only (the subclass says which lock each
    // takes); they report failures by throwing CWorkerError with the message for
    // ExceptionHandling, which the feeder calls once, unless the source was aborted.
    virtual void InitFeedData();
    // Fills up to *pdwSize bytes and stores the count in *pdwGot; 0 ends the content,
    // unless the call asked for a pause (PauseFeedFor): then the feeder waits that long,
    // holding no lock, and calls again.
    virtual void FeedData(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot);
    virtual void UnInitFeedData();
    // Any thread.
    virtual DWORD GetBytesReceived() const;
    virtual DWORD GetContentLength() const;
    virtual void ExceptionHandling(const std::string& strMessage, DWORD dwHttpStatus);
    // Any thread; each change wakes WaitForStateChange.
    virtual void SetConnected(BOOL bConnected);
    virtual void SetFailed(BOOL bFailed);
    virtual void SetReady(BOOL bReady);
    virtual BOOL IsReady() const;

    // Download thread: blocks until a flag that the readiness waits test changes
    // (connected, failed, ready, aborted). Every such change signals it, so a caller that
    // tests its condition before each call misses none.
    void WaitForStateChange();

    // Any thread; never block. What the private pipe holds now and what it can hold.
    DWORD GetPipeHeldBytes() const;
    DWORD GetPipeCapacity() const { return m_dwChunkSize + m_dwPipeSize; }
    DWORD GetLowWater() const { return m_dwLowWater; }
    DWORD GetHighWater() const { return m_dwHighWater; }
    DWORD GetChunkSize() const { return m_dwChunkSize; }
    DWORD GetHttpStatus() const { return m_dwHttpStatus.load(); }
    // Bytes the reader has taken out of the private pipe so far.
    DWORD GetBytesReadFromPipe() const { return m_dwBytesRead.load(); }
    BOOL IsPaused() const { return m_feedGate.IsPaused(); }

protected:
    // Feeder, from inside FeedData: a FeedData that brings nothing is no end of the content;
    // the feeder waits dwMilliseconds on the platform clock (an abort ends the wait at
    // once), then calls FeedData again.
    void PauseFeedFor(DWORD dwMilliseconds) { m_dwFeedPauseMs = dwMilliseconds; }
    // Feeder: pushes bytes into the pipe (blocks while it is full) and pauses the feeder
    // above the high-water mark. The bytes written; 0 when the pipe is closed.
    DWORD Write(const void* pBuffer, DWORD* pdwSize);
    // The base step of Abort.
    BOOL AbortBase();
    // Reads and discards the pipe without blocking, waits for the feeder up to 5000 ms and
    // closes the pipe; its write end first, so a feeder blocked on a full pipe returns.
    BOOL FlushCache();
    // Aborts (through the most derived Abort) and waits for the feeder to end: 5000 ms, a
    // trace, then the rest of the wait.
    void StopFeeder();
    std::string TrackName() const;
    CTrackCache* TrackCache() const { return m_pTrackCache; }
    // The object's address for traces that name it.
    DWORD TraceAddress() const;

    std::atomic<DWORD> m_dwHttpStatus{0};
    std::atomic<BOOL> m_bAbort{FALSE};

private:
    DWORD FeedPipeProc();
    void FeedLoop(char* pBuffer, DWORD& dwTotal);
    void ReportFailure(const std::string& strMessage);
    void WaitForFeeder(const char* pszTimeoutTrace);
    void SignalStateChange() { m_evStateChanged.Set(); }

    CTrackCache* const m_pTrackCache;
    platform::PipeReadEnd m_hReadCache;
    platform::PipeWriteEnd m_hWriteCache;
    platform::Thread m_hThread;
    const DWORD m_dwLowWater;
    const DWORD m_dwHighWater;
    const DWORD m_dwPipeSize;
    const DWORD m_dwChunkSize;
    const DWORD m_dwThreadTimeout = kThreadTimeoutMs;
    // The feeder's paused flag and the event it waits on (m_bPaused, m_hFeedEvent).
    CPauseGate m_feedGate;
    std::atomic<DWORD> m_dwFeedState{eFeedNotStarted};
    std::atomic<BOOL> m_bConnected{FALSE};
    std::atomic<BOOL> m_bEndOfData{FALSE};
    std::atomic<BOOL> m_bFailed{FALSE};
    std::atomic<DWORD> m_dwBytesWritten{0};
    std::atomic<DWORD> m_dwBytesRead{0};
    std::atomic<BOOL> m_bReady{FALSE};
    // The pause a FeedData asked for; feeder only.
    DWORD m_dwFeedPauseMs = 0;
    platform::CriticalSection m_cs;
    platform::Event m_evStateChanged{false, false};
    // Set once by the abort: ends the feeder's pauses.
    platform::Event m_evAborted{true, false};
};
