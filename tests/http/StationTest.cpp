// The station server on loopback, spoken to over raw sockets: the time answer, signed
// sequence requests, signed content addresses, ranges, resume tokens and faults. Every
// signature is computed here from the published rules, not with the station's helpers.
#include "StationClient.h"
#include "platform/Http.h"
#include "platform/Xml.h"
#include "support/ServerProcess.h"
#include "support/TestCertificates.h"
#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
using namespace stationtest;
using StationTest = StationTestBase;

TEST_F(StationTest, TimeAnswerIsSessionParameterFile)
{
    Start();
    const Answer answer = Exchange(m_station->Port(), "GET", "/ovdk/radiotime?VERSION=1&OVUID=U1");
    ASSERT_EQ(200, answer.status);
    platform::xml::Document document;
    ASSERT_TRUE(document.LoadFromBuffer(answer.body));
    const auto info = document.Root()->FirstDescendant("INFO");
    ASSERT_TRUE(info);
    EXPECT_EQ(std::to_string(kNow), info->AttributeNoCase("strTimeStamp").value_or(""));
}

TEST_F(StationTest, SignedSequenceRequestGetsHeaderAndTracks)
{
    Start();
    const Answer answer = Sequence("demo");
    ASSERT_EQ(200, answer.status);
    for (const char* key : {"status_code=200\n", "cachelow=", "cachehigh=", "numcaches=", "minbr=",
                            "startthresh=", "ccdwindow=", "ccdthresh=25\n"})
        EXPECT_NE(std::string::npos, answer.body.find(key)) << key;
    EXPECT_LT(answer.body.find("ccdthresh="), answer.body.find("OVDK::"));
    const auto lines = TrackLines(answer.body);
    ASSERT_EQ(4u, lines.size());
    for (const std::string& line : lines)
    {
        EXPECT_EQ("::", line.substr(line.size() - 2));
        EXPECT_EQ("128", Field(line, "songbr"));
        EXPECT_EQ("2", Field(line, "numchans"));
        EXPECT_EQ("44100", Field(line, "samplerate"));
        EXPECT_EQ(0u, Field(line, "songurl").rfind(m_station->BaseUrl(), 0));
        const uint32_t size = std::stoul(Field(line, "songsize"));
        EXPECT_GE(size, 100000u);
        EXPECT_LE(size, 400000u);
    }
}

TEST_F(StationTest, IdentifierAfterUserIdIsTheOneSigned)
{
    Start();
    EXPECT_EQ(4u, TrackLines(Sequence("demo", std::string("42%3A") + kUid).body).size());
}

TEST_F(StationTest, SignatureOfPreviousHourIsAcceptedOlderIsNot)
{
    Start();
    const uint64_t hours = kNow / 3600;
    EXPECT_EQ(4u, TrackLines(Sequence("demo", kUid, LogValue(kUid, hours - 1)).body).size());
    const Answer old = Sequence("demo", kUid, LogValue(kUid, hours - 2));
    EXPECT_TRUE(TrackLines(old.body).empty());
    EXPECT_NE(std::string::npos, old.body.find("status_code=500\n"));
}

TEST_F(StationTest, WrongSignatureGetsNoTracks)
{
    Start();
    for (const std::string& log :
         {LogValue("someone-else", kNow / 3600), std::string(32, 'A'), std::string()})
    {
        const Answer answer = Sequence("demo", kUid, log);
        EXPECT_EQ(200, answer.status);
        EXPECT_TRUE(TrackLines(answer.body).empty()) << log;
    }
}

TEST_F(StationTest, UnknownStationAnswersStatus404)
{
    Start();
    const Answer answer = Sequence("no-such-station");
    EXPECT_NE(std::string::npos, answer.body.find("status_code=404\n"));
    EXPECT_TRUE(TrackLines(answer.body).empty());
}

TEST_F(StationTest, SignedContentAddressAnswersAnnouncedBytes)
{
    Start();
    for (const std::string& line : Tracks("demo"))
    {
        const std::string url = Sign(Field(line, "songurl"), kUid);
        const Answer answer = Exchange(m_station->Port(), "GET", PathOf(url));
        ASSERT_EQ(200, answer.status) << url;
        const uint32_t trackid = std::stoul(Field(line, "trackid"));
        EXPECT_EQ(std::stoul(Field(line, "songsize")), answer.body.size());
        EXPECT_EQ(Field(line, "songsize"), answer.Header("Content-Length"));
        EXPECT_TRUE(MatchesPattern(answer.body, trackid * 2, 0));
    }
}

TEST_F(StationTest, WronglySignedContentAddressIsRefused)
{
    Start();
    const std::string url = Field(Tracks("demo").front(), "songurl");
    EXPECT_EQ(403, Exchange(m_station->Port(), "GET", PathOf(url)).status); // unsigned
    EXPECT_EQ(403, Exchange(m_station->Port(), "GET", PathOf(Sign(url, "other"))).status);
    std::string tampered = PathOf(Sign(url, kUid));
    tampered.replace(tampered.find("TOK=") + 4, 1, "9");
    EXPECT_EQ(403, Exchange(m_station->Port(), "GET", tampered).status);
}

TEST_F(StationTest, SplitTrackServesCacheAndSongParts)
{
    Start();
    const auto lines = Tracks("split");
    ASSERT_EQ(3u, lines.size());
    for (const std::string& line : lines)
    {
        const uint32_t trackid = std::stoul(Field(line, "trackid"));
        EXPECT_FALSE(Field(line, "cacheid").empty());
        EXPECT_NE("0", Field(line, "splitcache"));
        EXPECT_NE("0", Field(line, "splitsong"));
        const Answer cache =
            Exchange(m_station->Port(), "GET", PathOf(Sign(Field(line, "cacheurl"), kUid)));
        ASSERT_EQ(200, cache.status);
        EXPECT_EQ(std::stoul(Field(line, "cachesize")), cache.body.size());
        EXPECT_TRUE(MatchesPattern(cache.body, trackid * 2 + 1, 0));
        const Answer song =
            Exchange(m_station->Port(), "GET", PathOf(Sign(Field(line, "songurl"), kUid)));
        EXPECT_EQ(std::stoul(Field(line, "songsize")), song.body.size());
    }
}

TEST_F(StationTest, RangeRequestGets206WithBytesFromOffset)
{
    Start();
    const std::string line = Tracks("rock").front();
    const uint32_t size = std::stoul(Field(line, "songsize"));
    const uint32_t trackid = std::stoul(Field(line, "trackid"));
    const std::string path = PathOf(Sign(Field(line, "songurl"), kUid));
    const Answer answer = Exchange(m_station->Port(), "GET", path, "Range: bytes=1000-\r\n");
    ASSERT_EQ(206, answer.status);
    EXPECT_EQ(size - 1000, answer.body.size());
    EXPECT_EQ("bytes 1000-" + std::to_string(size - 1) + "/" + std::to_string(size),
              answer.Header("Content-Range"));
    EXPECT_TRUE(MatchesPattern(answer.body, trackid * 2, 1000));
    EXPECT_EQ(416, Exchange(m_station->Port(), "GET", path,
                            "Range: bytes=" + std::to_string(size) + "-\r\n")
                       .status);
}

TEST_F(StationTest, RetryTokenIsAcceptedOnlyForItsOffset)
{
    Start();
    // Tracks 201..203 carry the three kinds of MAGIC= suffix: plain, '+' and "%2B".
    for (const std::string& line : Tracks("rock"))
    {
        const std::string url = Sign(Field(line, "songurl"), kUid);
        const auto resume = [&](uint32_t offset, const std::string& token)
        {
            return Exchange(m_station->Port(), "GET",
                            PathOf(url) + "&X-Range=" + std::to_string(offset) + "-&RETRY=" + token,
                            "Range: bytes=" + std::to_string(offset) + "-\r\n");
        };
        const Answer good = resume(5000, Retry(url, kUid, 5000));
        EXPECT_EQ(206, good.status) << url;
        EXPECT_EQ(std::stoul(Field(line, "songsize")) - 5000, good.body.size());
        EXPECT_EQ(403, resume(5000, Retry(url, kUid, 4999)).status);
        EXPECT_EQ(403, resume(5000, Retry(url, "other", 5000)).status);
        EXPECT_EQ(403, resume(5000, "").status);
    }
}

TEST_F(StationTest, ContentFaultsCutResetAndStatus)
{
    station::Station& server = Start();
    const auto lines = Tracks("demo");
    const auto path = [&](std::size_t i) { return PathOf(Sign(Field(lines[i], "songurl"), kUid)); };
    const std::string id0 = Field(lines[0], "trackid"), id1 = Field(lines[1], "trackid"),
                      id2 = Field(lines[2], "trackid");
    server.Rules().AddRule("track " + id0 + " cut 1000 times 1");
    server.Rules().AddRule("track " + id1 + " reset 3000");
    server.Rules().AddRule("track " + id2 + "/song status 503");

    const Answer cut = Exchange(server.Port(), "GET", path(0));
    EXPECT_EQ(200, cut.status);
    EXPECT_EQ(Field(lines[0], "songsize"), cut.Header("Content-Length"));
    EXPECT_EQ(1000u, cut.body.size());
    EXPECT_FALSE(cut.reset);
    EXPECT_EQ(std::stoul(Field(lines[0], "songsize")),
              Exchange(server.Port(), "GET", path(0)).body.size()); // "times 1" is used up

    const Answer reset = Exchange(server.Port(), "GET", path(1));
    EXPECT_TRUE(reset.reset);
    EXPECT_LE(reset.body.size(), 3000u);

    EXPECT_EQ(503, Exchange(server.Port(), "GET", path(2)).status);

    // A byte rate limit slows the answer down but still delivers every byte.
    const std::string id3 = Field(lines[3], "trackid");
    server.Rules().AddRule("track " + id3 + " rate 50000000");
    const Answer limited = Exchange(server.Port(), "GET", path(3));
    EXPECT_EQ(std::stoul(Field(lines[3], "songsize")), limited.body.size());
    EXPECT_TRUE(MatchesPattern(limited.body, std::stoul(id3) * 2, 0));
}

TEST_F(StationTest, HoldStallsTheAnswerAfterItsBytesUntilReleased)
{
    station::Station& server = Start();
    const auto lines = Tracks("demo");
    const uint32_t size = static_cast<uint32_t>(std::stoul(Field(lines[0], "songsize")));
    server.Rules().AddRule("track " + Field(lines[0], "trackid") + " hold 5000 times 1");
    const int fd = Connect(server.Port());
    const std::string request =
        "GET " + PathOf(Sign(Field(lines[0], "songurl"), kUid)) + " HTTP/1.1\r\n\r\n";
    ASSERT_EQ(static_cast<ssize_t>(request.size()), send(fd, request.data(), request.size(), 0));

    std::string received;
    const auto bodySize = [&]
    {
        const std::size_t headEnd = received.find("\r\n\r\n");
        return headEnd == std::string::npos ? 0 : received.size() - headEnd - 4;
    };
    char buffer[8192];
    while (bodySize() < 5000)
    {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        ASSERT_GT(got, 0);
        received.append(buffer, static_cast<std::size_t>(got));
    }
    ASSERT_TRUE(server.WaitForHolds(1));
    EXPECT_EQ(5000u, bodySize());
    EXPECT_EQ(-1, recv(fd, buffer, sizeof buffer, MSG_DONTWAIT)); // nothing more comes
    EXPECT_EQ(EAGAIN, errno);

    server.ReleaseHeld();
    for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        received.append(buffer, static_cast<std::size_t>(got));
    close(fd);
    EXPECT_EQ(size, bodySize());
    EXPECT_TRUE(MatchesPattern(received.substr(received.size() - size),
                               std::stoul(Field(lines[0], "trackid")) * 2, 0));
}

TEST_F(StationTest, SequenceFaultsChangeStatusAndBody)
{
    station::Station& server = Start();
    server.Rules().AddRule("station rock sequence-status 244");
    server.Rules().AddRule("station split sequence-body bad-line 2");
    server.Rules().AddRule("station split sequence-body long-line 3");
    server.Rules().AddRule("sequence status 500 times 1");

    EXPECT_EQ(500, Sequence("demo").status);
    EXPECT_EQ(4u, Tracks("demo").size());

    const Answer ended = Sequence("rock");
    EXPECT_NE(std::string::npos, ended.body.find("status_code=244\n"));
    EXPECT_TRUE(TrackLines(ended.body).empty());

    const auto lines = Tracks("split");
    ASSERT_EQ(3u, lines.size());
    EXPECT_FALSE(Field(lines[0], "songbr").empty());
    EXPECT_TRUE(Field(lines[1], "songbr").empty());
    EXPECT_EQ(std::string(5000, 'A'), Field(lines[2], "album"));
    EXPECT_FALSE(Field(lines[2], "songbr").empty());
}

TEST_F(StationTest, ScenarioFileRulesApplyAndErrorsNameTheLine)
{
    testsupport::TempHome home;
    testsupport::WriteFile(home.File("faults.txt"),
                           "# faults\n\ntime status 404\nstation demo sequence-body no-tracks\n");
    station::StationOptions options;
    options.scenarioFile = home.File("faults.txt");
    station::Station& server = Start(options);
    EXPECT_EQ(404, Exchange(server.Port(), "GET", "/ovdk/radiotime?VERSION=1&OVUID=U1").status);
    EXPECT_TRUE(TrackLines(Sequence("demo").body).empty());

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
    for (const char* rule : {"track 5 explode 3", "time cut", "content sequence-status 244",
                             "station demo sequence-body odd", "time delay 5 times", "content hold",
                             "station demo sequence-body long-line x"})
        EXPECT_THROW(server.Rules().AddRule(rule), std::invalid_argument) << rule;
}

TEST_F(StationTest, LogHasOneJsonLinePerRequest)
{
    testsupport::TempHome home;
    station::StationOptions options;
    options.logFile = home.File("station.log");
    station::Station& server = Start(options);
    Exchange(server.Port(), "GET", "/ovdk/radiotime?VERSION=1&OVUID=U1");
    Exchange(server.Port(), "GET", "/nothing-here", "Range: bytes=5-\r\n");
    server.Stop();
    const std::string log = testsupport::ReadFile(home.File("station.log"));
    ASSERT_EQ(2, std::count(log.begin(), log.end(), '\n'));
    EXPECT_EQ(0u,
              log.find("{\"method\":\"GET\",\"target\":\"/ovdk/radiotime?VERSION=1&OVUID=U1\""));
    EXPECT_NE(std::string::npos, log.find("\"status\":404"));
    EXPECT_NE(std::string::npos, log.find("\"Range\":\"bytes=5-\""));
}

TEST_F(StationTest, MusicFolderTracksCarryTheirFrameFormat)
{
    testsupport::TempHome home;
    // MPEG-1 layer III, 64 kbit/s, 48 kHz, mono, behind a small ID3v2 tag.
    std::string file = std::string("ID3\x03\x00\x00\x00\x00\x00\x05", 10) + "abcde";
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

TEST_F(StationTest, StopEndsIdleAndDelayedConnections)
{
    station::Station& server = Start();
    server.Rules().AddRule("time delay 600000");
    const auto open = [&] { return Connect(server.Port()); };
    // One connection never sends its request; the other asks for an answer held back
    // for ten minutes. Stop returns only once every connection thread has been joined.
    const int idle = open();
    const int delayed = open();
    const std::string request = "GET /ovdk/radiotime?VERSION=1 HTTP/1.1\r\n\r\n";
    ASSERT_EQ(static_cast<ssize_t>(request.size()),
              send(delayed, request.data(), request.size(), 0));
    server.Stop();
    for (const int fd : {idle, delayed})
    {
        char byte;
        EXPECT_LE(recv(fd, &byte, 1, 0), 0); // closed (or reset) without an answer
        close(fd);
    }
}

TEST(StationProgramTest, StartsOnAFreePortAndAnswers)
{
    testsupport::ServerProcess program({OVR_STATION_BINARY, "--port", "0"});
    const uint16_t port = program.Port();
    ASSERT_NE(0, port) << program.FirstLine();

    const Answer time = Exchange(port, "GET", "/ovdk/radiotime?VERSION=1&OVUID=U1");
    ASSERT_EQ(200, time.status);
    platform::xml::Document document;
    ASSERT_TRUE(document.LoadFromBuffer(time.body));
    const uint64_t now = std::stoull(
        document.Root()->FirstDescendant("INFO")->AttributeNoCase("strTimeStamp").value());
    const Answer sequence =
        Exchange(port, "POST", SequenceTarget("demo", "U1", LogValue("U1", now / 3600)));
    const auto lines = TrackLines(sequence.body);
    ASSERT_FALSE(lines.empty());
    const std::string address = PathOf(Sign(Field(lines[0], "songurl"), "U1"));
    const Answer content = Exchange(port, "GET", address);
    EXPECT_EQ(200, content.status);
    EXPECT_EQ(std::stoul(Field(lines[0], "songsize")), content.body.size());
    const Answer range = Exchange(port, "GET", address, "Range: bytes=1000-\r\n");
    EXPECT_EQ(206, range.status);
    EXPECT_EQ(content.body.substr(1000), range.body);

    const Answer forged =
        Exchange(port, "POST", SequenceTarget("demo", "U1", LogValue("U1", now / 3600 + 5)));
    EXPECT_NE(std::string::npos, forged.body.find("status_code=500"));
    EXPECT_TRUE(TrackLines(forged.body).empty());
    EXPECT_EQ(403, Exchange(port, "GET", PathOf(Sign(Field(lines[0], "songurl"), "U2"))).status);

    const int status = program.Stop();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}
} // namespace

TEST(StationProgramTest, ServesTlsWithItsCertificateAndHandsOutHttpsAddresses)
{
    namespace http = platform::http;
    testsupport::TempHome home;
    testsupport::CTestAuthority authority(home.Path().string());
    const testsupport::STlsFiles files =
        authority.Issue(testsupport::ECertificate::eGood, "station");
    testsupport::ServerProcess program({OVR_STATION_BINARY, "--port", "0", "--tls-cert",
                                        files.certFile, "--tls-key", files.keyFile});
    ASSERT_NE(0, program.Port()) << program.FirstLine();
    EXPECT_EQ(program.FirstLine().rfind("listening on https://127.0.0.1:", 0), 0u);

    http::Session session("StationTest", authority.CaFile());
    http::Connection connection(session, "127.0.0.1", program.Port(), http::EScheme::eHttps);
    http::Request request(connection, "POST", SequenceTarget("demo", "U1", "0"));
    ASSERT_TRUE(request.Send()) << http::LastError() << " " << request.FailureText();
    std::string body(4096, '\0');
    DWORD dwRead = 0;
    ASSERT_TRUE(request.Read(body.data(), DWORD(body.size()), &dwRead));
    body.resize(dwRead);
    EXPECT_NE(std::string::npos, body.find("status_code=500")); // answered over TLS
    EXPECT_EQ(0, program.Stop());
}
