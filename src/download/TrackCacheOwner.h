// What a track cache and its content sources need from the one who owns the cache: the
// three notifications of the cache's buffer and download, and the engine-wide services
// that the sources use. The stream manager implements it; tests use owners of their own.
//
// Threads: the notifications come from the track's download thread, a source's feeder
// thread (a failure ends the download) and the player's reading thread (NotifyCacheLow
// from inside CTrackCache::Read). The cache and its sources hold none of their own locks
// while they call, so an implementation may call back into the cache (StartWrite,
// PauseWrite) and take its own locks. It must not destroy the calling cache from inside a
// notification: the cache's destructor waits for the very thread that is calling.
// The services are handed out as shared ownership: a source keeps what it was given for as
// long as it runs, so it never touches a meter or cache manager that its owner has let go.
#pragma once

#include "platform/Types.h"

#include <memory>

class CTrackCache;
class CConnectionRateMeter;
class mcRadioCacheMgr;

class CTrackCacheOwner
{
public:
    // The buffer runs low while it is read: the owner normally lets the cache that should
    // be written download (StartWrite).
    virtual BOOL NotifyCacheLow(CTrackCache* pCache) = 0;
    // The buffer holds its high-water mark: the owner normally pauses this cache's download
    // (PauseWrite) and looks for another cache that needs writing.
    virtual BOOL NotifyCacheAmple(CTrackCache* pCache) = 0;
    // The cache's download has ended, normally or by a failure after the server had
    // answered; called once per end.
    virtual void NotifyCacheWriteComplete(CTrackCache* pCache) = 0;

    // The meter that every network read of a content source feeds; may be null.
    virtual std::shared_ptr<CConnectionRateMeter> GetRateMeter() = 0;
    // The persistent cache of track parts; may be null (then no part comes from disk).
    virtual std::shared_ptr<mcRadioCacheMgr> GetRadioCacheMgr() = 0;

protected:
    ~CTrackCacheOwner() = default;
};
