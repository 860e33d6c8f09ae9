// The HTTP layer and the sequence service against ovradio-station, started in-process,
// and ovradio-sequence run as a program the way an operator runs it.
#include "SequenceTool.h"
#include "integration/StationFixture.h"
#include "platform/Http.h"

#include <cstdio>
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

TEST_F(StationIntegration, TheSequenceServiceGetsTheStationsTracks)
{
    std::ostringstream out;
    std::ostringstream err;
    ASSERT_EQ(RunSequenceTool({"--station", "split", "--count", "3"}, out, err), 0) << out.str();
    const std::vector<std::string> lines = LinesOf(out.str());
    ASSERT_EQ(lines.size(), 4u) << out.str();
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(lines[i].rfind("{\"type\":\"track\",", 0), 0u) << lines[i];
        EXPECT_EQ(lines[i].find("\"cacheid\":\"\""), std::string::npos) << lines[i];
    }
    EXPECT_EQ(lines[3], "{\"type\":\"end\",\"tracks\":3,\"status\":200}");

    std::ostringstream unknown;
    EXPECT_EQ(RunSequenceTool({"--station", "no-such-station"}, unknown, err), 3);
    EXPECT_EQ(LinesOf(unknown.str()).back(), "{\"type\":\"end\",\"tracks\":0,\"status\":404}");
}

TEST_F(StationIntegration, TheToolRunAsAProgramPrintsTheDemoStation)
{
    const std::string command = std::string(OVR_SEQUENCE_TOOL) + " --station demo --count 2";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char buffer[4096];
    while (std::fgets(buffer, sizeof(buffer), pipe))
        text += buffer;
    const int status = ::pclose(pipe);
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
    EXPECT_EQ(RunSequenceTool({"--station", "rock", "--count", "2"}, empty, err), 3);
    EXPECT_EQ(LinesOf(empty.str()).back(), "{\"type\":\"end\",\"tracks\":0,\"status\":404}");
    std::size_t nRock = 0;
    for (const std::string& target : SequenceTargets(3))
        nRock += target.find("STATION_ID=rock&") != std::string::npos;
    EXPECT_EQ(nRock, 3u);

    // A sequence abandoned before its first track is sent again; the next request reports it.
    std::ostringstream bad;
    EXPECT_EQ(RunSequenceTool({"--station", "split", "--count", "4"}, bad, err), 0) << bad.str();
    bool bReported = false;
    for (const std::string& target : SequenceTargets(6)) // 3 for rock, at least 3 for split
        bReported |= target.find("STATION_ID=split&") != std::string::npos &&
                     target.find("&SEQABORT=1&") != std::string::npos;
    EXPECT_TRUE(bReported);

    std::ostringstream ended;
    EXPECT_EQ(RunSequenceTool({"--station", "demo"}, ended, err), 3);
    EXPECT_EQ(LinesOf(ended.str()).back(), "{\"type\":\"end\",\"tracks\":0,\"status\":244}");

    station.Rules().AddRule("sequence status 503");
    std::ostringstream busy;
    EXPECT_EQ(RunSequenceTool({"--station", "demo"}, busy, err), 3);
    EXPECT_NE(Events().find("SeqSvr:HttpQueryInfo(1) failure Status code=503"), std::string::npos);
}
