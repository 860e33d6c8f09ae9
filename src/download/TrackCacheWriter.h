// Moves bytes from a track's content sources into its track cache, one pass per Pump.
// The track's download thread creates one per run and is its only user.
#pragma once

#include "platform/Types.h"

class CTrackCache;

// What a pass found; once a source was aborted or failed, the thread stops pumping.
enum EPumpState : DWORD
{
    ePumpGoOn = 0,
    ePumpSourceAborted = 3,
    ePumpSourceFailed = 4,
};

class CTrackCacheWriter
{
public:
    explicit CTrackCacheWriter(CTrackCache* pTrackCache) : m_pTrackCache(pTrackCache) {}
    virtual ~CTrackCacheWriter() = default;
    CTrackCacheWriter(const CTrackCacheWriter&) = delete;
    CTrackCacheWriter& operator=(const CTrackCacheWriter&) = delete;

    // Every source has delivered its last byte.
    virtual BOOL IsDone() = 0;
    // One pass: reads from the sources (waiting at most their empty-pipe limit) and writes
    // what came into the track cache (blocking while it is full).
    virtual EPumpState Pump(EPumpState eState) = 0;

    // Bytes handed to the track cache so far.
    DWORD GetBytesCopied() const { return m_dwBytesCopied; }

protected:
    // Nothing once the cache's download is aborted; otherwise the cache's Write.
    DWORD WriteToCache(const void* pBuffer, DWORD dwCount);

    DWORD m_dwBytesCopied = 0;
    CTrackCache* const m_pTrackCache;
};
