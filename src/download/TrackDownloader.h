// Fills one track cache: signs the track's content addresses, creates the content
// sources, and runs the track's download thread, which waits until the sources have
// answered, then pulls their bytes through a writer into the track cache, pausing while
// the cache's owner says the cache holds enough. Created and owned by its CTrackCache in
// SetupForWrite.
//
// Threads: the download thread (TrackContentDownloadProc), the track cache's owner's
// threads (Pause, Resume, Abort, destruction, through the cache's controls) and the
// player's reading thread (IsPaused). The pause gate pairs each pause flag change with
// its event; the other flags are atomics.
//
// Lifetime: Abort makes the download thread end promptly (it resumes the pause, aborts the
// sources, whose pipes close). The destructor aborts and waits for the thread: 120000 ms,
// a trace, then the rest of the wait, so the thread never outlives what it uses; the
// sources then wait for their feeders the same way. The thread never destroys its
// downloader or its cache. The two events are shared, so a waiter may outlive the
// downloader.
#pragma once

#include "download/PauseGate.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/Types.h"

#include <atomic>
#include <memory>
#include <string>

class CTrackCache;
class CTrackCacheWriter;
class mcCacheDownloader;
enum EPumpState : DWORD;

class CTrackDownloader
{
public:
    static constexpr DWORD kThreadTimeoutMs = 120000;
    static constexpr DWORD kChunkSize = 8192;
    // Longest signature: the digits of one MD5 digest.
    static constexpr std::size_t kMaxSignatureLength = 32;

    // Signs the address and creates the song source, and for a split track the cache
    // source. An empty address, a null cache, split weights that cannot interleave (both
    // 0, or more in sum than a pass holds) or a source that cannot be created leaves the
    // downloader without sources: its thread then ends the download as aborted, with a
    // trace, and sets both events. A download whose source ended short of its length marks
    // the track truncated before it completes.
    CTrackDownloader(const char* pszUrl, CTrackCache* pTrackCache);
    virtual ~CTrackDownloader();
    CTrackDownloader(const CTrackDownloader&) = delete;
    CTrackDownloader& operator=(const CTrackDownloader&) = delete;

    // Owner's thread, once: starts the sources' feeders and the download thread.
    // Throws CWorkerError when a thread cannot be created.
    void StartTrackContentDownloadProc();
    // Any thread; never block. Pause lets the pass under way finish, then the thread waits
    // before the next; Resume releases that wait.
    BOOL Pause();
    BOOL Resume();
    BOOL IsPaused() const { return m_pauseGate.IsPaused(); }
    // Any thread but the download thread. Sets the abort flag, resumes, signals both
    // events and aborts the sources (each blocks up to 5000 ms for its feeder to end).
    BOOL Abort();
    BOOL IsAborted() const { return m_bAbort.load(); }

    // The signed address: the MAGIC= value's placeholder (between two "%3a") replaced by
    // SignMagic of the decoded value; unchanged, with a trace, when that fails.
    static std::string SignUrl(const std::string& strUrl);
    // The first nLength (at most 32) upper-case hexadecimal digits of the MD5 of the value
    // followed by the user identifier. Throws CWorkerError without an identifier.
    static std::string SignMagic(const std::string& strValue, std::size_t nLength);

    // Set when the sources are ready, failed or aborted, at the thread's end and by Abort.
    const std::shared_ptr<platform::Event>& StartedEvent() const { return m_hStartedEvent; }
    // Set at the thread's end and by Abort.
    const std::shared_ptr<platform::Event>& FinishedEvent() const { return m_hFinishedEvent; }
    const std::string& GetUrl() const { return m_strUrl; }
    mcCacheDownloader* GetSongSource() const { return m_pSongSource.get(); }
    mcCacheDownloader* GetCacheSource() const { return m_pCacheSource.get(); }

private:
    void CreateSongSource();
    // The cache part's source (from the disk cache when it is usable, else from the
    // network) and the song part's, each with the marks and pipe scaled by its share.
    // Throws CWorkerError for weights that cannot interleave.
    void CreateSplitSources();
    static bool IsDiskCacheUsable(const CTrackCache& cache);
    std::unique_ptr<CTrackCacheWriter> CreateWriter();
    EPumpState WaitForSources();
    DWORD TrackContentDownloadProc();
    EPumpState PumpUntilDone(CTrackCacheWriter& writer, EPumpState eState);
    bool IsAnySourceShort() const;
    void SignalEnd();

    std::string m_strUrl;
    CTrackCache* const m_pTrackCache;
    const std::shared_ptr<platform::Event> m_hStartedEvent;
    const std::shared_ptr<platform::Event> m_hFinishedEvent;
    platform::Thread m_hThread;
    std::atomic<BOOL> m_bAbort{FALSE};
    // The thread's paused flag and the event it waits on (m_bPaused, m_hPauseEvent).
    CPauseGate m_pauseGate;
    std::unique_ptr<mcCacheDownloader> m_pSongSource;
    std::unique_ptr<mcCacheDownloader> m_pCacheSource;
};
