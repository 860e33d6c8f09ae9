// ovradio-sequence run as a new user runs it, against a sequence server that is not ours:
// Python's HTTP server, answering in chunked transfer coding with CR LF line ends and
// checking the signature with its own MD5.
#include "host/UserId.h"
#include "integration/StationFixture.h"
#include "support/ChildProcess.h"
#include "support/ServerProcess.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using integration::FieldOf;
using integration::LinesOf;

TEST(ForeignServer, TheToolGetsTheTracksOfASequenceServerThatIsNotOurs)
{
    testsupport::TempHome home; // an empty runtime folder, as a new user has
    const std::string record = home.File("requests.txt");
    testsupport::ServerProcess server({"python3", OVR_FOREIGN_SERVER, record});
    ASSERT_NE(server.Port(), 0) << server.FirstLine();
    // What a user writes into the preferences file to point the engine at a server.
    testsupport::WriteFile(home.File("preferences.ini"),
                           "[OVRadio]\nSequenceUrl=http://127.0.0.1:" +
                               std::to_string(server.Port()) + "/sequence.m3u?\n");

    const testsupport::SChildResult tool = testsupport::RunChild(
        OVR_SEQUENCE_TOOL,
        {{"--station", "Late Jazz", "--user-info", "::id=77::", "--count", "2"}});
    const std::string& out = tool.strOut;
    EXPECT_EQ(tool.nExit, 0) << out << tool.strErr;
    const std::vector<std::string> lines = LinesOf(out);
    ASSERT_EQ(lines.size(), 3u) << out;
    EXPECT_EQ(lines[0].rfind("{\"type\":\"track\",\"trackid\":7001,\"track\":\"Caf\xC3\xA9 Noir\","
                             "\"artistid\":\"\",\"artist\":\"The Foreign Band\",",
                             0),
              0u)
        << lines[0];
    for (const char* field :
         {"\"songsize\":123456,", "\"songbr\":96,", "\"numchans\":1,", "\"samplerate\":22050,",
          "\"nextdisplay\":\"Next: Harbour\",", "\"cachelow\":4,", "\"retry\":20}"})
        EXPECT_NE(lines[0].find(field), std::string::npos) << field << " in " << lines[0];
    EXPECT_NE(lines[1].find("\"trackid\":7002,"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "{\"type\":\"end\",\"tracks\":2,\"status\":200}");

    // The requests as the server saw them, and what the engine keeps for next time.
    const std::vector<std::string> requests = LinesOf(testsupport::ReadFile(record));
    ASSERT_GE(requests.size(), 2u);
    const std::string uid = GetUserId();
    EXPECT_EQ(requests[0], "GET /ovdk/radiotime?VERSION=&OVUID=" + uid);
    EXPECT_EQ(requests[1].rfind("POST /sequence.m3u?REQUEST=RADIO_TRACKS&OVUID=77%3A" + uid +
                                    "&STATION_ID=Late%20Jazz&",
                                0),
              0u)
        << requests[1];
    EXPECT_EQ(FieldOf(requests[1], "TIME"), "0");
    EXPECT_NE(testsupport::ReadFile(home.File("preferences.ini")).find("SessionID=9100\n"),
              std::string::npos);
}
