// The content source of a split track's cache part when the persistent radio cache is
// usable: it serves the part from the track's cache file as far as the file holds it and
// fetches the rest over HTTP with a range request from where the file ends, appending
// what arrives to the file. When the file holds more than the pre-connect amount, the
// connection is opened late: once at most that amount of the file is left unread. At the
// end of each feed the header records how much of the part the file holds, the file is
// unlocked and the cache's size management starts.
//
// The file's body is always a prefix of the part: a file whose header names a part of
// another length starts anew; a header that claims more than the file holds counts for
// what the file holds; a write that fails stops the appends of that feed
// and the header then records the bytes written before it; the track itself goes on from
// the network unchanged.
//
// Threads: the feed operations run on the feeder thread under m_csFile, which is taken
// before the base's m_csInternet; Abort comes from the track cache's owner's threads
// without it. The radio cache manager is held for the source's life (shared ownership).
#pragma once

#include "cache/CacheFileHeader.h"
#include "cache/RadioCacheMgr.h"
#include "download/InternetCacheDownloader.h"
#include "platform/CriticalSection.h"
#include "platform/ThreadSafety.h"

#include <atomic>
#include <memory>
#include <string>

class mcCacheFileMgr;

// How the source reaches the network in one feed.
enum EConnectState : DWORD
{
    CONNECT_NOW = 1,   // no usable file, or it holds no more than the pre-connect amount
    CONNECT_LATE = 2,  // the file holds more than that, less than the part: connect later
    FILE_COMPLETE = 3, // the file holds the whole part: no connection
    CONNECTED = 4,     // the request has been sent
};

class mcFileInternetCacheDownloader : public mcInternetCacheDownloader
{
public:
    // Opens (or creates) the track's cache file and locks it with the radio cache manager
    // that the track cache's owner gives; raises "TrackFoundInCache" for a file with a
    // readable header. Without a manager or a file path the source is a network source.
    mcFileInternetCacheDownloader(DWORD dwCacheSize, const std::string& strUrl,
                                  DWORD dwPreconnectBytes, CTrackCache* pTrackCache,
                                  DWORD dwRetryLimit, DWORD dwChunkSize, DWORD dwLowWater,
                                  DWORD dwHighWater, DWORD dwPipeSize);
    // Stops the feeder; a file that its feed never released is closed and unlocked here.
    ~mcFileInternetCacheDownloader() override;

    // Any thread but the feeder: as the network source's Abort (blocks up to 5000 ms for
    // the feeder to end); takes no lock of this class.
    BOOL Abort() override;
    // Feeder, under m_csFile (and the base's m_csInternet inside for the network steps).
    // InitFeedData connects at once unless the file holds more than the pre-connect
    // amount; FeedData serves the file, then the network, appending to the file;
    // UnInitFeedData records the file's body in its header, unlocks it and starts the
    // size management.
    void InitFeedData() override;
    void FeedData(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot) override;
    void UnInitFeedData() override;
    // Any thread: the part's bytes fed so far (file and network), and the part's length.
    DWORD GetBytesReceived() const override;
    DWORD GetContentLength() const override;
    // Feeder. Takes m_csFile only to trace; the base's report runs without it, since it
    // sets the track cache's status, which may notify the owner.
    void ExceptionHandling(const std::string& strMessage, DWORD dwHttpStatus) override;

    // Any thread.
    EConnectState GetConnectState() const { return m_dwConnectState.load(); }
    BOOL IsFoundInCache() const { return m_bFoundInCache.load(); }
    const std::string& GetCachePath() const { return m_strCachePath; }

private:
    void OpenCacheFile(const STrackInfo& track) OVR_REQUIRES(m_csFile);
    // The body bytes the file holds for this feed: what the header says, but no more than
    // the file really holds.
    DWORD CachedBodyBytes() const OVR_REQUIRES(m_csFile);
    DWORD ReadFromFile(void* pBuffer, DWORD dwWanted) OVR_REQUIRES(m_csFile);
    void AppendToFile(const void* pBuffer, DWORD dwCount) OVR_REQUIRES(m_csFile);
    // Opens the request for the bytes from dwOffset on (a range request).
    void ConnectFrom(DWORD dwOffset) OVR_REQUIRES(m_csFile);
    void ConnectNow() OVR_REQUIRES(m_csFile);
    void ConnectLate() OVR_REQUIRES(m_csFile);
    // Closes the file and gives its lock back, once.
    void ReleaseFile() OVR_REQUIRES(m_csFile);

    mutable platform::CriticalSection m_csFile OVR_ACQUIRED_BEFORE(m_csInternet);
    std::string m_strCachePath;
    const std::shared_ptr<mcRadioCacheMgr> m_pCacheMgr;
    std::unique_ptr<mcCacheFileMgr> m_pCacheFile OVR_GUARDED_BY(m_csFile);
    CacheFileHeader m_Header OVR_GUARDED_BY(m_csFile);
    std::atomic<BOOL> m_bFoundInCache{FALSE};
    bool m_bFileExhausted OVR_GUARDED_BY(m_csFile) = false;
    const DWORD m_dwCacheSize;
    std::atomic<DWORD> m_dwBytesFed{0};
    const DWORD m_dwPreconnectBytes;
    mcRadioCacheMgr::LockHandle m_Lock OVR_GUARDED_BY(m_csFile) = 0;
    std::atomic<EConnectState> m_dwConnectState{CONNECT_NOW};
    DWORD m_dwCachedBytes OVR_GUARDED_BY(m_csFile) = 0;
    // The body bytes the file holds that are known to be the part's: what it held for
    // this feed plus what was appended since.
    DWORD m_dwFileBody OVR_GUARDED_BY(m_csFile) = 0;
    // A write failed (or the file could not be used): no more appends in this feed.
    bool m_bAppendStopped OVR_GUARDED_BY(m_csFile) = false;
};
