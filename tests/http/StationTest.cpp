// The station server on loopback, spoken to over raw sockets, for what the other tests
// rely on and the integration tests do not exercise: that it refuses what is wrongly
// signed, 64-bit ranges, where a fault's byte count starts and that a reset waits for the
// client, the rules that drop header lines and fields, scenario files, the log, a music
// folder, a Stop and waits that never hang, and the program's options. Every signature
// is computed here from the published rules, not with the station's helpers.
#include "MpegFrame.h"
#include "StationClient.h"
#include "platform/Xml.h"
#include "support/ServerProcess.h"
#include "support/TestCertificates.h"
#include "support/TestSupport.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
using namespace stationtest;
using StationTest = StationTestBase;

// The time answer's clock, in seconds.
uint64_t TimeOf(uint16_t port)
{
    const Answer answer = Exchange(port, "GET", "/ovdk/radiotime?VERSION=1&OVUID=U1");
    EXPECT_EQ(200, answer.status);
    platform::xml::Document document;
    EXPECT_TRUE(document.LoadFromBuffer(answer.body));
    const auto info = document.Root()->FirstDescendant("INFO");
    return info ? std::stoull(info->AttributeNoCase("strTimeStamp").value_or("0")) : 0;
}

TEST_F(StationTest, SequencesAreAnsweredOnlyToTheirSignatureForThisHourOrTheLast)
{
    Start();
    EXPECT_EQ(kNow, TimeOf(m_station->Port()));
    const uint64_t hours = kNow / 3600;
    const struct
    {
        const char* name;
        std::string station, ovuid, log, status;
        std::size_t nTracks;
    } rows[] = {
        {"ThisHour", "demo", kUid, LogValue(kUid, hours), "200", 4},
        {"TheLastHour", "demo", kUid, LogValue(kUid, hours - 1), "200", 4},
        {"TheIdentifierAfterTheLastColon", "demo", std::string("42%3A") + kUid,
         LogValue(kUid, hours), "200", 4},
        {"TwoHoursAgo", "demo", kUid, LogValue(kUid, hours - 2), "500", 0},
        {"AnotherUser", "demo", kUid, LogValue("someone-else", hours), "500", 0},
        {"NotADigest", "demo", kUid, std::string(32, 'A'), "500", 0},
        {"NoSignature", "demo", kUid, "", "500", 0},
        {"AnUnknownStation", "no-such-station", kUid, LogValue(kUid, hours), "404", 0},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        const Answer answer = Sequence(row.station, row.ovuid, row.log);
        EXPECT_EQ(200, answer.status);
        EXPECT_EQ(0u, answer.body.find("status_code=" + row.status + "\n")) << answer.body;
        EXPECT_EQ(row.nTracks, TrackLines(answer.body).size());
    }
}

TEST_F(StationTest, ContentIsServedOnlyToItsSignatureAndAResumeOnlyToItsToken)
{
    Start();
    const std::string line = Tracks("rock").front();
    const std::string unsigned_ = Field(line, "songurl");
    const std::string url = Sign(unsigned_, kUid);
    std::string tampered = PathOf(url);
    tampered.replace(tampered.find("TOK=") + 4, 1, "9");
    const std::string resume = PathOf(url) + "&X-Range=5000-&RETRY=";
    const struct
    {
        const char* name;
        std::string path, range;
        int status;
    } rows[] = {
        {"Signed", PathOf(url), "", 200},
        {"Unsigned", PathOf(unsigned_), "", 403},
        {"SignedForAnotherUser", PathOf(Sign(unsigned_, "other")), "", 403},
        {"AnotherGrant", tampered, "", 403},
        {"AResume", ResumePath(url, 5000), "Range: bytes=5000-\r\n", 206},
        {"ATokenForAnotherOffset", resume + RetryToken(url, kUid, 4999), "", 403},
        {"ATokenForAnotherUser", resume + RetryToken(url, "other", 5000), "", 403},
        {"NoToken", resume, "", 403},
        {"ARangeThatDisagrees", ResumePath(url, 5000), "Range: bytes=4000-\r\n", 400},
        {"NoContentPath", "/content/201/other.mp3", "", 404},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        const Answer answer = Exchange(m_station->Port(), "GET", row.path, row.range);
        EXPECT_EQ(row.status, answer.status);
        if (row.status / 100 == 2)
        {
            const uint64_t from = row.status == 206 ? 5000 : 0;
            EXPECT_EQ(std::stoul(Field(line, "songsize")) - from, answer.body.size());
            EXPECT_TRUE(MatchesPattern(answer.body, std::stoul(Field(line, "trackid")) * 2, from));
        }
    }
}

// Ranges and resumes are 64-bit, beyond 4 GiB. A fault's byte count starts at the answer's
// first body byte, also of a resumed answer; a reset sends every byte first, and comes only
// once a slow client (a small receive buffer keeps most of the answer in the station's
// socket) could read them all.
TEST_F(StationTest, RangesAreSixtyFourBitAndFaultsCountFromTheAnswersFirstByte)
{
    station::Station& server = Start();
    server.Rules().AddRule("track 101 size 5000000000");
    server.Rules().AddRule("track 103 size 4000000");
    std::map<std::string, std::string> lines;
    for (const std::string& line : Tracks("demo"))
        lines[Field(line, "trackid")] = line;
    ASSERT_EQ("5000000000", Field(lines["101"], "songsize"));
    const struct
    {
        const char* name;
        std::string trackid, rule;
        bool bResume;
        uint64_t from, to; // the range asked for (to 0: to the end)
        int status;
        uint64_t bytes = 0; // the body's bytes when a fault ends it early
        int receiveBuffer = 0;
    } rows[] = {
        {"TheTail", "101", "", false, 4999999000ull, 0, 206},
        {"AcrossTwoToThe32", "101", "", false, 4294967290ull, 4294967309ull, 206},
        {"AResume", "101", "", true, 4999999990ull, 0, 206},
        {"AtTheEnd", "101", "", false, 5000000000ull, 0, 416},
        {"AResetAfterTheLastByte", "102", "reset 1000000", false, 0, 0, 200},
        {"ACutOfAResumedAnswer", "104", "cut 1000", true, 50000, 0, 206, 1000},
        {"AResetOfAResumedAnswer", "104", "reset 1000", true, 50000, 0, 206, 1000},
        {"AResetForASlowClient", "103", "reset 3000000", false, 0, 0, 200, 3000000, 4096},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::string& line = lines[row.trackid];
        const uint64_t size = std::stoull(Field(line, "songsize"));
        if (!row.rule.empty())
            server.Rules().AddRule("track " + row.trackid + " " + row.rule + " times 1");
        const std::string url = Sign(Field(line, "songurl"), kUid);
        const std::string range = row.from == 0
                                      ? ""
                                      : "Range: bytes=" + std::to_string(row.from) + "-" +
                                            (row.to ? std::to_string(row.to) : "") + "\r\n";
        const Answer answer =
            Exchange(server.Port(), "GET", row.bResume ? ResumePath(url, row.from) : PathOf(url),
                     range, row.receiveBuffer);
        EXPECT_EQ(row.status, answer.status);
        const uint64_t last = row.to ? row.to : size - 1;
        const std::string total = "/" + std::to_string(size);
        EXPECT_EQ(row.status == 206
                      ? "bytes " + std::to_string(row.from) + "-" + std::to_string(last) + total
                  : row.status == 416 ? "bytes *" + total
                                      : "",
                  answer.Header("Content-Range"));
        if (row.status == 416)
            continue;
        EXPECT_EQ(std::to_string(last + 1 - row.from), answer.Header("Content-Length"));
        EXPECT_EQ(row.bytes ? row.bytes : last + 1 - row.from, answer.body.size());
        EXPECT_TRUE(MatchesPattern(answer.body, std::stoul(row.trackid) * 2, row.from));
        EXPECT_EQ(row.rule.starts_with("reset"), answer.reset);
    }
}

TEST_F(StationTest, RulesDropHeaderLinesAndFieldsAndAnAddressKeepsItsSize)
{
    station::Station& server = Start();
    server.Rules().AddRule("station demo no-header minpreconnectcache");
    server.Rules().AddRule("track 102 no-field skip");
    server.Rules().AddRule("station demo header startthresh=7");
    server.Rules().AddRule("station demo header endradiobrowserscript=Good+bye");
    const Answer answer = Sequence("demo");
    EXPECT_EQ(std::string::npos, answer.body.find("minpreconnectcache="));
    // A value set in place stays where the header had it; a new one comes after the rest.
    EXPECT_LT(answer.body.find("startthresh=7\n"), answer.body.find("ccdwindow="));
    EXPECT_LT(answer.body.find("ccdthresh="), answer.body.find("endradiobrowserscript="));
    const auto lines = TrackLines(answer.body);
    ASSERT_EQ(4u, lines.size());
    EXPECT_EQ(std::string::npos, lines[1].find("::skip=")) << lines[1];
    EXPECT_EQ("1", Field(lines[2], "skip"));

    // An address keeps the size it was handed out with when a rule changes it later.
    server.Rules().AddRule("track 104 size 999");
    const Answer before =
        Exchange(server.Port(), "GET", PathOf(Sign(Field(lines[3], "songurl"), kUid)));
    EXPECT_EQ(std::stoul(Field(lines[3], "songsize")), before.body.size());
    for (const std::string& line : Tracks("demo"))
    {
        if (Field(line, "trackid") == "104")
        {
            EXPECT_EQ("999", Field(line, "songsize"));
        }
    }
}

// A scenario file's rules apply and the log has one JSON line per request; a bad rule is
// refused, from a file with its line.
TEST_F(StationTest, ScenarioFilesApplyTheLogHasALinePerRequestAndBadRulesAreRefused)
{
    testsupport::WriteFile(home.File("faults.txt"),
                           "# faults\n\ntime status 404\nstation demo sequence-body no-tracks\n");
    station::StationOptions options;
    options.scenarioFile = home.File("faults.txt");
    options.logFile = home.File("station.log");
    station::Station& server = Start(options);
    EXPECT_EQ(404, Exchange(server.Port(), "GET", "/ovdk/radiotime?VERSION=1&OVUID=U1").status);
    EXPECT_TRUE(TrackLines(Sequence("demo").body).empty());
    Exchange(server.Port(), "GET", "/nothing-here", "Range: bytes=5-\r\n");

    testsupport::WriteFile(home.File("bad.txt"), "time status 404\ntrack x cut 10\n");
    options.scenarioFile = home.File("bad.txt");
    try
    {
        station::Station broken(options);
        FAIL() << "a bad rule was accepted";
    }
    catch (const std::invalid_argument& error)
    {
        EXPECT_NE(std::string::npos, std::string(error.what()).find("bad.txt:2:"));
    }
    // One rule for each way a line can be wrong: target, fault, value, count, part.
    for (const char* rule :
         {"track 5 explode 3", "time cut", "content sequence-status 244",
          "station demo sequence-body odd", "time delay 5 times",
          "station demo header status_code=245", "station demo header =5",
          "station demo no-header a=b", "track 101/song field skip=0", "content header a=b",
          "track 101 size 0", "time status 1000", "station demo tracks 1,,2", "track 101 magic odd",
          "track 5 cut 1 times 2 times 3", "track 5 cut 99999999999999999999",
          "station demo/content field skip=0", "track 5 outage 10 later",
          "track 5 content-range 5-3/10"})
        EXPECT_THROW(server.Rules().AddRule(rule), std::invalid_argument) << rule;
    server.Stop();
    const std::string log = testsupport::ReadFile(home.File("station.log"));
    ASSERT_EQ(3, std::count(log.begin(), log.end(), '\n')) << log;
    EXPECT_EQ(0u,
              log.find("{\"method\":\"GET\",\"target\":\"/ovdk/radiotime?VERSION=1&OVUID=U1\""));
    EXPECT_NE(std::string::npos, log.find("\"status\":404"));
    EXPECT_NE(std::string::npos, log.find("\"Range\":\"bytes=5-\""));
}

TEST_F(StationTest, MusicFolderTracksCarryTheirFrameFormat)
{
    // MPEG-1 layer III, 64 kbit/s, 48 kHz, mono, behind a small ID3v2 tag that holds a
    // header of 128 kbit/s, which is skipped with the tag.
    std::string file =
        std::string("ID3\x03\x00\x00\x00\x00\x00\x05", 10) + std::string("\xFF\xFB\x90\x64\x00", 5);
    for (int frame = 0; frame < 50; ++frame)
        file += std::string("\xFF\xFB\x54\xC4", 4) + std::string(188, static_cast<char>(frame));
    std::filesystem::create_directories(home.Path() / "music");
    testsupport::WriteFile(home.Path() / "music" / "Song One.mp3", file);
    testsupport::WriteFile(home.Path() / "music" / "notes.txt", "not audio");
    station::StationOptions options;
    options.musicFolder = (home.Path() / "music").string();
    Start(options);
    const auto lines = Tracks("demo");
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ("64", Field(lines[0], "songbr"));
    EXPECT_EQ("1", Field(lines[0], "numchans"));
    EXPECT_EQ("48000", Field(lines[0], "samplerate"));
    EXPECT_EQ("Song+One", Field(lines[0], "track"));
    const Answer answer =
        Exchange(m_station->Port(), "GET", PathOf(Sign(Field(lines[0], "songurl"), kUid)));
    EXPECT_EQ(file, answer.body);
}

// Stop ends a connection that never sends its request and an answer held back for ten
// minutes; the waits return false at their limit instead of hanging.
TEST_F(StationTest, StopEndsIdleAndDelayedConnectionsAndWaitsEndAtTheirLimit)
{
    station::Station& server = Start();
    EXPECT_FALSE(server.WaitForHolds(1, std::chrono::milliseconds(20)));
    EXPECT_FALSE(server.WaitForRequests([](const auto& records) { return !records.empty(); },
                                        std::chrono::milliseconds(20)));
    Exchange(server.Port(), "GET", "/nothing-here");
    EXPECT_TRUE(server.WaitForRequests([](const auto& records) { return !records.empty(); }));

    server.Rules().AddRule("time delay 600000");
    const int idle = Connect(server.Port());
    const int delayed = Connect(server.Port());
    const std::string request = "GET /ovdk/radiotime?VERSION=1 HTTP/1.1\r\n\r\n";
    ASSERT_EQ(static_cast<ssize_t>(request.size()),
              send(delayed, request.data(), request.size(), 0));
    ASSERT_TRUE(server.WaitForHolds(1));
    server.Stop();
    for (const int fd : {idle, delayed})
    {
        char byte;
        EXPECT_LE(recv(fd, &byte, 1, 0), 0); // closed (or reset) without an answer
        close(fd);
    }
}

// The program on a free port with its options, signed for the hour its real clock
// reports; SIGTERM ends it with 0, a bad option or value with 2.
TEST(StationProgramTest, ServesUnderItsOptionsAndRefusesBadOnes)
{
    testsupport::TempHome home;
    const std::string cache = (home.Path() / "cache").string();
    testsupport::ServerProcess program({OVR_STATION_BINARY, "--port", "0", "--track-size", "300000",
                                        "--music-seconds", "1", "--music-cache", cache});
    const uint16_t port = program.Port();
    ASSERT_NE(0, port) << program.FirstLine();
    const uint64_t hours = TimeOf(port) / 3600;
    const auto lines = TrackLines(
        Exchange(port, "POST", SequenceTarget("demo", "U1", LogValue("U1", hours))).body);
    ASSERT_EQ(4u, lines.size());
    for (const std::string& line : lines)
        EXPECT_EQ("300000", Field(line, "songsize"));
    const std::string address = PathOf(Sign(Field(lines[0], "songurl"), "U1"));
    const Answer content = Exchange(port, "GET", address);
    EXPECT_EQ(300000u, content.body.size());
    EXPECT_TRUE(MatchesPattern(content.body, std::stoul(Field(lines[0], "trackid")) * 2, 0));
    EXPECT_EQ(403, Exchange(port, "GET", PathOf(Sign(Field(lines[0], "songurl"), "U2"))).status);

    const auto music = TrackLines(
        Exchange(port, "POST", SequenceTarget("music", "U1", LogValue("U1", hours))).body);
    ASSERT_FALSE(music.empty());
    const Answer song = Exchange(port, "GET", PathOf(Sign(Field(music[0], "songurl"), "U1")));
    ASSERT_EQ(200, song.status);
    const station::MpegWalk walk = station::WalkMpegFrames(song.body);
    EXPECT_TRUE(walk.Whole(song.body.size()));
    EXPECT_LE(walk.samples, 44100u + 3 * 1152u) << "one second at most";
    EXPECT_FALSE(std::filesystem::is_empty(cache));
    const int status = program.Stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    for (const char* arguments :
         {"--track-size 0", "--track-size 12x", "--port 70000", "--port", "--unknown 1",
          "--music-seconds 0", "--music-seconds x", "--music-seconds -1", "--music-seconds ''",
          "--tls-cert /dev/null"})
    {
        const std::string command =
            std::string(OVR_STATION_BINARY) + " " + arguments + " >/dev/null 2>&1";
        const int code = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(code) && WEXITSTATUS(code) == 2) << arguments << ": " << code;
    }
}
} // namespace

// With a certificate and its key the program speaks TLS (what a TLS station serves is
// played in the integration tests).
TEST(StationProgramTest, ServesTlsWithItsCertificate)
{
    testsupport::TempHome home;
    testsupport::CTestAuthority authority(home.Path().string());
    const testsupport::STlsFiles files =
        authority.Issue(testsupport::ECertificate::eGood, "station");
    testsupport::ServerProcess program({OVR_STATION_BINARY, "--port", "0", "--tls-cert",
                                        files.certFile, "--tls-key", files.keyFile});
    ASSERT_NE(0, program.Port()) << program.FirstLine();
    EXPECT_EQ(program.FirstLine().rfind("listening on https://127.0.0.1:", 0), 0u);
    EXPECT_EQ(0, program.Stop());
}
