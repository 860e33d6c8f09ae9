// One buffered track: a bounded pipe that the track's download thread writes and the
// player's reading thread reads, the write status of the download, and the buffer's
// water marks, computed from the track's bit rate and the sequence's tuning values.
// Owned by its owner (the stream manager's cache list); owns its CTrackDownloader.
//
// Threads: Write only on the download thread; Read on the reading thread; the controls
// (StartWrite, PauseWrite, AbortWrite) and destruction on the owner's threads; the status
// tests on any thread. Status changes go through m_csStatus; the tests read the atomic
// field without it. m_csDownloader guards only the handing over of the downloader between
// SetupForWrite and AbortWrite. No notification is made while a lock of the cache is held.
//
// Lifetime: the destructor aborts the download, closes the buffer and destroys the
// downloader, which waits for the download thread (120 s, a trace, then the rest of the
// wait); the sources likewise wait for their feeder threads. So the owner destroys a cache
// while holding none of the locks that its notifications take, never from inside a
// notification, and with no other call on the cache under way.
#pragma once

#include "host/TracedLock.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Pipe.h"
#include "platform/ThreadSafety.h"
#include "platform/Types.h"
#include "sequence/TrackInfo.h"

#include <atomic>
#include <memory>
#include <string>

class CTrackCacheOwner;
class CTrackDownloader;

// Write status of a track cache.
enum : DWORD
{
    WS_IDLE = 0,     // constructed or just set up, no thread running yet
    WS_WRITING = 1,  // the download thread is writing
    WS_COMPLETE = 2, // the download ended normally
    WS_PAUSED = 3,   // the owner paused writing
    WS_FAILED = 4,   // failed after the server had answered 200; turns into WS_ABORTED at once
    WS_ABORTED = 5,  // aborted or failed; final
    WS_DENIED = 6,   // a source failed without a 200 answer: the server refused or said nothing
};

class CTrackCache
{
public:
    // Limit of the destructor's wait for the download to register its end.
    static constexpr DWORD kCloseWaitMs = 3000;
    static constexpr DWORD kFlushChunk = 8192;

    // The record is copied. A null record or a zero size gives an object that cannot be
    // set up (SetupForWrite fails); marks that do not fit the size are traced. A mark
    // beyond 32 bits is the largest value; the high mark is at least 1 and the low mark
    // from 1 to the high mark. Throws std::bad_alloc when the buffer cannot be had.
    CTrackCache(const STrackInfo* pTrackInfo, DWORD bytesCacheSize, CTrackCacheOwner* pOwner);
    virtual ~CTrackCache();
    CTrackCache(const CTrackCache&) = delete;
    CTrackCache& operator=(const CTrackCache&) = delete;

    // Owner's thread, once, right after construction. Creates the buffer and the
    // downloader, starts the download and blocks until the content server has answered
    // the song request, the sources failed or the download was aborted (AbortWrite from
    // another thread releases it). TRUE unless something could not be created.
    BOOL SetupForWrite();

    // Download thread only. Notifies the owner (NotifyCacheAmple) first when the buffer
    // holds its high-water mark, then blocks until every byte is in the buffer or the
    // buffer is closed (AbortWrite, destruction). The bytes written; 0 on failure.
    DWORD Write(const void* pBuffer, DWORD dwBytes);
    // Reading thread (and FlushCache). Never blocks: copies what the buffer holds, up to
    // dwBytes; 0 when it is empty, then also sets m_bEndOfData once writing is done.
    // Notifies NotifyCacheLow when the buffer holds less than the low-water mark.
    DWORD Read(void* pBuffer, DWORD dwBytes);
    // Any thread; never blocks. Bytes in the buffer, 0 without one.
    DWORD GetCurrentSize() const;
    // Reads and discards what the buffer holds; never blocks. The count of the last read.
    DWORD FlushCache();

    // Any thread; takes m_csStatus, then notifies without it (NotifyCacheWriteComplete
    // for WS_COMPLETE, WS_FAILED, and WS_DENIED that ends a download not yet done).
    // WS_ABORTED is final; WS_FAILED is stored as WS_ABORTED and makes the track a truncated
    // one; a done status (2, 4, 5, 6) gives way only to another done status. The first done
    // status closes the buffer's write end: no byte follows the end.
    void SetWriteStatus(DWORD dwStatus);

    // A track that ended short of its length: a source failed after its server had
    // answered, or a source's content ended short and could not be resumed. The bytes
    // written are the track's from its start; the reader gets them and then learns that
    // the track is not whole. Download thread (before the end status, so that a reader
    // that meets the end sees it) and SetWriteStatus; read on any thread.
    void MarkTruncated() { m_bTruncated = TRUE; }
    BOOL IsTruncated() const { return m_bTruncated.load(); }
    // Reading thread: TRUE the first time it asks once it has read a truncated track to
    // its end, so that the reader reports the short end once.
    BOOL TakeTruncatedEnd();
    // Reading thread. Blocks until the buffer holds dwBytes bytes (one by default) or
    // writing is done, at most dwMilliseconds on the platform clock. TRUE when either holds.
    BOOL WaitForData(DWORD dwMilliseconds, DWORD dwBytes = 1) const;

    // Owner's threads. Return at once (Pause/Resume of the download thread); they leave a
    // done status alone. StartWrite is FALSE when writing is done.
    BOOL StartWrite();
    BOOL PauseWrite();
    // Owner's threads. Aborts the download: cancels its requests, wakes every waiting
    // thread, closes the buffer's write end, sets WS_ABORTED. Blocks while the sources wait
    // for their feeder threads to end (at most 5000 ms each, normally at once).
    BOOL AbortWrite();

    // Any thread; no lock.
    BOOL IsWriteDone() const;
    BOOL IsReadComplete() const;
    BOOL IsSkippable() const;
    BOOL IsAboveHighWater() const;
    BOOL IsWritePaused() const;

    DWORD GetWriteStatus() const { return m_dwWriteStatus.load(); }
    DWORD GetBytesWritten() const { return m_dwBytesWritten.load(); }
    DWORD GetBytesRead() const { return m_dwBytesRead.load(); }
    BOOL IsEndOfData() const { return m_bEndOfData.load(); }
    BOOL IsComingUpSent() const { return m_bComingUpSent.load(); }
    void SetComingUpSent(BOOL bSent) { m_bComingUpSent = bSent; }
    CTrackCacheOwner* GetOwner() const { return m_pOwner; }
    // The downloader, null before SetupForWrite; valid until the cache is destroyed.
    CTrackDownloader* GetDownloader() const;

    // The copied record.
    const STrackInfo& GetTrackInfo() const { return m_TrackInfo; }
    const std::string& GetTrackName() const { return m_TrackInfo.track; }
    DWORD GetSongBitRate() const { return m_TrackInfo.songbr; }
    DWORD GetSongSize() const { return m_TrackInfo.songsize; }
    DWORD GetSampleRate() const { return m_TrackInfo.samplerate; }
    DWORD GetNumChannels() const { return m_TrackInfo.numchans; }
    const char* GetSongUrl() const { return m_TrackInfo.songurl.c_str(); }
    std::string GetCacheId() const { return m_TrackInfo.cacheid; }
    const char* GetCacheUrl() const { return m_TrackInfo.cacheurl.c_str(); }
    DWORD GetCacheSize() const { return m_TrackInfo.cachesize; }
    DWORD GetSongPartSize() const { return m_TrackInfo.songpartsize; }
    DWORD GetSplitCache() const { return m_TrackInfo.splitcache; }
    DWORD GetSplitSong() const { return m_TrackInfo.splitsong; }
    DWORD GetRetry() const { return m_TrackInfo.retry; }
    DWORD GetLowWater() const { return m_dwLowWater; }
    DWORD GetHighWater() const { return m_dwHighWater; }
    DWORD GetPipeSize() const { return m_dwPipeSize; }
    DWORD GetPreconnectBytes() const { return m_dwPreconnectBytes; }

private:
    BOOL CreateBuffer();
    BOOL StartDownload();
    static bool IsDoneStatus(DWORD dwStatus);
    void WaitForWriteDone(DWORD dwMilliseconds);
    void CloseCache();

    std::atomic<BOOL> m_bComingUpSent{FALSE};
    const STrackInfo m_TrackInfo;
    bool m_bUsable = false;
    std::unique_ptr<CTrackDownloader> m_pDownloader OVR_GUARDED_BY(m_csDownloader);
    bool m_bAbortRequested OVR_GUARDED_BY(m_csDownloader) = false;
    // Ends of the buffer. Closed, never replaced, while threads may use them.
    platform::PipeReadEnd m_hReadCache;
    platform::PipeWriteEnd m_hWriteCache;
    std::atomic<DWORD> m_dwBytesWritten{0};
    std::atomic<DWORD> m_dwBytesRead{0};
    DWORD m_dwLowWater = 0;
    DWORD m_dwHighWater = 0;
    DWORD m_dwPipeSize = 0;
    DWORD m_dwPreconnectBytes = 0;
    std::atomic<DWORD> m_dwWriteStatus{WS_IDLE};
    std::atomic<BOOL> m_bEndOfData{FALSE};
    std::atomic<BOOL> m_bTruncated{FALSE};
    std::atomic<BOOL> m_bTruncatedEndTaken{FALSE};
    CTrackCacheOwner* m_pOwner = nullptr;
    platform::CriticalSection m_csStatus;
    // Signalled on every status change, for the destructor's wait.
    platform::Event m_evStatusChanged{false, false};
    mutable platform::CriticalSection m_csDownloader;
};
