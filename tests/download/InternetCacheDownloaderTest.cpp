// The network source against scripted servers on loopback, for answers the station does
// not give: no answer at all to a resume, an empty content, answers longer than announced,
// a slow answer's head measured on the manual clock, the end of an outage's reconnections at
// its limit, a source aborted before its feeder ran, and a whole track on a clock that never
// moves.
#include "download/InternetCacheDownloader.h"

#include "DownloadTestSupport.h"
#include "download/TrackCache.h"
#include "download/TrackDownloader.h"
#include "hostlibs/EventMgr.h"
#include "platform/Clock.h"
#include "support/RawServer.h"
#include "support/TestSupport.h"
#include "support/TraceCapture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>

using downloadtest::CCall;
using downloadtest::CTestOwner;
using downloadtest::kLimitMs;
using downloadtest::ReadToEnd;
using downloadtest::WaitUntil;

namespace
{
std::string Pattern(std::size_t n)
{
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>((i * 13 + i / 97) & 0xFF);
    return bytes;
}

class InternetSource : public ::testing::Test
{
protected:
    void SetUp() override { InitEventMgr(); }
    void TearDown() override { UnInitEventMgr(); }

    std::string Events()
    {
        GetEventMgr()->Flush();
        return testsupport::ReadFile(home.File("events.log"));
    }

    STrackInfo Record(WORD nPort, const std::string& path, DWORD dwSize)
    {
        STrackInfo rec = downloadtest::RecordWithMarks(20000, 40000);
        rec.songurl = "http://127.0.0.1:" + std::to_string(nPort) + path;
        rec.songsize = dwSize;
        return rec;
    }

    testsupport::TempHome home;
    CTestOwner owner;
};
} // namespace

TEST_F(InternetSource, AFailureAfterTheServersAnswerAbortsTheTrackWithOneNotification)
{
    const std::string content = Pattern(20000);
    testsupport::RawServer server(
        [&](int fd, const std::string& request)
        {
            // The resume finds no answer at all: the connection closes at once.
            if (request.find("Range:") != std::string::npos)
                return;
            testsupport::SendAll(fd, testsupport::Head("200 OK", 20000));
            testsupport::SendAll(fd, content.substr(0, 5000));
        });
    const STrackInfo rec = Record(server.Port(), "/t.mp3?MAGIC=v&CID=1", 20000);
    {
        CTrackCache cache(&rec, 65536, &owner);
        ASSERT_TRUE(cache.SetupForWrite());
        // The track is given up short: what reached the cache is the track's from its start.
        const std::string bytes = ReadToEnd(cache);
        EXPECT_LE(bytes.size(), 5000u);
        EXPECT_TRUE(bytes == content.substr(0, bytes.size()));
        EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
        EXPECT_TRUE(cache.IsTruncated());
        EXPECT_EQ(cache.GetDownloader()->GetSongSource()->GetHttpStatus(), 200u);
    }
    EXPECT_EQ(owner.Completes(), 1);
    const std::string events = Events();
    EXPECT_NE(events.find("\"name\":\"ContentServerError\",\"params\":{\"ErrorCode\":\""
                          "mcInternetCacheDownloader::InternetOpenAllHandles - HttpSendRequest "
                          "FALSE - err=12152 Time Used = 0 sec.\\n\""),
              std::string::npos)
        << events;
    EXPECT_NE(events.find("\"SongLength\":20000.0,\"BytesRead\":5000.0"), std::string::npos)
        << events;
}

// An outage is ridden out for its limit and no longer: once the limit has passed, the source
// ends short rather than start one more reconnection, whose own time-outs could outlast
// the reader's wait for data.
TEST_F(InternetSource, NoReconnectionStartsOnceAnOutageHasSpentItsLimit)
{
    const std::string content = Pattern(20000);
    testsupport::RawServer server(
        [&](int fd, const std::string& request)
        {
            if (request.find("Range:") != std::string::npos)
                return testsupport::SendAll(fd, testsupport::Head("503 Service Unavailable", 0));
            testsupport::SendAll(fd, testsupport::Head("200 OK", 20000));
            testsupport::SendAll(fd, content.substr(0, 5000));
        });
    testsupport::TraceCapture trace;
    platform::ManualClock clock;
    const STrackInfo rec = Record(server.Port(), "/t.mp3?MAGIC=v&CID=1", 20000);
    CTrackCache cache(&rec, 65536, &owner);
    ASSERT_TRUE(cache.SetupForWrite());
    // The first reconnection follows the break at once; its 503 starts the pauses.
    ASSERT_TRUE(WaitUntil([&] { return trace.HasLineContaining("failed for now"); }))
        << "no reconnection was refused";
    // The clock moves only once the feeder's pause and the download thread's wait for data
    // have both begun; a pause that began after the move would measure from the limit and
    // never end on this clock.
    ASSERT_TRUE(clock.WaitForTimedWaiters(2, kLimitMs)) << "the feeder never paused";
    clock.Advance(mcInternetCacheDownloader::kRecoveryLimitMs);
    // The track ends short there, with every byte it had.
    EXPECT_TRUE(ReadToEnd(cache) == content.substr(0, 5000));
    EXPECT_TRUE(cache.IsTruncated());
    EXPECT_EQ(server.Requests().size(), 2u) << "a reconnection started after the limit";
    EXPECT_TRUE(trace.HasLineContaining(
        "came in " + std::to_string(mcInternetCacheDownloader::kRecoveryLimitMs) + " ms"));
}

TEST_F(InternetSource, ASendThatTakesTheWaitLimitIsReportedAsDelayed)
{
    const std::string content = Pattern(100);
    testsupport::RawServer server(
        [&](int fd)
        {
            // Held until the test has moved the clock past the time it wants measured.
            server.Release.WaitRealTime(kLimitMs);
            testsupport::SendAll(fd, testsupport::Head("200 OK", 100) + content);
        });
    const STrackInfo rec = Record(server.Port(), "/slow.mp3", 100);
    std::size_t nRequests = 0;
    for (const DWORD dwMs : {29999u, 30000u})
    {
        platform::ManualClock clock;
        server.Release.Reset();
        CTrackCache cache(&rec, 65536, &owner);
        CCall setup([&cache] { cache.SetupForWrite(); });
        ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() > nRequests; }));
        ++nRequests;
        clock.Advance(dwMs);
        server.Release.Set();
        setup.ExpectDone("SetupForWrite");
        std::string bytes;
        CCall([&] { bytes = ReadToEnd(cache); }).ExpectDone("the reader");
        EXPECT_TRUE(bytes == content);
    }
    const std::string events = Events();
    const std::string delay = "\"category\":7,\"name\":\"ServerHttpRequestDelay\",\"params\":{"
                              "\"ServerPath\":\"" +
                              rec.songurl + "\",\"WaitTime\":30,\"ReturnValue\":1}}";
    EXPECT_NE(events.find(delay), std::string::npos) << events;
    EXPECT_EQ(events.find("\"WaitTime\":29"), std::string::npos) << events;
}

TEST_F(InternetSource, ASourceAbortedBeforeItsFeederRanSendsNothingAndReportsNothing)
{
    testsupport::RawServer server([](int fd)
                                  { testsupport::SendAll(fd, testsupport::Head("200 OK", 0)); });
    const STrackInfo rec = Record(server.Port(), "/never.mp3", 1000);
    CTrackCache cache(&rec, 65536, &owner);
    mcInternetCacheDownloader source(rec.songurl, 1000, &cache, 30, 8192, 100, 500, 4096);
    source.Abort();
    source.StartFeedThread();
    CCall(
        [&]
        {
            while (!source.IsReady())
                source.WaitForStateChange();
        })
        .ExpectDone("the wait for the source's start");
    EXPECT_TRUE(source.IsConnected());
    EXPECT_FALSE(source.IsFailed());
    EXPECT_FALSE(source.IsFeedFinished());
    EXPECT_EQ(server.Requests().size(), 0u);
    EXPECT_EQ(Events().find("ContentServerError"), std::string::npos);
}

// The track is the announced size, reached without recovery and without a wait running
// to its limit: an empty content, a whole track on a clock that never moves with marks
// so small that the download thread and the feeder may pause at any chunk, and answers
// longer than announced (a length of 4 GiB, no length and no end), which the source
// leaves once it has the announced bytes.
TEST_F(InternetSource, ATrackEndsAtItsAnnouncedSizeWithoutRecovery)
{
    struct SRow
    {
        const char* name;
        std::string lengthLine;
        std::size_t nBodyBytes; // sent this many times over, or once when it is the size
        int nSends;
        DWORD dwSize;
        bool bStoppedClock;
    };
    const SRow rows[] = {
        {"EmptyContent", "Content-Length: 0\r\n", 0, 1, 0, false},
        {"TinyMarksOnAStoppedClock", "Content-Length: 2097152\r\n", 2 * 1024 * 1024, 1,
         2 * 1024 * 1024, true},
        {"LengthBeyondFourGiB", "Content-Length: 4294967296\r\n", 1 << 20, 256, 20000, false},
        {"NoLengthAndNoEnd", "", 1 << 20, 256, 20000, false},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::string content = Pattern(row.nBodyBytes);
        std::atomic<bool> bClientClosed{false};
        testsupport::RawServer server(
            [&](int fd)
            {
                timeval limit{kLimitMs / 1000, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                testsupport::SendAll(fd, "HTTP/1.1 200 OK\r\n" + row.lengthLine +
                                             "Connection: close\r\n\r\n");
                for (int i = 0; i < row.nSends; ++i)
                    if (::send(fd, content.data(), content.size(), MSG_NOSIGNAL) <= 0)
                    {
                        bClientClosed = true;
                        return;
                    }
            });
        STrackInfo rec = Record(server.Port(), "/t.mp3", row.dwSize);
        if (row.bStoppedClock)
        {
            rec.cachelow = 4;  // 4000 bytes
            rec.cachehigh = 8; // 8000 bytes
        }
        std::optional<platform::ManualClock> clock;
        if (row.bStoppedClock)
            clock.emplace();
        CTestOwner rowOwner;
        {
            CTrackCache cache(&rec, row.bStoppedClock ? 16384 : 65536, &rowOwner);
            ASSERT_TRUE(cache.SetupForWrite());
            std::string bytes;
            CCall([&] { bytes = ReadToEnd(cache); }).ExpectDone("the reader");
            EXPECT_TRUE(bytes == content.substr(0, row.dwSize)) << bytes.size();
            EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_COMPLETE));
        }
        EXPECT_EQ(server.Requests().size(), 1u);
        if (row.nSends > 1)
        {
            EXPECT_TRUE(WaitUntil([&] { return bClientClosed.load(); }))
                << "the source read on past the announced size";
        }
        if (row.dwSize == 0)
        {
            EXPECT_EQ(rowOwner.Meter().GetSampleBytes(), std::vector<DWORD>{0});
        }
    }
    EXPECT_EQ(Events().find("TrackTruncated"), std::string::npos);
}
