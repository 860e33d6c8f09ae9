// Whole tracks from ovradio-station through CTrackDownloader into a CTrackCache read by a
// test reader: refusals, the pause on the marks, the memory a long track holds, and aborts
// in every place a thread can wait. (Cuts, resets and the recovery limit are played
// through the stream manager, in DownloadFaultTest.)
#include "download/CacheDownloader.h"
#include "download/DownloadTestSupport.h"
#include "download/TrackCache.h"
#include "download/TrackDownloader.h"
#include "integration/StationTracks.h"
#include "integration/TrackCacheFixture.h"
#include "platform/Clock.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

using downloadtest::CCall;
using downloadtest::kLimitMs;
using downloadtest::ReadToEnd;
using downloadtest::StationSong;
using downloadtest::WaitUntil;

namespace
{
class TrackDownload : public integration::TrackCacheIntegration
{
protected:
    // The four tracks of the demo station's first sequence: 101 (160000 bytes), 102
    // (230417), 103 (120001), 104 (300000).
    std::vector<STrackInfo> DemoTracks()
    {
        std::vector<STrackInfo> tracks = integration::FirstTracksOf("demo", 4);
        for (std::size_t i = 0; i < tracks.size(); ++i)
            EXPECT_EQ(tracks[i].trackid, 101 + i);
        return tracks;
    }
};
} // namespace

TEST_F(TrackDownload, RefusalsAreDeniedWithAContentServerError)
{
    std::vector<STrackInfo> tracks = DemoTracks();
    station.Rules().AddRule("track 101 status 404");
    station.Rules().AddRule("track 102 status 206"); // a part, though no range was asked for
    for (const std::size_t i : {0u, 1u})
    {
        std::string strUrl;
        {
            CTrackCache cache(&tracks[i], 1048576, &owner);
            ASSERT_TRUE(cache.SetupForWrite());
            EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_DENIED));
            EXPECT_EQ(ReadToEnd(cache), "");
            ASSERT_NE(cache.GetDownloader(), nullptr);
            EXPECT_EQ(cache.GetDownloader()->GetSongSource()->GetHttpStatus(),
                      i == 0 ? 404u : 206u);
            strUrl = cache.GetDownloader()->GetUrl();
        } // the feeder has reported once the cache is gone
        const std::string events = Events();
        const std::string code = i == 0 ? "404" : "206";
        EXPECT_NE(events.find("\"name\":\"ContentServerError\",\"params\":{\"ErrorCode\":\""
                              "mcInternetCacheDownloader::InternetOpenAllHandles HttpSendRequest "
                              "has given failed-status code=" +
                              code + "\\n\",\"TrackName\":\"" + tracks[i].track + "\",\"URL\":\"" +
                              strUrl + "\""),
                  std::string::npos)
            << events;
    }
    // Each refusal ended its download once.
    EXPECT_EQ(owner.Completes(), 2);
}

TEST_F(TrackDownload, TheDownloadPausesAndResumesOnTheMarksOfASlowReader)
{
    std::vector<STrackInfo> tracks = DemoTracks();
    STrackInfo rec = tracks[3];
    rec.cachelow = 1;  // 16000 bytes at 128 kbit/s
    rec.cachehigh = 2; // 32000 bytes
    CTrackCache cache(&rec, 65536, &owner);
    ASSERT_TRUE(cache.SetupForWrite());
    std::string bytes;
    DWORD dwMostHeld = 0;
    char buffer[4096];
    int nAmples = 0;
    while (!cache.IsEndOfData())
    {
        // This reader reads only once the download has paused on the high mark, or ended.
        ASSERT_TRUE(WaitUntil([&] { return owner.Amples() > nAmples || cache.IsWriteDone(); }))
            << "the download neither paused nor ended after " << bytes.size() << " bytes";
        nAmples = owner.Amples();
        dwMostHeld = std::max(dwMostHeld, cache.GetCurrentSize());
        // Then it reads down past the low mark, which lets the download go on.
        const int nLows = owner.Lows();
        while (owner.Lows() == nLows && !cache.IsEndOfData())
        {
            const DWORD dwRead = cache.Read(buffer, sizeof buffer);
            bytes.append(buffer, dwRead);
            if (dwRead == 0)
                cache.WaitForData(200);
        }
    }
    EXPECT_TRUE(bytes == StationSong(104, 300000));
    EXPECT_GE(owner.Amples(), 5);
    EXPECT_GE(owner.Lows(), 5);
    // The mark is checked before each write of at most one chunk: the write below it and
    // the one that finds it reached.
    EXPECT_LT(dwMostHeld, cache.GetHighWater() + 2 * 8192);
    EXPECT_EQ(owner.Completes(), 1);
}

TEST_F(TrackDownload, AHundredMegabyteTrackNeverHoldsMoreThanItsTwoPipesMarks)
{
    constexpr DWORD kTrackSize = 100 * 1024 * 1024;
    station.Rules().AddRule("track 104 size " + std::to_string(kTrackSize));
    const std::vector<STrackInfo> tracks = DemoTracks();
    ASSERT_EQ(tracks[3].songsize, kTrackSize);
    // The header's marks: 5 s and 15 s at 128 kbit/s, 80000 and 240000 bytes.
    CTrackCache cache(&tracks[3], 1048576, &owner);
    ASSERT_TRUE(cache.SetupForWrite());
    mcCacheDownloader* source = cache.GetDownloader()->GetSongSource();

    std::size_t total = 0;
    std::size_t firstWrong = kTrackSize;
    DWORD dwMostInCache = 0;
    DWORD dwMostInSource = 0;
    int nAmples = 0;
    std::size_t nextLag = 0;
    char buffer[8192];
    auto lastProgress = std::chrono::steady_clock::now();
    while (!cache.IsEndOfData())
    {
        // Every 8 MiB the reader lags until the download has paused on its mark, so that
        // both pipes fill up to where the marks hold them.
        if (total >= nextLag && !cache.IsWriteDone())
        {
            ASSERT_TRUE(owner.WaitForAmples(nAmples + 1)) << "no pause after " << total;
            nAmples = owner.Amples();
            nextLag += 8 * 1024 * 1024;
        }
        dwMostInCache = std::max(dwMostInCache, cache.GetCurrentSize());
        dwMostInSource = std::max(dwMostInSource, source->GetPipeHeldBytes());
        const DWORD dwRead = cache.Read(buffer, sizeof buffer);
        if (dwRead == 0)
        {
            ASSERT_LT(std::chrono::steady_clock::now() - lastProgress,
                      std::chrono::milliseconds(kLimitMs))
                << "stalled after " << total;
            cache.WaitForData(200);
            continue;
        }
        lastProgress = std::chrono::steady_clock::now();
        for (DWORD i = 0; i < dwRead && firstWrong == kTrackSize; ++i)
            if (static_cast<uint8_t>(buffer[i]) !=
                downloadtest::StationByte(104 * 2, static_cast<uint32_t>(total + i)))
                firstWrong = total + i;
        total += dwRead;
    }
    EXPECT_EQ(total, kTrackSize);
    EXPECT_EQ(firstWrong, kTrackSize) << "the first wrong byte";
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_COMPLETE));
    EXPECT_GE(owner.Amples(), 12);
    // The cache: its mark plus the write below it and the one that found it reached, and
    // one more when the reader's resume, decided on the emptier cache it saw before, lands
    // just after that pause (the reader is not held up by the writer's notices).
    EXPECT_LT(dwMostInCache, cache.GetHighWater() + 3 * 8192);
    // The source's pipe: its mark plus the chunk that crossed it.
    EXPECT_LE(dwMostInSource, source->GetHighWater() + source->GetChunkSize());
}

// Each row leaves a track's threads waiting in one place, with a manual clock on which no
// limit passes, then aborts the download (or only destroys the cache): every call returns,
// what had come is a right prefix, no thread outlives its limit, and the server is blamed
// for nothing. Each row has a track of its own; "T" in a rule stands for its id.
TEST_F(TrackDownload, AnAbortReleasesEveryWaitOfADownload)
{
    platform::ManualClock clock; // no pause ends on its own: only the abort ends the waits
    uint32_t nHolds = 0;         // the station's holds so far
    struct SRow
    {
        const char* name;
        std::vector<std::string> rules;
        DWORD dwHighSeconds; // the high mark (the low one half of it); 0: the header's
        DWORD dwPipe;        // the track cache's size
        uint32_t nHolds;     // the requests the station holds before the row's wait is reached
        std::function<bool(CTrackCache&)> waiting; // the row's wait is reached
        bool bAbort;                               // abort; else only destroy the cache
    };
    const auto paused = [](CTrackCache& cache)
    { return cache.IsWritePaused() && cache.GetDownloader()->GetSongSource()->IsPaused(); };
    const auto held = [](CTrackCache&) { return true; };
    const SRow rows[] = {
        {"the feeder and the download paused on their marks, nobody reading",
         {},
         2,
         65536,
         0,
         paused,
         true},
        {"a setup whose send is held", {"track T delay 600000"}, 0, 1048576, 1, held, true},
        {"a resume whose request is held",
         {"track T delay 0 times 1", "track T delay 600000", "track T cut 5000 times 1"},
         0,
         1048576,
         2,
         held,
         true},
        {"a source that pauses before it tries again after a 503",
         {"track T cut 5000 times 1", "track T status 503 after 1"},
         0,
         1048576,
         0,
         [&](CTrackCache&) { return clock.WaitForTimedWaiters(2); },
         true},
        {"a read that stalls", {"track T hold 10000"}, 0, 1048576, 1, held, true},
        {"a download thread blocked on a full track cache, the owner letting it fill",
         {},
         1,
         16384,
         0,
         [](CTrackCache& cache) { return cache.GetCurrentSize() == 16384; },
         true},
        {"a destructor while the server stalls, without an abort",
         {"track T hold 20000"},
         0,
         1048576,
         1,
         held,
         false},
    };
    std::string ids;
    for (std::size_t i = 0; i < std::size(rows); ++i)
    {
        const std::string id = std::to_string(901 + i);
        ids += (i == 0 ? "" : ",") + id;
        for (std::string rule : rows[i].rules)
        {
            const std::size_t at = rule.find(" T ");
            station.Rules().AddRule(rule.substr(0, at) + " " + id + rule.substr(at + 2));
        }
    }
    station.Rules().AddRule("station aborts tracks " + ids);
    station.Rules().AddRule("station aborts size 300000");
    const std::vector<STrackInfo> tracks = integration::FirstTracksOf("aborts", std::size(rows));
    for (std::size_t i = 0; i < std::size(rows); ++i)
    {
        const SRow& row = rows[i];
        SCOPED_TRACE(row.name);
        STrackInfo rec = tracks[i];
        if (row.dwHighSeconds != 0)
        {
            rec.cachehigh = row.dwHighSeconds;
            rec.cachelow = row.dwHighSeconds / 2;
        }
        owner.bPauseOnAmple = row.dwPipe != 16384;
        auto cache = std::make_unique<CTrackCache>(&rec, row.dwPipe, &owner);
        BOOL bSetUp = FALSE;
        {
            CCall setup([&] { bSetUp = cache->SetupForWrite(); });
            nHolds += row.nHolds;
            ASSERT_TRUE(station.WaitForHolds(nHolds)) << "the station never held a request";
            ASSERT_TRUE(WaitUntil([&] { return setup.IsDone() || row.nHolds != 0; }));
            ASSERT_TRUE(WaitUntil([&] { return row.waiting(*cache); })) << "the wait never came";
            if (row.bAbort)
                CCall([&] { EXPECT_TRUE(cache->AbortWrite()); }).ExpectDone("AbortWrite");
            setup.ExpectDone("SetupForWrite");
        }
        EXPECT_TRUE(bSetUp);
        if (row.bAbort)
        {
            EXPECT_EQ(cache->GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
            // The download thread ends on the abort alone, before any destructor waits for it.
            EXPECT_TRUE(WaitUntil(
                [&] { return trace.HasLineContaining("Content length on " + rec.track); }))
                << "the download thread did not end";
            std::string bytes;
            CCall([&] { bytes = ReadToEnd(*cache); }).ExpectDone("the reader");
            EXPECT_TRUE(bytes == StationSong(rec.trackid, rec.songsize).substr(0, bytes.size()));
        }
        CCall([&] { cache.reset(); }).ExpectDone("the cache's destructor");
    }
    // A request cancelled by the abort, or a 503 under way, is no failure of the server.
    EXPECT_EQ(owner.Completes(), 0);
    EXPECT_EQ(Events().find("ContentServerError"), std::string::npos);
    ExpectNoThreadOutlivedItsLimit();
}
