// Whole tracks from ovradio-station through CTrackDownloader into a CTrackCache read by a
// test reader: byte-exact delivery, resumes after cuts and resets, the recovery limits,
// refusals, the pause on the marks, and aborts in every place a thread can wait.
#include "download/DownloadTestSupport.h"
#include "download/InternetCacheDownloader.h"
#include "download/TrackCache.h"
#include "download/TrackDownloader.h"
#include "host/UserId.h"
#include "integration/StationTracks.h"
#include "integration/TrackCacheFixture.h"
#include "platform/Clock.h"
#include "platform/HttpUrl.h"
#include "sequence/RadioSequenceMgr.h"
#include "support/ContentSigning.h"
#include "support/SequenceWait.h"

#include <algorithm>
#include <chrono>
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

    // The content requests for a track, in the order the station answered them.
    std::vector<station::RequestRecord> ContentRequests(DWORD dwTrackId, std::size_t n)
    {
        return integration::RequestsTo(station, "/content/" + std::to_string(dwTrackId) + "/", n);
    }

    static std::size_t Count(const std::string& text, const std::string& what)
    {
        std::size_t n = 0;
        for (std::size_t at = text.find(what); at != std::string::npos;
             at = text.find(what, at + 1))
            ++n;
        return n;
    }
};
} // namespace

TEST_F(TrackDownload, AWholeTrackArrivesByteExactWithOneMeterSamplePerNetworkRead)
{
    const std::vector<STrackInfo> tracks = DemoTracks();
    EXPECT_TRUE(Download(tracks[0]) == StationSong(101, 160000));
    EXPECT_EQ(owner.Completes(), 1);
    // 19 full chunks, the rest, and the read that finds the end.
    std::vector<DWORD> expected(19, 8192);
    expected.push_back(160000 - 19 * 8192);
    expected.push_back(0);
    EXPECT_EQ(owner.Meter().GetSampleBytes(), expected);

    const auto requests = ContentRequests(101, 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].status, 200);
    platform::http::UrlParts signedUrl;
    ASSERT_TRUE(
        platform::http::CrackUrl(testsupport::Sign(tracks[0].songurl, GetUserId()), signedUrl));
    EXPECT_EQ(requests[0].target, signedUrl.strPathWithQuery);
    EXPECT_EQ(integration::HeaderOf(requests[0], "User-Agent"),
              mcInternetCacheDownloader::AgentText());
    EXPECT_EQ(mcInternetCacheDownloader::AgentText().rfind("Orvale Deck ", 0), 0u);
    EXPECT_NE(mcInternetCacheDownloader::AgentText().find(" (OS version)"), std::string::npos);
    EXPECT_EQ(integration::HeaderOf(requests[0], "Range"), "<none>");
    EXPECT_EQ(Events().find("TrackTruncated"), std::string::npos);
}

TEST_F(TrackDownload, CutAnswersAreResumedFromTheByteWhereTheyStopped)
{
    const std::vector<STrackInfo> tracks = DemoTracks();
    // At the first byte, within the first chunk, further on, before the last byte.
    const std::vector<DWORD> offsets = {0, 1000, 50000, tracks[3].songsize - 1};
    for (std::size_t i = 0; i < tracks.size(); ++i)
        station.Rules().AddRule("track " + std::to_string(tracks[i].trackid) + " cut " +
                                std::to_string(offsets[i]) + " times 1");
    for (std::size_t i = 0; i < tracks.size(); ++i)
    {
        SCOPED_TRACE("track " + std::to_string(tracks[i].trackid));
        EXPECT_TRUE(Download(tracks[i]) == StationSong(tracks[i].trackid, tracks[i].songsize));
        const auto requests = ContentRequests(tracks[i].trackid, 2);
        ASSERT_EQ(requests.size(), 2u);
        const std::string offset = std::to_string(offsets[i]);
        const std::string& resumed = requests[1].target;
        const std::size_t xrange = resumed.find("&X-Range=" + offset + "-&RETRY=");
        ASSERT_NE(xrange, std::string::npos) << resumed;
        const std::string token = resumed.substr(resumed.find("&RETRY=") + 7);
        EXPECT_EQ(token.size(), 7u);
        EXPECT_EQ(token.find_first_not_of("0123456789ABCDEF"), std::string::npos) << token;
        EXPECT_EQ(resumed.substr(0, xrange), requests[0].target);
        EXPECT_EQ(requests[1].status, 206) << requests[1].note;
        EXPECT_EQ(integration::HeaderOf(requests[1], "Range"), "bytes=" + offset + "-");
    }
    const std::string events = Events();
    EXPECT_EQ(Count(events, "\"name\":\"AttemptErrorRecovery\""), 4u);
    EXPECT_EQ(Count(events, "\"NumberOfAttempts\":1}"), 4u);
    EXPECT_EQ(events.find("TrackTruncated"), std::string::npos);
}

TEST_F(TrackDownload, ResetConnectionsAreResumedFromTheByteWhereTheyBroke)
{
    const std::vector<STrackInfo> tracks = DemoTracks();
    const std::vector<DWORD> offsets = {0, 1000, 50000, tracks[3].songsize - 1};
    for (std::size_t i = 0; i < tracks.size(); ++i)
        station.Rules().AddRule("track " + std::to_string(tracks[i].trackid) + " reset " +
                                std::to_string(offsets[i]) + " times 1");
    for (std::size_t i = 0; i < tracks.size(); ++i)
    {
        SCOPED_TRACE("track " + std::to_string(tracks[i].trackid));
        EXPECT_TRUE(Download(tracks[i]) == StationSong(tracks[i].trackid, tracks[i].songsize));
        const auto requests = ContentRequests(tracks[i].trackid, 2);
        ASSERT_EQ(requests.size(), 2u);
        const std::string offset = std::to_string(offsets[i]);
        EXPECT_NE(requests[1].target.find("&X-Range=" + offset + "-&RETRY="), std::string::npos)
            << requests[1].target;
        EXPECT_EQ(requests[1].status, 206) << requests[1].note;
        EXPECT_EQ(integration::HeaderOf(requests[1], "Range"), "bytes=" + offset + "-");
    }
    EXPECT_EQ(Count(Events(), "\"NumberOfAttempts\":1}"), 4u);
}

TEST_F(TrackDownload, EveryFormOfTheMagicValueIsServedAndResumed)
{
    station.Rules().AddRule("track 101 magic none");
    station.Rules().AddRule("track 102 magic single");
    station.Rules().AddRule("track 103 magic long");
    for (const char* track : {"101", "102", "103"})
        station.Rules().AddRule(std::string("track ") + track + " cut 5000 times 1");
    const std::vector<STrackInfo> tracks = DemoTracks();
    EXPECT_EQ(tracks[0].songurl.find("MAGIC="), std::string::npos);
    for (std::size_t i = 0; i < 3; ++i)
    {
        SCOPED_TRACE(tracks[i].songurl);
        EXPECT_TRUE(Download(tracks[i]) == StationSong(tracks[i].trackid, tracks[i].songsize));
        const auto requests = ContentRequests(tracks[i].trackid, 2);
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].status, 200) << requests[0].note;
        EXPECT_EQ(requests[1].status, 206) << requests[1].note;
    }
    // Without MAGIC= the resume carries an empty token, which ends the address.
    const std::string resumed = ContentRequests(101, 2)[1].target;
    EXPECT_EQ(resumed.substr(resumed.find("&X-Range=")), "&X-Range=5000-&RETRY=");
}

TEST_F(TrackDownload, ARetryLimitOfZeroNeverRecoversAndOnlyAShortEndIsTruncated)
{
    station.Rules().AddRule("sequence field retry=0");
    std::vector<STrackInfo> tracks = DemoTracks();
    for (const STrackInfo& rec : tracks)
        ASSERT_EQ(rec.retry, 0u);
    station.Rules().AddRule("track 103 cut 5000 times 1");
    station.Rules().AddRule("track 101 cut 159999 times 1"); // one byte short
    station.Rules().AddRule("track 104 cut 300000 times 1"); // no byte short
    EXPECT_TRUE(Download(tracks[2]) == StationSong(103, 120001).substr(0, 5000));
    EXPECT_TRUE(Download(tracks[0]) == StationSong(101, 160000).substr(0, 159999));
    EXPECT_TRUE(Download(tracks[3]) == StationSong(104, 300000));
    for (const DWORD dwTrackId : {101u, 103u, 104u})
        EXPECT_EQ(ContentRequests(dwTrackId, 1).size(), 1u) << dwTrackId;
    const std::string events = Events();
    EXPECT_EQ(Count(events, "\"name\":\"TrackTruncated\""), 2u) << events;
    EXPECT_NE(events.find("\"SongLength\":160000.0,\"BytesRead\":159999.0"), std::string::npos);
    EXPECT_NE(events.find("\"SongLength\":120001.0,\"BytesRead\":5000.0"), std::string::npos);
    EXPECT_EQ(events.find("AttemptErrorRecovery"), std::string::npos);
}

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

TEST_F(TrackDownload, AbortReleasesAFeederThatWaitsPaused)
{
    std::vector<STrackInfo> tracks = DemoTracks();
    platform::ManualClock clock; // no limit passes: only the abort itself ends the waits
    STrackInfo rec = tracks[3];
    rec.cachelow = 1;
    rec.cachehigh = 2;
    auto cache = std::make_unique<CTrackCache>(&rec, 65536, &owner);
    ASSERT_TRUE(cache->SetupForWrite());
    // Nobody reads: the download pauses on the cache's mark, the feeder on its pipe's.
    mcCacheDownloader* source = cache->GetDownloader()->GetSongSource();
    ASSERT_TRUE(WaitUntil([&] { return cache->IsWritePaused() && source->IsPaused(); }));
    CCall([&] { EXPECT_TRUE(cache->AbortWrite()); }).ExpectDone("AbortWrite");
    EXPECT_EQ(cache->GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
    EXPECT_FALSE(source->IsFeedFinished());
    CCall([&] { cache.reset(); }).ExpectDone("the cache's destructor");
    EXPECT_EQ(owner.Completes(), 0);
    ExpectNoThreadOutlivedItsLimit();
}

TEST_F(TrackDownload, AbortReleasesASetupWhoseSendIsHeld)
{
    std::vector<STrackInfo> tracks = DemoTracks();
    platform::ManualClock clock;
    station.Rules().AddRule("track 101 delay 600000");
    auto cache = std::make_unique<CTrackCache>(&tracks[0], 1048576, &owner);
    BOOL bSetUp = FALSE;
    {
        CCall setup([&] { bSetUp = cache->SetupForWrite(); });
        ASSERT_TRUE(station.WaitForHolds(1)) << "the station never held a request";
        CCall([&] { cache->AbortWrite(); }).ExpectDone("AbortWrite");
        setup.ExpectDone("SetupForWrite");
    }
    EXPECT_TRUE(bSetUp);
    EXPECT_EQ(cache->GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
    CCall([&] { cache.reset(); }).ExpectDone("the cache's destructor");
    EXPECT_EQ(Events().find("ContentServerError"), std::string::npos);
    ExpectNoThreadOutlivedItsLimit();
}

TEST_F(TrackDownload, AbortReleasesARecoveryWhoseReconnectIsHeldOrThatPausesBeforeTheNext)
{
    std::vector<STrackInfo> tracks = DemoTracks();
    platform::ManualClock clock; // no pause ends on its own: only the abort ends the waits
    // Track 101: every request after the first is held. Track 102: the resume answers 503,
    // and the source pauses before it tries again.
    for (const char* pszRule :
         {"track 101 delay 0 times 1", "track 101 delay 600000", "track 101 cut 5000 times 1",
          "track 102 cut 5000 times 1", "track 102 status 503 after 1"})
        station.Rules().AddRule(pszRule);
    for (const std::size_t i : {0u, 1u})
    {
        SCOPED_TRACE(tracks[i].track);
        auto cache = std::make_unique<CTrackCache>(&tracks[i], 1048576, &owner);
        ASSERT_TRUE(cache->SetupForWrite());
        if (i == 0) // the resume's request waits for its answer
            ASSERT_TRUE(station.WaitForHolds(2)) << "the station never held a request";
        else // the feeder in its pause, the download thread on the empty pipe
            ASSERT_TRUE(clock.WaitForTimedWaiters(2)) << "the source never paused";
        CCall([&] { cache->AbortWrite(); }).ExpectDone("AbortWrite");
        EXPECT_EQ(cache->GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
        CCall([&] { cache.reset(); }).ExpectDone("the cache's destructor");
    }
    // A request cancelled by the abort, or a 503 under way, is no failure of the server.
    EXPECT_EQ(owner.Completes(), 0);
    EXPECT_EQ(Events().find("ContentServerError"), std::string::npos);
    ExpectNoThreadOutlivedItsLimit();
}

TEST_F(TrackDownload, AbortReleasesAStalledRead)
{
    std::vector<STrackInfo> tracks = DemoTracks();
    platform::ManualClock clock;
    station.Rules().AddRule("track 102 hold 10000");
    auto cache = std::make_unique<CTrackCache>(&tracks[1], 1048576, &owner);
    ASSERT_TRUE(cache->SetupForWrite());
    ASSERT_TRUE(station.WaitForHolds(1)) << "the station never held a request";
    CCall([&] { cache->AbortWrite(); }).ExpectDone("AbortWrite");
    EXPECT_EQ(cache->GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
    // What had come stays readable; nothing follows it.
    std::string bytes;
    CCall([&] { bytes = ReadToEnd(*cache); }).ExpectDone("the reader");
    EXPECT_LE(bytes.size(), 10000u);
    CCall([&] { cache.reset(); }).ExpectDone("the cache's destructor");
    ExpectNoThreadOutlivedItsLimit();
}

TEST_F(TrackDownload, AbortReleasesADownloadThreadBlockedOnAFullTrackCache)
{
    std::vector<STrackInfo> tracks = DemoTracks();
    platform::ManualClock clock;
    owner.bPauseOnAmple = false; // an owner that lets the cache fill up
    STrackInfo rec = tracks[3];
    rec.cachelow = 0;
    rec.cachehigh = 1; // 16000 bytes
    auto cache = std::make_unique<CTrackCache>(&rec, 16384, &owner);
    ASSERT_TRUE(cache->SetupForWrite());
    ASSERT_TRUE(WaitUntil([&] { return cache->GetCurrentSize() == 16384; }));
    CCall([&] { cache->AbortWrite(); }).ExpectDone("AbortWrite");
    // The download thread ends on the abort alone, before any destructor waits for it.
    EXPECT_TRUE(
        WaitUntil([&] { return trace.HasLineContaining("Content length on " + rec.track); }))
        << "the download thread did not end";
    CCall([&] { cache.reset(); }).ExpectDone("the cache's destructor");
    ExpectNoThreadOutlivedItsLimit();
}

TEST_F(TrackDownload, TheDestructorOfACacheWhoseServerStallsReturns)
{
    std::vector<STrackInfo> tracks = DemoTracks();
    platform::ManualClock clock;
    station.Rules().AddRule("track 103 hold 20000");
    auto cache = std::make_unique<CTrackCache>(&tracks[2], 1048576, &owner);
    ASSERT_TRUE(cache->SetupForWrite());
    ASSERT_TRUE(station.WaitForHolds(1)) << "the station never held a request";
    CCall([&] { cache.reset(); }).ExpectDone("the cache's destructor");
    EXPECT_EQ(owner.Completes(), 0);
    ExpectNoThreadOutlivedItsLimit();
}
