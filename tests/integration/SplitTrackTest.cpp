// Split tracks from ovradio-station's `split` station through CTrackDownloader into a
// CTrackCache: the byte-wise interleave of the two parts by their weights (the expected
// order computed here round by round), parts that end at different times, weights that
// cannot interleave, a pause that meets a pass, and aborts while both parts stall.
#include "download/CacheDownloader.h"
#include "download/DownloadTestSupport.h"
#include "download/TrackCache.h"
#include "download/TrackDownloader.h"
#include "integration/StationTracks.h"
#include "integration/TrackCacheFixture.h"
#include "platform/Clock.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using downloadtest::CCall;
using downloadtest::ReadToEnd;
using downloadtest::WaitUntil;

namespace
{
class SplitTrack : public integration::TrackCacheIntegration
{
protected:
    static std::string Expected(const STrackInfo& rec)
    {
        return integration::ExpectedSplitTrack(rec);
    }

    std::size_t RequestsFor(const std::string& prefix)
    {
        std::size_t n = 0;
        for (const station::RequestRecord& record : station.Requests())
            if (record.target.rfind(prefix, 0) == 0)
                ++n;
        return n;
    }
};
} // namespace

// Each row changes the split station's first sequence and plays one of its tracks: the
// bytes come in the order the weights give, round by round, and once one part is used up
// the rest of the other follows.
TEST_F(SplitTrack, ThePartsInterleaveByteWiseByTheirWeights)
{
    struct SRow
    {
        const char* name;
        const char* pszRule;
        std::size_t nTrack; // of the three: 301 (weights 1:3), 302 (1:1), 303 (3:5)
    };
    const SRow rows[] = {
        {"1:3, the cache part ends first", "track 301/cache size 10000", 0},
        {"3:5, the song part ends first", "track 303/song size 20000", 2},
        {"a part of weight 0 follows the other", "track 302 field splitcache=0", 1},
    };
    for (const SRow& row : rows)
        station.Rules().AddRule(row.pszRule);
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    ASSERT_GT(tracks[0].songpartsize, 3 * tracks[0].cachesize);
    ASSERT_GT(tracks[2].cachesize * 5, 3 * tracks[2].songpartsize);
    ASSERT_EQ(tracks[1].splitcache, 0u);
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        const STrackInfo& rec = tracks[row.nTrack];
        ASSERT_EQ(rec.songsize, rec.cachesize + rec.songpartsize);
        EXPECT_TRUE(Download(rec) == Expected(rec));
        EXPECT_EQ(RequestsFor("/content/" + std::to_string(rec.trackid) + "/cache.mp3"), 1u);
    }
    EXPECT_EQ(owner.Completes(), 3);
}

TEST_F(SplitTrack, WeightsThatCannotInterleaveAbortTheTrackWithoutARequest)
{
    // Both 0: no interleave at all; 1:20000: one round of it is longer than a pass.
    station.Rules().AddRule("track 302 field splitcache=0");
    station.Rules().AddRule("track 302 field splitsong=0");
    station.Rules().AddRule("track 301 field splitsong=20000");
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    for (const std::size_t i : {1u, 0u})
    {
        SCOPED_TRACE("track " + std::to_string(tracks[i].trackid));
        {
            CTrackCache cache(&tracks[i], 1048576, &owner);
            ASSERT_TRUE(cache.SetupForWrite());
            ASSERT_NE(cache.GetDownloader(), nullptr);
            EXPECT_TRUE(testsupport::Signalled(*cache.GetDownloader()->FinishedEvent(),
                                               "the end of the download"));
            EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
            EXPECT_EQ(cache.GetDownloader()->GetSongSource(), nullptr);
            EXPECT_EQ(cache.GetDownloader()->GetCacheSource(), nullptr);
            EXPECT_EQ(ReadToEnd(cache), "");
        }
        const std::string weights =
            std::to_string(tracks[i].splitcache) + ":" + std::to_string(tracks[i].splitsong);
        EXPECT_TRUE(trace.HasLineContaining("split weights " + weights + " cannot interleave"));
        EXPECT_EQ(RequestsFor("/content/" + std::to_string(tracks[i].trackid) + "/"), 0u);
    }
    EXPECT_EQ(owner.Completes(), 0);
    // The next track is not held up by them.
    EXPECT_TRUE(Download(tracks[2]) == Expected(tracks[2]));
}

TEST_F(SplitTrack, APauseDuringAPassLetsThePassBeWrittenAndAnAbortEndsTheWait)
{
    platform::ManualClock clock; // no limit passes: only the test's steps move the track
    station.Rules().AddRule("track 301/song hold 5000");
    owner.bStartOnLow = false; // the test's own read must not resume the download
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    auto cache = std::make_unique<CTrackCache>(&tracks[0], 1048576, &owner);
    ASSERT_TRUE(cache->SetupForWrite());
    mcCacheDownloader* cachePart = cache->GetDownloader()->GetCacheSource();
    ASSERT_TRUE(station.WaitForHolds(1)) << "the station never held the song part";
    // The first pass has taken its share of the cache part and waits for the song part's.
    ASSERT_TRUE(WaitUntil([&] { return cachePart->GetBytesReadFromPipe() == 4096; }))
        << "the pass never read the cache part";
    EXPECT_EQ(cache->GetBytesWritten(), 0u);
    EXPECT_TRUE(cache->PauseWrite());
    station.ReleaseHeld();
    // The pass is finished and written: 4096 bytes of the cache part and 12288 of the song.
    ASSERT_TRUE(WaitUntil([&] { return cache->GetBytesWritten() == 16384; }))
        << "the pass under way was not written; " << cache->GetBytesWritten() << " bytes";
    const std::string expected = Expected(tracks[0]);
    std::string bytes(16384, '\0');
    EXPECT_EQ(cache->Read(bytes.data(), 16384), 16384u);
    EXPECT_TRUE(bytes == expected.substr(0, 16384));
    // The thread waits in the pause; the abort releases it, and the track is not complete.
    CCall([&] { EXPECT_TRUE(cache->AbortWrite()); }).ExpectDone("AbortWrite");
    EXPECT_TRUE(WaitUntil(
        [&]
        { return trace.HasLineContaining("Content length on " + tracks[0].track + " = 16384"); }))
        << "the download thread did not end after the one pass";
    EXPECT_EQ(cache->GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
    EXPECT_FALSE(trace.HasLineContaining("TrackDonwloader completed normally"));
    CCall([&] { cache.reset(); }).ExpectDone("the cache's destructor");
    EXPECT_EQ(owner.Completes(), 0);
    ExpectNoThreadOutlivedItsLimit();
}

TEST_F(SplitTrack, AnAbortWhileBothPartsStallReturns)
{
    platform::ManualClock clock;
    station.Rules().AddRule("track 303 hold 3000"); // both parts stall after 3000 bytes
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    auto cache = std::make_unique<CTrackCache>(&tracks[2], 1048576, &owner);
    ASSERT_TRUE(cache->SetupForWrite());
    ASSERT_TRUE(station.WaitForHolds(2)) << "the station did not hold both parts";
    CCall([&] { EXPECT_TRUE(cache->AbortWrite()); }).ExpectDone("AbortWrite");
    EXPECT_EQ(cache->GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
    std::string bytes;
    CCall([&] { bytes = ReadToEnd(*cache); }).ExpectDone("the reader");
    EXPECT_TRUE(bytes == Expected(tracks[2]).substr(0, bytes.size()));
    CCall([&] { cache.reset(); }).ExpectDone("the cache's destructor");
    EXPECT_EQ(owner.Completes(), 0);
    EXPECT_EQ(Events().find("ContentServerError"), std::string::npos);
    ExpectNoThreadOutlivedItsLimit();
}
