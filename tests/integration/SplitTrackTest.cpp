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

#include <algorithm>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using downloadtest::CCall;
using downloadtest::ReadToEnd;
using downloadtest::StationCachePart;
using downloadtest::StationSong;
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

TEST(SplitInterleaveModel, PlacesWholeRoundsThenTheRest)
{
    EXPECT_EQ(integration::Interleaved("ab", 1, "123456", 3), "a123b456");
    EXPECT_EQ(integration::Interleaved("abcdefgh", 3, "12345", 5), "abc12345defgh");
    EXPECT_EQ(integration::Interleaved("abcdef", 1, "12", 3), "a12bcdef");
    EXPECT_EQ(integration::Interleaved("ab", 0, "12", 1), "12ab");
}

TEST_F(SplitTrack, WeightsOneToThreeAndThreeToFiveInterleaveByteWise)
{
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    for (const std::size_t i : {0u, 2u})
    {
        const STrackInfo& rec = tracks[i];
        SCOPED_TRACE("track " + std::to_string(rec.trackid));
        ASSERT_EQ(rec.songsize, rec.cachesize + rec.songpartsize);
        EXPECT_TRUE(Download(rec) == Expected(rec));
    }
    EXPECT_EQ(tracks[0].splitcache, 1u);
    EXPECT_EQ(tracks[0].splitsong, 3u);
    EXPECT_EQ(tracks[2].splitcache, 3u);
    EXPECT_EQ(tracks[2].splitsong, 5u);
    EXPECT_EQ(owner.Completes(), 2);
    EXPECT_EQ(RequestsFor("/content/301/cache.mp3"), 1u);
    EXPECT_EQ(RequestsFor("/content/303/song.mp3"), 1u);
}

TEST_F(SplitTrack, EachPartsMarksAndPipeAreItsShareOfTheCaches)
{
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    CTrackCache cache(&tracks[0], 1048576, &owner); // weights 1:3
    ASSERT_TRUE(cache.SetupForWrite());
    // The header's marks at 128 kbit/s: 5 s and 15 s, 80000 and 240000 bytes.
    ASSERT_EQ(cache.GetLowWater(), 80000u);
    ASSERT_EQ(cache.GetHighWater(), 240000u);
    const mcCacheDownloader* part = cache.GetDownloader()->GetCacheSource();
    const mcCacheDownloader* song = cache.GetDownloader()->GetSongSource();
    EXPECT_EQ(part->GetLowWater(), 20000u);
    EXPECT_EQ(part->GetHighWater(), 60000u);
    EXPECT_EQ(part->GetPipeCapacity(), 262144u + 8192u);
    EXPECT_EQ(song->GetLowWater(), 60000u);
    EXPECT_EQ(song->GetHighWater(), 180000u);
    EXPECT_EQ(song->GetPipeCapacity(), 786432u + 8192u);
    EXPECT_TRUE(ReadToEnd(cache) == Expected(tracks[0]));
}

TEST_F(SplitTrack, APartThatEndsFirstLeavesTheRestToTheOther)
{
    station.Rules().AddRule("track 301/cache size 10000"); // 1:3, the cache part ends first
    station.Rules().AddRule("track 303/song size 20000");  // 3:5, the song part ends first
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    ASSERT_EQ(tracks[0].cachesize, 10000u);
    ASSERT_GT(tracks[0].songpartsize, 3 * 10000u);
    ASSERT_EQ(tracks[2].songpartsize, 20000u);
    ASSERT_GT(tracks[2].cachesize * 5, 3 * 20000u);
    for (const std::size_t i : {0u, 2u})
    {
        SCOPED_TRACE("track " + std::to_string(tracks[i].trackid));
        EXPECT_TRUE(Download(tracks[i]) == Expected(tracks[i]));
    }
}

TEST_F(SplitTrack, APartOfWeightZeroFollowsTheOther)
{
    station.Rules().AddRule("track 302 field splitcache=0");
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    ASSERT_EQ(tracks[1].splitcache, 0u);
    EXPECT_TRUE(Download(tracks[1]) == StationSong(302, tracks[1].songpartsize) +
                                           StationCachePart(302, tracks[1].cachesize));
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
