// What the tests of track caches against ovradio-station share: the station fixture with
// an owner for the caches that counts their notifications, and a track downloaded through
// a cache and read to its end.
#pragma once

#include "download/DownloadTestSupport.h"
#include "download/TrackCache.h"
#include "integration/StationFixture.h"
#include "sequence/TrackInfo.h"

#include <gtest/gtest.h>
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
} // namespace integration
