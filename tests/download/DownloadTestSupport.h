// What the tests of track downloads share: an owner of track caches that behaves towards
// its caches as the stream manager does (pauses one that is ample, lets one that runs low
// write) and records the notifications; a reader that takes a track to its end; bounded
// waits; and the station's synthesised content.
#pragma once

#include "download/TrackCache.h"
#include "download/TrackCacheOwner.h"
#include "platform/Types.h"
#include "sequence/ConnectionRateMeter.h"
#include "support/StationContent.h"
#include "support/Wait.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace downloadtest
{
// Real-time limit of every wait of these tests, the one all tests share.
inline constexpr DWORD kLimitMs = testsupport::kWaitLimitMs;

// Waits, on real time, until done() holds, looking every millisecond; false after the limit.
inline bool WaitUntil(const std::function<bool()>& done, DWORD dwLimitMs = kLimitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwLimitMs);
    while (!done())
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Runs a call on a thread of its own, so that the test waits for it on real time (the
// platform clock may be a manual one that never moves on its own).
class CCall
{
public:
    explicit CCall(std::function<void()> call)
        : m_future(std::async(std::launch::async, std::move(call)))
    {
    }
    ~CCall()
    {
        if (m_future.valid())
            ExpectDone("a call");
    }
    CCall(const CCall&) = delete;
    CCall& operator=(const CCall&) = delete;

    bool IsDone() const
    {
        return m_future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    // Fails the test and ends the program when the call has not returned within the
    // limit: the call still uses objects that the test would destroy.
    void ExpectDone(const char* pszWhat)
    {
        if (m_future.wait_for(std::chrono::milliseconds(kLimitMs)) != std::future_status::ready)
            testsupport::FailAndEnd(pszWhat, kLimitMs, {__builtin_FILE(), __builtin_LINE()});
        m_future.get();
    }

private:
    std::future<void> m_future;
};

class CTestOwner : public CTrackCacheOwner
{
public:
    CTestOwner() { m_pMeter->SetWindow(3600.0); }

    // As the stream manager: pause an ample cache, let a cache that runs low write.
    bool bPauseOnAmple = true;
    bool bStartOnLow = true;
    // Called at the end of each notification of a completed download.
    std::function<void(CTrackCache*)> onComplete;
    // The persistent cache the sources get; none by default (no part comes from disk).
    std::shared_ptr<mcRadioCacheMgr> pCacheMgr;

    // Each is counted once its answer has been given, so a test that waits for the count
    // finds the download paused or going on.
    BOOL NotifyCacheLow(CTrackCache* pCache) override
    {
        const BOOL bResult = bStartOnLow ? pCache->StartWrite() : TRUE;
        Count(m_nLows);
        return bResult;
    }
    BOOL NotifyCacheAmple(CTrackCache* pCache) override
    {
        const BOOL bResult = bPauseOnAmple ? pCache->PauseWrite() : TRUE;
        Count(m_nAmples);
        return bResult;
    }
    void NotifyCacheWriteComplete(CTrackCache* pCache) override
    {
        if (onComplete)
            onComplete(pCache);
        Count(m_nCompletes);
    }
    std::shared_ptr<CConnectionRateMeter> GetRateMeter() override { return m_pMeter; }
    std::shared_ptr<mcRadioCacheMgr> GetRadioCacheMgr() override { return pCacheMgr; }

    int Lows() const { return Read(m_nLows); }
    int Amples() const { return Read(m_nAmples); }
    int Completes() const { return Read(m_nCompletes); }
    CConnectionRateMeter& Meter() { return *m_pMeter; }

    // Waits until the count has passed n; false after the limit.
    bool WaitForAmples(int n, DWORD dwLimitMs = kLimitMs)
    {
        return WaitCount(m_nAmples, n, dwLimitMs);
    }

private:
    void Count(int& n)
    {
        std::lock_guard lock(m_mutex);
        ++n;
        m_changed.notify_all();
    }
    int Read(const int& n) const
    {
        std::lock_guard lock(m_mutex);
        return n;
    }
    bool WaitCount(const int& counter, int n, DWORD dwLimitMs)
    {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(dwLimitMs),
                                  [&] { return counter >= n; });
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_nLows = 0;
    int m_nAmples = 0;
    int m_nCompletes = 0;
    std::shared_ptr<CConnectionRateMeter> m_pMeter = std::make_shared<CConnectionRateMeter>();
};

// Reads the cache until its end on this thread. Fails the test when neither a byte nor the
// end comes for the limit (real time); the bytes read so far then.
inline std::string ReadToEnd(CTrackCache& cache, DWORD dwStallLimitMs = kLimitMs)
{
    std::string bytes;
    char buffer[8192];
    auto lastProgress = std::chrono::steady_clock::now();
    while (true)
    {
        const DWORD dwRead = cache.Read(buffer, sizeof buffer);
        if (dwRead > 0)
        {
            bytes.append(buffer, dwRead);
            lastProgress = std::chrono::steady_clock::now();
            continue;
        }
        if (cache.IsEndOfData())
            return bytes;
        if (std::chrono::steady_clock::now() - lastProgress >
            std::chrono::milliseconds(dwStallLimitMs))
        {
            ADD_FAILURE() << "the track stalled after " << bytes.size() << " bytes";
            return bytes;
        }
        cache.WaitForData(200);
    }
}

// The station's synthesised content, from its published pattern.
using testsupport::StationByte;
using testsupport::StationCachePart;
using testsupport::StationSong;

// A record whose marks come out as the given byte counts at 8 kbit/s (1000 bytes a second).
inline STrackInfo RecordWithMarks(DWORD dwLowBytes, DWORD dwHighBytes)
{
    STrackInfo rec;
    rec.track = "test track";
    rec.songbr = 8;
    rec.cachelow = dwLowBytes / 1000;
    rec.cachehigh = dwHighBytes / 1000;
    rec.retry = 30;
    return rec;
}
} // namespace downloadtest
