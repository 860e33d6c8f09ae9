// The HTTP layer (time, content, ranges, cut and reset answers) and the sequence service
// against ovradio-station, started in-process, and ovradio-sequence run as a program the
// way an operator runs it.
#include "SequenceTool.h"
#include "host/UserId.h"
#include "integration/StationFixture.h"
#include "platform/Http.h"
#include "platform/HttpUrl.h"
#include "sequence/RadioSequenceMgr.h"
#include "support/ContentSigning.h"
#include "support/SequenceWait.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

using integration::LinesOf;
using integration::StationIntegration;

TEST_F(StationIntegration, TheHttpLayerReadsTheStationsAnswers)
{
    namespace http = platform::http;
    http::Session session("Orvale Deck");
    http::Connection connection(session, "127.0.0.1", station.Port());
    http::Request time(connection, "GET", "/ovdk/radiotime?VERSION=1&OVUID=U1");
    ASSERT_TRUE(time.Send());
    EXPECT_EQ(time.StatusCode(), 200u);
    char buffer[2048] = {};
    DWORD dwRead = 0;
    ASSERT_TRUE(time.Read(buffer, sizeof(buffer) - 1, &dwRead));
    EXPECT_NE(std::string(buffer, dwRead).find("strTimeStamp=\""), std::string::npos);
    DWORD dwMore = 1;
    EXPECT_TRUE(time.Read(buffer, sizeof(buffer), &dwMore));
    EXPECT_EQ(dwMore, 0u);

    http::Request missing(connection, "GET", "/no/such/thing");
    ASSERT_TRUE(missing.Send());
    EXPECT_EQ(missing.StatusCode(), 404u);
}

TEST_F(StationIntegration, TheHttpLayerReadsContentRangesCutAndResetAnswers)
{
    namespace http = platform::http;
    station.Rules().AddRule("track 102 cut 5000 times 1");
    station.Rules().AddRule("track 103 reset 3000 times 1");
    std::vector<STrackInfo> tracks(3);
    {
        CRadioSequenceMgr mgr;
        mgr.GetNewSequence("demo");
        ASSERT_TRUE(testsupport::NextTrack(mgr, tracks[0]));
        // Like the stream manager's pace, leave the rest of the sequence time to come.
        ASSERT_TRUE(testsupport::DownloadEnded(mgr));
        ASSERT_TRUE(testsupport::NextTrack(mgr, tracks[1]));
        ASSERT_TRUE(testsupport::NextTrack(mgr, tracks[2]));
    }
    http::Session session("Orvale Deck");
    http::Connection connection(session, "127.0.0.1", station.Port());
    // The content address signed as a content source signs it, as a request's path.
    const auto path = [](const STrackInfo& rec)
    {
        http::UrlParts parts;
        EXPECT_TRUE(http::CrackUrl(testsupport::Sign(rec.songurl, GetUserId()), parts));
        return parts.strPathWithQuery;
    };
    const auto readAll = integration::ReadAll;

    DWORD dwError = 1;
    http::Request whole(connection, "GET", path(tracks[0]));
    ASSERT_TRUE(whole.Send());
    EXPECT_EQ(whole.StatusCode(), 200u);
    const std::string body = readAll(whole, dwError);
    EXPECT_EQ(dwError, 0u);
    EXPECT_EQ(body.size(), tracks[0].songsize);

    http::Request range(connection, "GET", path(tracks[0]));
    ASSERT_TRUE(range.Send("Range: bytes=1000-\r\n"));
    EXPECT_EQ(range.StatusCode(), 206u);
    EXPECT_TRUE(readAll(range, dwError) == body.substr(1000));
    EXPECT_EQ(dwError, 0u);

    http::Request cut(connection, "GET", path(tracks[1]));
    ASSERT_TRUE(cut.Send());
    EXPECT_EQ(readAll(cut, dwError).size(), 5000u); // its bytes, then a 0-byte success
    EXPECT_EQ(dwError, 0u);

    // A reset may come before the head is read: then the send fails with it.
    http::Request reset(connection, "GET", path(tracks[2]));
    if (reset.Send())
        EXPECT_LE(readAll(reset, dwError).size(), 3000u);
    else
        dwError = http::LastError();
    EXPECT_EQ(dwError, http::ERROR_INTERNET_CONNECTION_RESET);
}

TEST_F(StationIntegration, TheSequenceServiceGetsTheStationsTracks)
{
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(integration::RunTool({"--station", "split", "--count", "3"}, out, err), 0)
        << out.str();
    const std::vector<std::string> lines = LinesOf(out.str());
    ASSERT_EQ(lines.size(), 4u) << out.str();
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(lines[i].rfind("{\"type\":\"track\",", 0), 0u) << lines[i];
        EXPECT_EQ(lines[i].find("\"cacheid\":\"\""), std::string::npos) << lines[i];
    }
    EXPECT_EQ(lines[3], "{\"type\":\"end\",\"tracks\":3,\"status\":200}");

    std::ostringstream unknown;
    EXPECT_EQ(integration::RunTool({"--station", "no-such-station"}, unknown, err), 3);
    EXPECT_EQ(LinesOf(unknown.str()).back(), "{\"type\":\"end\",\"tracks\":0,\"status\":404}");
}

TEST_F(StationIntegration, TheToolRunAsAProgramPrintsTheDemoStation)
{
    int status = -1;
    const std::string text = integration::RunToolProgram("--station demo --count 2", status);
    EXPECT_EQ(status, 0) << text;
    const std::vector<std::string> lines = LinesOf(text);
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_NE(lines[0].find("\"songbr\":128"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[2], "{\"type\":\"end\",\"tracks\":2,\"status\":200}");
}

TEST_F(StationIntegration, TheStationsFaultsSteerTheSequenceService)
{
    station.Rules().AddRule("station rock sequence-body no-tracks");
    station.Rules().AddRule("station split sequence-body bad-line 1 times 1");
    station.Rules().AddRule("station demo sequence-status 244");
    std::ostringstream err;

    std::ostringstream empty; // three sends for an empty answer, then no further request
    EXPECT_EQ(integration::RunTool({"--station", "rock", "--count", "2"}, empty, err), 3);
    EXPECT_EQ(LinesOf(empty.str()).back(), "{\"type\":\"end\",\"tracks\":0,\"status\":404}");
    std::size_t nRock = 0;
    for (const std::string& target : SequenceTargets(3))
        nRock += target.find("STATION_ID=rock&") != std::string::npos;
    EXPECT_EQ(nRock, 3u);

    // A sequence abandoned before its first track is sent again; the next request reports it.
    std::ostringstream bad;
    EXPECT_EQ(integration::RunTool({"--station", "split", "--count", "4"}, bad, err), 0)
        << bad.str();
    bool bReported = false;
    for (const std::string& target : SequenceTargets(6)) // 3 for rock, at least 3 for split
        bReported |= target.find("STATION_ID=split&") != std::string::npos &&
                     target.find("&SEQABORT=1&") != std::string::npos;
    EXPECT_TRUE(bReported);

    std::ostringstream ended;
    EXPECT_EQ(integration::RunTool({"--station", "demo"}, ended, err), 3);
    EXPECT_EQ(LinesOf(ended.str()).back(), "{\"type\":\"end\",\"tracks\":0,\"status\":244}");

    station.Rules().AddRule("sequence status 503");
    std::ostringstream busy;
    EXPECT_EQ(integration::RunTool({"--station", "demo"}, busy, err), 3);
    EXPECT_NE(Events().find("SeqSvr:HttpQueryInfo(1) failure Status code=503"), std::string::npos);
}
