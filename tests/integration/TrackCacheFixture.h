// What the tests of track caches against ovradio-station share: the station fixture with
// an owner for the caches that counts their notifications, a track downloaded through a
// cache and read to its end, and a disk cache that the caches' parts go through.
#pragma once

#include "cache/CacheTestSupport.h"
#include "cache/RadioCacheMgr.h"
#include "download/DownloadTestSupport.h"
#include "download/FileInternetCacheDownloader.h"
#include "download/TrackCache.h"
#include "download/TrackDownloader.h"
#include "integration/StationFixture.h"
#include "sequence/TrackInfo.h"
#include "support/Wait.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>

namespace integration
{
class TrackCacheIntegration : public StationIntegration
{
protected:
    // Downloads the track through a cache read on this thread; the bytes.
    std::string Download(const STrackInfo& rec, DWORD dwPipeSize = 1048576)
    {
        CTrackCache cache(&rec, dwPipeSize, &owner);
        EXPECT_TRUE(cache.SetupForWrite());
        std::string bytes = downloadtest::ReadToEnd(cache);
        EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_COMPLETE));
        return bytes;
    }

    void ExpectNoThreadOutlivedItsLimit() { EXPECT_FALSE(trace.HasLineContaining("still alive")); }

    downloadtest::CTestOwner owner;
};

// Split tracks whose cache part goes through a disk cache in the home folder: 100 MB at
// most with 10 MB to spare, on a disk that has 1000 MB free until a test says otherwise.
class DiskCacheIntegration : public TrackCacheIntegration
{
protected:
    void SetUp() override
    {
        StationIntegration::SetUp();
        m_strFolder = home.File("cache") + "/";
        m_pCacheMgr = std::make_shared<mcRadioCacheMgr>(
            [passes = m_pPasses]
            {
                std::lock_guard lock(passes->mutex);
                ++passes->nEnded;
                passes->changed.notify_all();
            });
        m_pCacheMgr->Init();
        Configure(m_strFolder, true);
        owner.pCacheMgr = m_pCacheMgr;
    }
    void TearDown() override
    {
        owner.pCacheMgr.reset();
        testsupport::Within("the cache manager's UnInit", [this] { m_pCacheMgr->UnInit(); });
        m_pCacheMgr.reset();
        StationIntegration::TearDown();
    }

    void Configure(const std::string& strFolder, bool bEnabled)
    {
        CacheSettings settings = m_pCacheMgr->GetSettings();
        settings.strLocation = strFolder;
        settings.dMaxSize = 100 * cachetest::kMB;
        settings.dSafetyMargin = 10 * cachetest::kMB;
        settings.bEnabled = bEnabled;
        m_pCacheMgr->SetSettings(settings);
    }

    std::string PathOf(const STrackInfo& rec) const { return m_strFolder + rec.cacheid + ".DAT"; }

    // Plays the track; the connection state its cache source ended in.
    EConnectState Play(const STrackInfo& rec, std::string& bytes, DWORD dwPipeSize = 1048576)
    {
        CTrackCache cache(&rec, dwPipeSize, &owner);
        EXPECT_TRUE(cache.SetupForWrite());
        bytes = downloadtest::ReadToEnd(cache);
        EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_COMPLETE));
        const auto* source =
            dynamic_cast<mcFileInternetCacheDownloader*>(cache.GetDownloader()->GetCacheSource());
        EXPECT_NE(source, nullptr) << "the cache part did not come through the disk cache";
        return source ? source->GetConnectState() : CONNECT_NOW;
    }

    // Waits until n size-management passes in all have ended.
    bool WaitForPasses(int n)
    {
        std::unique_lock lock(m_pPasses->mutex);
        return m_pPasses->changed.wait_for(lock, std::chrono::milliseconds(downloadtest::kLimitMs),
                                           [&] { return m_pPasses->nEnded >= n; });
    }

    struct SPasses
    {
        std::mutex mutex;
        std::condition_variable changed;
        int nEnded = 0;
    };
    const std::shared_ptr<SPasses> m_pPasses = std::make_shared<SPasses>();

    cachetest::FreeSpace free{1000 * cachetest::kMB};
    std::string m_strFolder;
    std::shared_ptr<mcRadioCacheMgr> m_pCacheMgr;
};
} // namespace integration
