// The network source against scripted servers on loopback, for answers the station does
// not give: an answer that ends before its first byte, no answer to a resume, an empty
// content, a slow answer's head measured on the manual clock, a source aborted before its
// feeder ran, a whole track on a clock that never moves, an answer longer than announced.
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

// The request line of a recorded request.
std::string RequestLine(const std::string& request)
{
    return request.substr(0, request.find("\r\n"));
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

TEST_F(InternetSource, AnAnswerThatEndsBeforeItsFirstByteIsResumedFromTheStart)
{
    const std::string content = Pattern(3000);
    testsupport::RawServer server(
        [&](int fd, const std::string& request)
        {
            if (request.find("Range: bytes=0-") == std::string::npos)
            {
                testsupport::SendAll(fd, testsupport::Head("200 OK", 3000));
                return;
            }
            testsupport::SendAll(fd, testsupport::Head("206 Partial Content", 3000,
                                                       "Content-Range: bytes 0-2999/3000\r\n"));
            testsupport::SendAll(fd, content);
        });
    const STrackInfo rec = Record(server.Port(), "/t.mp3?MAGIC=v&CID=1", 3000);
    CTrackCache cache(&rec, 65536, &owner);
    ASSERT_TRUE(cache.SetupForWrite());
    EXPECT_TRUE(ReadToEnd(cache) == content);
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(RequestLine(requests[1]).find("&X-Range=0-&RETRY="), std::string::npos);
    EXPECT_EQ(Events().find("TrackTruncated"), std::string::npos);
}

TEST_F(InternetSource, AnEmptyContentIsCompleteWithoutRecovery)
{
    testsupport::RawServer server([](int fd)
                                  { testsupport::SendAll(fd, testsupport::Head("200 OK", 0)); });
    const STrackInfo rec = Record(server.Port(), "/empty.mp3", 0);
    CTrackCache cache(&rec, 65536, &owner);
    ASSERT_TRUE(cache.SetupForWrite());
    EXPECT_EQ(ReadToEnd(cache), "");
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_COMPLETE));
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(owner.Meter().GetSampleBytes(), std::vector<DWORD>{0});
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

TEST_F(InternetSource, AWholeTrackArrivesWithNoWaitRunningToItsLimit)
{
    // On a clock that never moves, every wait of the chain must end on its condition, with
    // marks so small that the download thread and the feeder may pause at any chunk.
    const std::string content = Pattern(2 * 1024 * 1024);
    testsupport::RawServer server(
        [&](int fd)
        { testsupport::SendAll(fd, testsupport::Head("200 OK", content.size()) + content); });
    STrackInfo rec = Record(server.Port(), "/paced.mp3", static_cast<DWORD>(content.size()));
    rec.cachelow = 4;  // 4000 bytes
    rec.cachehigh = 8; // 8000 bytes
    platform::ManualClock clock;
    CTrackCache cache(&rec, 16384, &owner);
    ASSERT_TRUE(cache.SetupForWrite());
    std::string bytes;
    CCall([&] { bytes = ReadToEnd(cache); }).ExpectDone("the reader");
    EXPECT_TRUE(bytes == content);
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_COMPLETE));
}

TEST_F(InternetSource, AnAnswerLongerThanTheRecordSaysEndsTheTrackAtItsAnnouncedSize)
{
    // A Content-Length of 4 GiB, and a body without a length that never ends: the track
    // is the announced 20000 bytes either way, and the source leaves the answer there.
    const std::string content = Pattern(1 << 20);
    for (const char* pszLength : {"Content-Length: 4294967296\r\n", ""})
    {
        SCOPED_TRACE(pszLength);
        std::atomic<bool> bClientClosed{false};
        testsupport::RawServer server(
            [&](int fd)
            {
                timeval limit{kLimitMs / 1000, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
                testsupport::SendAll(fd, std::string("HTTP/1.1 200 OK\r\n") + pszLength +
                                             "Connection: close\r\n\r\n");
                // Far more than the pipe and the HTTP layer's read-ahead hold together.
                for (int i = 0; i < 256; ++i)
                    if (::send(fd, content.data(), content.size(), MSG_NOSIGNAL) <= 0)
                    {
                        bClientClosed = true;
                        return;
                    }
            });
        const STrackInfo rec = Record(server.Port(), "/t.mp3", 20000);
        {
            CTrackCache cache(&rec, 65536, &owner);
            ASSERT_TRUE(cache.SetupForWrite());
            EXPECT_TRUE(ReadToEnd(cache) == content.substr(0, 20000));
            EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_COMPLETE));
        }
        EXPECT_TRUE(WaitUntil([&] { return bClientClosed.load(); }))
            << "the source read on past the announced size";
    }
    EXPECT_EQ(Events().find("TrackTruncated"), std::string::npos);
}
