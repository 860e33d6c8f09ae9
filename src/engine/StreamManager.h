// The engine's centre: the session and station that the host drives, the list of track
// caches buffered ahead of playback with the right to download moving between them, the
// new-cache thread that builds them, the reading of the current track, the status
// handshake with the player through the host's callback, and throttling when the
// connection is too slow for the sequence. One per engine object and so one per process:
// its locks are process-wide (a second one fails to construct).
//
// Threads. The host's thread calls the session and station operations and AckNotified;
// the player's reading thread calls GetNextTrack, OpenStream, ReadStream and CloseStream
// (the host may use one thread for both). The new-cache thread builds caches; track
// download and feeder threads come in through the three notifications. The status
// callback is called from the new-cache thread (3, 7, 8), the reading thread (6) and
// sequence download threads (9, 10), always through one gate (CStatusGate) and never while
// a lock of the stream manager is held. From inside the callback, EndSession, AckNotified,
// RefreshStation and the player's operations may be called (none waits for the calling
// thread); StartSession and ChangeStation fail at once with code 18, since the thread
// that calls back belongs to the station they would end.
//
// Locks, in the order they are taken when several are held: g_csCacheSequence, then
// g_csReadCache, then g_csTrackCacheList, then g_csWriteCache. g_csNewCache is taken with
// at most g_csCacheSequence held, g_csStartNewCache with at most g_csReadCache held. The
// sequence manager's locks come after g_csCacheSequence. All are recursive. A cache
// leaves the list under the locks and is destroyed after they are released (its
// destructor waits for its download thread, whose notifications take them); the list
// shares ownership with a reader that waits for data outside the locks.
#pragma once

#include "download/TrackCacheOwner.h"
#include "engine/PlayerTrackInfo.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/ThreadSafety.h"
#include "platform/Types.h"
#include "sequence/RadioSequenceMgr.h"
#include "sequence/SequenceThreadParams.h"

#include <atomic>
#include <list>
#include <memory>
#include <optional>
#include <ovradio/RadioEngine.h>
#include <string>
#include <vector>

class CStatusGate;
class CTrackCache;

// The result of ReadStream: the read status the host receives (RS_OK, RS_EOF,
// RS_NODATAVAILABLE).
using EReadStatus = OVRADIO_READ_STATUS;

// Where the player stands with the track handed out.
enum EStreamState : int
{
    eStreamIdle = 0,
    eStreamOpen = 1,    // after OpenStream
    eStreamReading = 2, // after the first read that passed the start threshold
};

// The stream manager's process-wide locks and their order.
extern platform::CriticalSection g_csCacheSequence OVR_ACQUIRED_BEFORE(g_csTrackList);
extern platform::CriticalSection g_csReadCache OVR_ACQUIRED_AFTER(g_csCacheSequence);
extern platform::CriticalSection g_csTrackCacheList OVR_ACQUIRED_AFTER(g_csReadCache);
extern platform::CriticalSection g_csWriteCache OVR_ACQUIRED_AFTER(g_csTrackCacheList);
extern platform::CriticalSection g_csStartNewCache OVR_ACQUIRED_AFTER(g_csReadCache);
extern platform::CriticalSection g_csNewCache OVR_ACQUIRED_AFTER(g_csCacheSequence);

class CStreamManager : public CTrackCacheOwner
{
public:
    using CacheList = std::list<std::shared_ptr<CTrackCache>>;
    using Position = CacheList::iterator;

    static constexpr DWORD kDefaultMaxTotalCache = 5242880;
    static constexpr DWORD kDefaultMaxTrackCache = 1048576;
    static constexpr int kMaxOpenDownloads = 3;
    static constexpr DWORD kStartTimeoutMs = 45000;
    static constexpr DWORD kContinueTimeoutMs = 40000;
    static constexpr DWORD kReadPauseMs = 500;
    static constexpr DWORD kCloseWaitMs = 500;
    static constexpr DWORD kNewCacheThreadWaitMs = 5000;
    // The most that the cache size preferences are taken at: a track's buffer is allocated
    // whole, and the pool's byte count must not wrap.
    static constexpr DWORD kLargestTrackCache = 256u << 20;
    static constexpr DWORD kLargestCachePool = 1024u << 20;
    // The error code of StartSession and ChangeStation called from inside the callback.
    static constexpr int kReentrantCallCode = 18;

    // Host's thread. Starts the event service, the rate meter, the radio cache manager and
    // the sequence manager, and reads the server wait limit. Raises CRadEngException code
    // 3 when another stream manager is alive or the sequence manager cannot be created.
    CStreamManager();
    // Host's thread. Ends the session, waits (without limit, after the traced 5000 ms)
    // for the new-cache thread, then destroys the parts; blocks up to 10 s for a sequence
    // download and 20 s for a cache size pass.
    virtual ~CStreamManager();
    CStreamManager(const CStreamManager&) = delete;
    CStreamManager& operator=(const CStreamManager&) = delete;

    // True while a stream manager exists in this process.
    static bool IsInstanceAlive();

    // Host's thread. Session and station. They block while a running station ends (up to
    // 10 s for its sequence download, 5 s per feeder of each cache, 120 s per download
    // thread, 5 s for the new-cache thread, then until a thread that outlived that wait
    // has ended). StartStation, ChangeStation and StartSession raise CRadEngException
    // (codes 2, 4) when the station cannot start, and (code 18, at once) when called from
    // inside the status callback. ChangeStation after EndSession lets the callback of the
    // session through again. A player that got code 11 and waits for its answer keeps
    // waiting across ChangeStation: the new station answers it (7, 8 or 3).
    BOOL StartSession(const std::string& stationId, const std::string& stationName,
                      const std::string& audioFormatDesc, const std::string& clientCaps,
                      const std::string& userInfo, StatusCallback pfnStatusCallback);
    enum class EHandshake
    {
        eForget,    // a new session: no answer is owed
        eCarryOver, // a change of station: a waiting player is answered by the new one
    };
    BOOL StartStation(const std::string& stationId, EHandshake handshake = EHandshake::eForget);
    void StartNewSequence();
    BOOL ChangeStation(const std::string& stationId);
    // Host's thread; never blocks beyond a short lock. The new values go with the next
    // sequence request. A station whose refused tracks paused or stopped the requests
    // asks again at once, also without buffered tracks.
    BOOL RefreshStation(const std::string& audioFormat, const std::string& userInfo);
    BOOL EndStation();
    void CleanupCache();
    // Host's thread, or from inside the callback on any thread. Closes the status gate
    // (waiting out callbacks under way on other threads), then ends the station; never
    // waits for the thread it is called on.
    BOOL EndSession();
    // Host's thread, before a station starts. A pool above kLargestCachePool or a track
    // cache above kLargestTrackCache is taken at that limit, a track cache above the pool
    // at the pool's size; a track cache of 0 is refused (the last value stays).
    BOOL SetCacheSizeLimits();
    void ParseUserInfo(const std::string& userInfo);

    // Any thread. Stores the status; sends 3, 6, 7, 8 through the gate. A 3 carries
    // pszReason (null: no text).
    void SetStatus(int nStatus, const char* pszReason = nullptr);
    // Host's thread: the player has handled a notification (0 sets status 2).
    void AckNotified(int nMessage);
    int GetStatus() const { return m_nStatus.load(); }

    // Reading thread. GetNextTrack blocks while g_csReadCache is held elsewhere and up to
    // 500 ms for a CloseStream on another thread; OpenStream and CloseStream only for
    // locks (CloseStream also while a rejected sequence's download ends). Errors are
    // CRadEngException with the codes of their messages.
    // A track handed out while the sequence server has said it sends no further sequences
    // (status 244) brings status 8 with the end script, once per station, on this thread,
    // when no answer to code 11 has carried it. A track handed out ends the handshake of
    // an earlier code 11: no 7 is then owed.
    BOOL GetNextTrack(SPlayerTrackInfo& info);
    BOOL OpenStream(DWORD nTrackID, SStreamFormat& format);
    // Reading thread. Copies what the current track's cache holds; when too little is
    // there, pauses up to 500 ms (until data come, the download ends or the cache is
    // aborted), without holding a lock, and answers RS_NODATAVAILABLE.
    EReadStatus ReadStream(BYTE* pBuffer, DWORD& dwCount);
    BOOL CloseStream();
    static DWORD GetReadTimeout(int nKind);

    // The track cache's owner: download, feeder and reading threads. They take
    // g_csReadCache (NotifyCacheLow, from inside a read), g_csTrackCacheList,
    // g_csWriteCache and g_csStartNewCache, briefly, and never wait for anything else.
    BOOL NotifyCacheLow(CTrackCache* pCache) override;
    BOOL NotifyCacheAmple(CTrackCache* pCache) override;
    void NotifyCacheWriteComplete(CTrackCache* pCache) override;
    std::shared_ptr<CConnectionRateMeter> GetRateMeter() override { return m_pRateMeter; }
    std::shared_ptr<mcRadioCacheMgr> GetRadioCacheMgr() override { return m_pRadioCacheMgr; }

    // For the engine object and tests.
    CRadioSequenceMgr& SequenceMgr() { return *m_pSequenceMgr; }
    std::size_t CacheCount() const OVR_EXCLUDES(g_csTrackCacheList);
    DWORD GetMaxTotalCache() const { return m_dwMaxTotalCache.load(); }
    DWORD GetMaxTrackCache() const { return m_dwMaxTrackCache.load(); }
    bool IsNewCacheThreadRunning() const OVR_EXCLUDES(g_csStartNewCache);

private:
    // Claims the one stream manager of the process for the object's life.
    class CInstanceClaim
    {
    public:
        CInstanceClaim();
        ~CInstanceClaim();
        CInstanceClaim(const CInstanceClaim&) = delete;
        CInstanceClaim& operator=(const CInstanceClaim&) = delete;
    };

    // Session and station helpers.
    void WaitForNewCacheThreadEnd();
    // True on the new-cache thread (which may end the station from inside a callback).
    static bool IsOnNewCacheThread();
    void ApplyPendingRequestValues() OVR_REQUIRES(g_csCacheSequence);
    bool IsPlayerWaiting() const;

    // The new-cache thread and the list.
    BOOL StartNewTrackCache() OVR_EXCLUDES(g_csStartNewCache, g_csTrackCacheList, g_csWriteCache);
    BOOL IsNewCacheThreadAlive() OVR_REQUIRES(g_csStartNewCache);
    DWORD NewTrackCacheProc();
    bool EndNewCacheThreadUnlessWanted() OVR_EXCLUDES(g_csStartNewCache);
    BOOL IsSizeLimitReached() OVR_EXCLUDES(g_csReadCache, g_csTrackCacheList);
    std::vector<std::shared_ptr<CTrackCache>> TakeOutUnusableCaches()
        OVR_REQUIRES(g_csReadCache, g_csTrackCacheList);
    void DropRefusedCaches() OVR_EXCLUDES(g_csReadCache, g_csTrackCacheList);
    bool IsInList(const CTrackCache* pCache) const OVR_EXCLUDES(g_csTrackCacheList);
    void EndPendingHandshake();
    void ThrowIfInsideCallback(const char* pszOperation);
    bool HasUsableCache() const OVR_EXCLUDES(g_csTrackCacheList);
    BOOL CreateCacheForWrite() OVR_EXCLUDES(g_csCacheSequence);
    // What one pass of step 2 came to: a cache, or a pause before the next sequence
    // request, which CreateCacheForWrite waits out without the lock.
    enum class EBuild
    {
        eBuilt,
        ePauseFirst,
    };
    EBuild BuildCacheForNextTrack() OVR_REQUIRES(g_csCacheSequence);
    void TraceTrackParams(const STrackInfo& rec);
    CTrackCache* NewCache() OVR_EXCLUDES(g_csNewCache);
    std::shared_ptr<CTrackCache> TakeNewCache() OVR_EXCLUDES(g_csNewCache);
    std::shared_ptr<CTrackCache> AppendNewCache(std::shared_ptr<platform::Event>& finished)
        OVR_REQUIRES(g_csCacheSequence);
    [[noreturn]] void ThrowEndStation();
    void AnswerWaitingPlayer(BOOL bResult) OVR_EXCLUDES(g_csTrackCacheList);
    void AnnounceEndIfSequencesEnded();
    void WaitForDownloadEnd(const std::shared_ptr<platform::Event>& finished,
                            const CTrackCache* pAdded);
    bool IsUsableInList(const CTrackCache* pCache) const OVR_EXCLUDES(g_csTrackCacheList);
    void SetWriteCache(std::optional<Position> position) OVR_EXCLUDES(g_csWriteCache);
    BOOL AdvanceToCacheNeedingWrite() OVR_EXCLUDES(g_csTrackCacheList, g_csWriteCache);
    std::shared_ptr<CTrackCache> RemoveFromTrackCacheList(Position& position)
        OVR_REQUIRES(g_csTrackCacheList);
    enum class ECleanupFrom
    {
        eFront,
        eAfterReadCache,
    };
    std::vector<std::shared_ptr<CTrackCache>> CleanupCaching(ECleanupFrom eFrom)
        OVR_EXCLUDES(g_csReadCache, g_csTrackCacheList, g_csWriteCache);
    void RejectCurrentSequence() OVR_EXCLUDES(g_csCacheSequence, g_csReadCache);
    static bool IsUsable(const CTrackCache& cache);
    static bool IsWritingDone(const CTrackCache& cache);

    // Reading.
    std::optional<Position> GetFirstAvailableTrack() OVR_REQUIRES(g_csReadCache);
    std::shared_ptr<CTrackCache> ReleaseReadCache() OVR_REQUIRES(g_csReadCache);
    void WaitForStreamClosed();
    EReadStatus ReadLocked(BYTE* pBuffer, DWORD& dwCount, std::shared_ptr<CTrackCache>& pWaitOn,
                           DWORD& dwWaitBytes, std::string& strComingUp)
        OVR_REQUIRES(g_csReadCache);
    bool ReadTimedOut(DWORD dwLimitMs);
    static DWORD StartBytes(const CTrackCache& cache);
    std::string SendComingUpText() OVR_REQUIRES(g_csReadCache);
    void CheckThrottling();
    void HandleThrottling();

    CInstanceClaim m_instanceClaim;
    std::shared_ptr<CStatusGate> m_pStatusGate;
    std::shared_ptr<CConnectionRateMeter> m_pRateMeter;
    std::shared_ptr<mcRadioCacheMgr> m_pRadioCacheMgr;
    std::unique_ptr<CRadioSequenceMgr> m_pSequenceMgr;

    CacheList m_listTrackCaches OVR_GUARDED_BY(g_csTrackCacheList);
    // Positions in the list; none is std::nullopt.
    std::optional<Position> m_itWriteCache OVR_GUARDED_BY(g_csWriteCache);
    std::optional<Position> m_itReadCache OVR_GUARDED_BY(g_csReadCache);
    std::string m_strStationID OVR_GUARDED_BY(g_csReadCache);
    std::atomic<int> m_eStreamState{eStreamIdle};
    std::atomic<DWORD> m_dwMaxTotalCache{kDefaultMaxTotalCache};
    std::atomic<DWORD> m_dwMaxTrackCache{kDefaultMaxTrackCache};
    std::atomic<int> m_nStatus{0};
    std::atomic<BOOL> m_bEndStation{FALSE};
    // Start of the current wait for data; 0 = not waiting.
    std::atomic<DWORD> m_dwWaitStart{0};
    std::atomic<bool> m_bThrottleHandled{false};
    std::atomic<bool> m_bRejectCurrentSequence{false};
    // Set when the player got code 11, cleared when it is answered (3, 7 or 8): only such a
    // player makes the new-cache thread go round, not an acknowledgement alone.
    std::atomic<bool> m_bPlayerAskedInVain{false};
    // Set once status 8 has told the player of this station's last sequence.
    std::atomic<bool> m_bEndAnnounced{false};
    // Set once the player got a track of this station: a station that played nothing and
    // has no further sequences has failed rather than ended.
    std::atomic<bool> m_bTrackHandedOut{false};
    // Set when a cache in the list was refused: the new-cache thread takes it out.
    std::atomic<bool> m_bRefusedInList{false};
    // The cache the new-cache thread is building, not yet in the list.
    std::shared_ptr<CTrackCache> m_pNewCache OVR_GUARDED_BY(g_csNewCache);
    platform::Thread m_threadStartNewCache OVR_GUARDED_BY(g_csStartNewCache);
    // True from the thread's start until it has decided, under g_csStartNewCache, to end.
    bool m_bNewCacheThreadRunning OVR_GUARDED_BY(g_csStartNewCache) = false;
    // A start asked for while the thread ran: it goes round once more instead of ending.
    bool m_bNewCacheWanted OVR_GUARDED_BY(g_csStartNewCache) = false;

    // Values of RefreshStation for the next sequence request, set on the host's thread and
    // applied by the thread that starts requests.
    platform::CriticalSection m_csPending OVR_ACQUIRED_AFTER(g_csCacheSequence);
    std::optional<std::string> m_strPendingAFD OVR_GUARDED_BY(m_csPending);
    std::optional<std::string> m_strPendingUserInfo OVR_GUARDED_BY(m_csPending);

    // Set when the status changes or the station ends (the handshake's wait), and when
    // the stream is closed (GetNextTrack's wait).
    platform::Event m_evStatusChanged{false, false};
    platform::Event m_evStreamClosed{false, false};
};
