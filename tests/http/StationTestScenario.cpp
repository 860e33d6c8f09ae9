// The scenario rules that later tests steer the station with: header values and track
// fields of their choosing, track lists and sizes (also far beyond 4 GiB, served without
// holding them), cuts and resets at the first and the last byte and inside a resumed
// answer, success statuses that serve content, rules that let their first matches pass,
// a station's own content rules, and the forms of a content address's MAGIC= value.
// Expected bytes and signatures are computed here from the published rules.
#include "StationClient.h"
#include "platform/Clock.h"
#include "support/ServerProcess.h"

#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
using namespace stationtest;
using StationScenario = StationTestBase;

// One answer read on its own connection: the head, and the body checked byte by byte
// against the pattern of `salt` from `from`, without keeping it in memory.
struct Streamed
{
    int status = 0;
    std::string head;
    uint64_t bodyBytes = 0;
    std::optional<uint64_t> firstMismatch; // body offset of the first wrong byte
    bool reset = false;

    std::string Header(const std::string& name) const
    {
        Answer answer;
        answer.head = head;
        return answer.Header(name);
    }
};

// `receiveBuffer` above 0 makes the client's socket buffer that small, so the station
// must wait for the client to read.
Streamed Stream(uint16_t port, const std::string& target, uint32_t salt, uint64_t from,
                const std::string& extraHeaders = {}, int receiveBuffer = 0)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    LimitReads(fd);
    if (receiveBuffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
    EXPECT_EQ(static_cast<ssize_t>(request.size()), send(fd, request.data(), request.size(), 0));

    Streamed answer;
    std::string pending;
    bool inBody = false;
    std::vector<char> buffer(65536);
    for (;;)
    {
        const ssize_t got = recv(fd, buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == ECONNRESET)
            answer.reset = true;
        if (got <= 0)
            break;
        std::string_view bytes(buffer.data(), static_cast<std::size_t>(got));
        if (!inBody)
        {
            pending.append(bytes);
            const std::size_t headEnd = pending.find("\r\n\r\n");
            if (headEnd == std::string::npos)
                continue;
            answer.head = pending.substr(0, headEnd + 2);
            answer.status = std::atoi(answer.head.c_str() + 9);
            bytes = std::string_view(pending).substr(headEnd + 4);
            inBody = true;
        }
        for (const char byte : bytes)
        {
            if (!answer.firstMismatch &&
                static_cast<uint8_t>(byte) != Expected(salt, from + answer.bodyBytes))
                answer.firstMismatch = answer.bodyBytes;
            ++answer.bodyBytes;
        }
    }
    close(fd);
    return answer;
}

// The path of a line's song (or cache) address, signed for the test's identifier.
std::string SignedPath(const std::string& line, const std::string& key = "songurl")
{
    return PathOf(Sign(Field(line, key), kUid));
}

// The line of `trackid` in a sequence answer's lines.
std::string LineOf(const std::vector<std::string>& lines, uint32_t trackid)
{
    for (const std::string& line : lines)
        if (Field(line, "trackid") == std::to_string(trackid))
            return line;
    ADD_FAILURE() << "no line for track " << trackid;
    return {};
}

// Whether a connection to the port is refused.
bool Refused(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool refused = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                         errno == ECONNREFUSED;
    close(fd);
    return refused;
}

// Whether the line has the field at all (an empty value counts).
bool HasField(const std::string& line, const std::string& key)
{
    return line.find("::" + key + "=") != std::string::npos;
}

TEST_F(StationScenario, HeaderRulesSetAddAndDropSequenceValues)
{
    station::Station& server = Start();
    server.Rules().AddRule("station demo header startthresh=7");
    server.Rules().AddRule("station demo header numcaches=2 times 1");
    server.Rules().AddRule("station demo header endradiobrowserscript=Good+bye");
    server.Rules().AddRule("station demo no-header minpreconnectcache");
    server.Rules().AddRule("sequence header ccdthresh=40 after 1");
    server.Rules().AddRule("station demo header minbr=");

    const Answer first = Sequence("demo");
    EXPECT_EQ("7", HeaderValue(first.body, "startthresh"));
    EXPECT_EQ("2", HeaderValue(first.body, "numcaches"));
    EXPECT_EQ("Good+bye", HeaderValue(first.body, "endradiobrowserscript"));
    EXPECT_EQ(std::nullopt, HeaderValue(first.body, "minpreconnectcache"));
    EXPECT_EQ("25", HeaderValue(first.body, "ccdthresh")); // the first match passes
    EXPECT_EQ("", HeaderValue(first.body, "minbr"));
    EXPECT_EQ("200", HeaderValue(first.body, "status_code"));
    EXPECT_EQ(4u, TrackLines(first.body).size());
    // A value set in place stays where the header had it; a new one comes after the rest.
    EXPECT_LT(first.body.find("startthresh=7\n"), first.body.find("ccdwindow="));
    EXPECT_LT(first.body.find("ccdthresh="), first.body.find("endradiobrowserscript="));

    const Answer second = Sequence("demo");
    EXPECT_EQ("4", HeaderValue(second.body, "numcaches")); // used up
    EXPECT_EQ("40", HeaderValue(second.body, "ccdthresh"));
    EXPECT_EQ("7", HeaderValue(second.body, "startthresh"));

    const Answer other = Sequence("rock"); // station rules stay with their station
    EXPECT_EQ("3", HeaderValue(other.body, "startthresh"));
    EXPECT_EQ("2", HeaderValue(other.body, "minpreconnectcache"));
    EXPECT_EQ("40", HeaderValue(other.body, "ccdthresh"));
}

TEST_F(StationScenario, FieldRulesSetAddAndDropTrackFields)
{
    station::Station& server = Start();
    server.Rules().AddRule("track 101 field skip=0");
    server.Rules().AddRule("station demo field retry=0");
    server.Rules().AddRule("track 102 no-field skip");
    server.Rules().AddRule("track 103 field browserstr=Hi+there");
    server.Rules().AddRule("track 104 field songurl=http://127.0.0.1:9/elsewhere.mp3 times 1");
    server.Rules().AddRule("track 302 field splitcache=3");
    server.Rules().AddRule("track 302 field splitsong=5");
    server.Rules().AddRule("track 303 field SPLITSONG=0");

    const auto demo = Tracks("demo");
    EXPECT_EQ("0", Field(LineOf(demo, 101), "skip"));
    EXPECT_EQ("1", Field(LineOf(demo, 103), "skip"));
    EXPECT_FALSE(HasField(LineOf(demo, 102), "skip"));
    EXPECT_EQ("Hi+there", Field(LineOf(demo, 103), "browserstr"));
    EXPECT_EQ("http://127.0.0.1:9/elsewhere.mp3", Field(LineOf(demo, 104), "songurl"));
    for (const std::string& line : demo)
    {
        EXPECT_EQ("0", Field(line, "retry"));
        EXPECT_EQ(line.find("::retry="), line.rfind("::retry=")) << line;
        EXPECT_EQ("::", line.substr(line.size() - 2));
    }
    // "times 1" is used up: the next sequence hands out the station's own address again.
    EXPECT_EQ(0u, Field(LineOf(Tracks("demo"), 104), "songurl").rfind(server.BaseUrl(), 0));
    EXPECT_EQ("30", Field(LineOf(Tracks("rock"), 201), "retry")); // other stations keep theirs

    const auto split = Tracks("split");
    EXPECT_EQ("3", Field(LineOf(split, 302), "splitcache"));
    EXPECT_EQ("5", Field(LineOf(split, 302), "splitsong"));
    // A key that differs only in case replaces the field, written as the rule writes it.
    EXPECT_FALSE(HasField(LineOf(split, 303), "splitsong"));
    EXPECT_EQ("0", Field(LineOf(split, 303), "SPLITSONG"));
}

TEST_F(StationScenario, TracksRuleComposesAStationInItsOrder)
{
    station::Station& server = Start();
    server.Rules().AddRule("station mixed tracks 301,101,999");
    for (int round = 0; round < 2; ++round) // served as written, not rotated
    {
        const auto lines = Tracks("mixed");
        ASSERT_EQ(3u, lines.size());
        EXPECT_EQ("301", Field(lines[0], "trackid"));
        EXPECT_EQ("101", Field(lines[1], "trackid"));
        EXPECT_EQ("999", Field(lines[2], "trackid"));
        EXPECT_EQ("OVC301", Field(lines[0], "cacheid"));
        EXPECT_FALSE(HasField(lines[1], "cacheid"));
        // A track the catalogue lacks is synthesised whole, of the default size.
        EXPECT_EQ("160000", Field(lines[2], "songsize"));
        const Answer content = Exchange(server.Port(), "GET", SignedPath(lines[2]));
        EXPECT_EQ(200, content.status);
        EXPECT_EQ(160000u, content.body.size());
        EXPECT_TRUE(MatchesPattern(content.body, 999 * 2, 0));
    }
    server.Rules().AddRule("station demo tracks 104 times 1");
    EXPECT_EQ(1u, Tracks("demo").size());
    EXPECT_EQ(4u, Tracks("demo").size());
}

TEST_F(StationScenario, SizeRulesAndTheTrackSizeOptionChooseTheBytesServed)
{
    station::StationOptions options;
    options.trackSize = 500000;
    station::Station& server = Start(options);
    server.Rules().AddRule("track 101 size 1234");
    server.Rules().AddRule("track 301/cache size 777");
    server.Rules().AddRule("track 102/cache size 5000");

    const auto demo = Tracks("demo");
    EXPECT_EQ("1234", Field(LineOf(demo, 101), "songsize"));
    EXPECT_EQ("500000", Field(LineOf(demo, 103), "songsize"));
    const Answer small = Exchange(server.Port(), "GET", SignedPath(LineOf(demo, 101)));
    EXPECT_EQ(1234u, small.body.size());
    EXPECT_TRUE(MatchesPattern(small.body, 101 * 2, 0));
    const Answer big = Exchange(server.Port(), "GET", SignedPath(LineOf(demo, 103)));
    EXPECT_EQ(500000u, big.body.size());
    EXPECT_TRUE(MatchesPattern(big.body, 103 * 2, 0));

    // A cache part size makes a whole track split, weights 1:1.
    const std::string line102 = LineOf(demo, 102);
    EXPECT_EQ("OVC102", Field(line102, "cacheid"));
    EXPECT_EQ("5000", Field(line102, "cachesize"));
    EXPECT_EQ("1", Field(line102, "splitcache"));
    EXPECT_EQ("1", Field(line102, "splitsong"));
    const Answer cache = Exchange(server.Port(), "GET", SignedPath(line102, "cacheurl"));
    EXPECT_EQ(5000u, cache.body.size());
    EXPECT_TRUE(MatchesPattern(cache.body, 102 * 2 + 1, 0));

    const std::string line301 = LineOf(Tracks("split"), 301);
    EXPECT_EQ("777", Field(line301, "cachesize"));
    EXPECT_EQ(777u, Exchange(server.Port(), "GET", SignedPath(line301, "cacheurl")).body.size());

    // An address keeps the size it was handed out with when a rule changes later.
    const std::string before = SignedPath(LineOf(Tracks("demo"), 104));
    server.Rules().AddRule("track 104 size 999");
    EXPECT_EQ(500000u, Exchange(server.Port(), "GET", before).body.size());
    EXPECT_EQ("999", Field(LineOf(Tracks("demo"), 104), "songsize"));
}

TEST_F(StationScenario, StreamsAHundredMegabyteTrackByteExact)
{
    station::Station& server = Start();
    const uint64_t size = 100ull << 20;
    server.Rules().AddRule("track 101 size " + std::to_string(size));
    const std::string line = LineOf(Tracks("demo"), 101);
    EXPECT_EQ(std::to_string(size), Field(line, "songsize"));
    const Streamed answer = Stream(server.Port(), SignedPath(line), 101 * 2, 0);
    EXPECT_EQ(200, answer.status);
    EXPECT_EQ(std::to_string(size), answer.Header("Content-Length"));
    EXPECT_EQ(size, answer.bodyBytes);
    EXPECT_EQ(std::nullopt, answer.firstMismatch);
}

TEST_F(StationScenario, OffsetsBeyondFourGigabytesAreSixtyFourBit)
{
    station::Station& server = Start();
    const uint64_t size = 5000000000ull;
    server.Rules().AddRule("track 101 size " + std::to_string(size));
    const std::string line = LineOf(Tracks("demo"), 101);
    EXPECT_EQ("5000000000", Field(line, "songsize"));
    const std::string path = SignedPath(line);

    const Answer tail = Exchange(server.Port(), "GET", path, "Range: bytes=4999999000-\r\n");
    EXPECT_EQ(206, tail.status);
    EXPECT_EQ("1000", tail.Header("Content-Length"));
    EXPECT_EQ("bytes 4999999000-4999999999/5000000000", tail.Header("Content-Range"));
    EXPECT_EQ(1000u, tail.body.size());
    EXPECT_TRUE(MatchesPattern(tail.body, 101 * 2, 4999999000ull));

    // Across 2^31 and 2^32, with a closed range.
    for (const uint64_t first : {2147483640ull, 4294967290ull})
    {
        const Answer piece = Exchange(server.Port(), "GET", path,
                                      "Range: bytes=" + std::to_string(first) + "-" +
                                          std::to_string(first + 19) + "\r\n");
        EXPECT_EQ(206, piece.status);
        EXPECT_EQ(20u, piece.body.size());
        EXPECT_TRUE(MatchesPattern(piece.body, 101 * 2, first)) << first;
    }

    // A resume past 2^32, signed for its offset.
    const std::string url = Sign(Field(line, "songurl"), kUid);
    const uint64_t offset = 4999999990ull;
    const Answer resumed = Exchange(server.Port(), "GET",
                                    PathOf(url) + "&X-Range=" + std::to_string(offset) +
                                        "-&RETRY=" + Retry(url, kUid, offset),
                                    "Range: bytes=" + std::to_string(offset) + "-\r\n");
    EXPECT_EQ(206, resumed.status);
    EXPECT_EQ(10u, resumed.body.size());
    EXPECT_TRUE(MatchesPattern(resumed.body, 101 * 2, offset));
    EXPECT_EQ(416, Exchange(server.Port(), "GET", path, "Range: bytes=5000000000-\r\n").status);
}

TEST_F(StationScenario, CutsAndResetsAtTheFirstAndTheLastByte)
{
    station::Station& server = Start();
    const std::string line = LineOf(Tracks("demo"), 101);
    const uint64_t size = std::stoull(Field(line, "songsize"));
    const std::string path = SignedPath(line);
    struct Case
    {
        std::string rule;
        uint64_t bytes;
        bool reset;
    };
    const Case cases[] = {{"cut 0", 0, false},
                          {"cut " + std::to_string(size - 1), size - 1, false},
                          {"reset 0", 0, true},
                          {"reset " + std::to_string(size - 1), size - 1, true},
                          {"reset " + std::to_string(size), size, true}};
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.rule);
        server.Rules().AddRule("track 101 " + c.rule + " times 1");
        const Streamed answer = Stream(server.Port(), path, 101 * 2, 0);
        EXPECT_EQ(200, answer.status); // the head always comes, with the whole length
        EXPECT_EQ(std::to_string(size), answer.Header("Content-Length"));
        EXPECT_EQ(c.bytes, answer.bodyBytes);
        EXPECT_EQ(std::nullopt, answer.firstMismatch);
        EXPECT_EQ(c.reset, answer.reset);
    }
    const Streamed whole = Stream(server.Port(), path, 101 * 2, 0); // every rule used up
    EXPECT_EQ(size, whole.bodyBytes);
    EXPECT_FALSE(whole.reset);
}

TEST_F(StationScenario, AResetComesOnlyAfterASlowClientCouldReadEveryByte)
{
    // A small receive buffer keeps most of the answer in the station's socket when it has
    // written its last byte; a reset then must wait, or it would throw those bytes away.
    station::Station& server = Start();
    server.Rules().AddRule("track 101 size 4000000");
    server.Rules().AddRule("track 101 reset 3000000");
    const std::string line = LineOf(Tracks("demo"), 101);
    const Streamed answer = Stream(server.Port(), SignedPath(line), 101 * 2, 0, {}, 4096);
    EXPECT_EQ(3000000u, answer.bodyBytes);
    EXPECT_EQ(std::nullopt, answer.firstMismatch);
    EXPECT_TRUE(answer.reset);
}

TEST_F(StationScenario, FaultOffsetsCountFromTheStartOfAResumedAnswer)
{
    station::Station& server = Start();
    const std::string line = LineOf(Tracks("demo"), 102);
    const uint64_t size = std::stoull(Field(line, "songsize"));
    const std::string url = Sign(Field(line, "songurl"), kUid);
    const auto resumeFrom = [&](uint64_t offset)
    {
        return Stream(server.Port(),
                      PathOf(url) + "&X-Range=" + std::to_string(offset) +
                          "-&RETRY=" + Retry(url, kUid, offset),
                      102 * 2, offset, "Range: bytes=" + std::to_string(offset) + "-\r\n");
    };

    server.Rules().AddRule("track 102 cut 50000 times 1");
    const Streamed first = Stream(server.Port(), PathOf(url), 102 * 2, 0);
    EXPECT_EQ(50000u, first.bodyBytes);
    const Streamed resumed = resumeFrom(50000); // the cut is used up: the rest comes
    EXPECT_EQ(206, resumed.status);
    EXPECT_EQ(size - 50000, resumed.bodyBytes);
    EXPECT_EQ(std::nullopt, resumed.firstMismatch);

    server.Rules().AddRule("track 102 reset 1000 times 1");
    const Streamed broken = resumeFrom(50000);
    EXPECT_EQ(206, broken.status);
    EXPECT_EQ(std::to_string(size - 50000), broken.Header("Content-Length"));
    EXPECT_EQ(1000u, broken.bodyBytes); // bytes 50000 to 50999 of the track
    EXPECT_EQ(std::nullopt, broken.firstMismatch);
    EXPECT_TRUE(broken.reset);
    EXPECT_EQ(size - 51000, resumeFrom(51000).bodyBytes);
}

TEST_F(StationScenario, SuccessStatusFaultsStillServeTheContent)
{
    station::Station& server = Start();
    const std::string line = LineOf(Tracks("demo"), 103);
    const uint64_t size = std::stoull(Field(line, "songsize"));
    const std::string path = SignedPath(line);

    // 206 although no range was asked for: the whole part, with its Content-Range.
    server.Rules().AddRule("track 103 status 206 times 1");
    const Answer partial = Exchange(server.Port(), "GET", path);
    EXPECT_EQ(206, partial.status);
    EXPECT_EQ("bytes 0-" + std::to_string(size - 1) + "/" + std::to_string(size),
              partial.Header("Content-Range"));
    EXPECT_EQ(size, partial.body.size());
    EXPECT_TRUE(MatchesPattern(partial.body, 103 * 2, 0));

    // 200 to a range request: the server ignores the range and sends it all from byte 0.
    server.Rules().AddRule("track 103 status 200 times 1");
    const Answer ignored = Exchange(server.Port(), "GET", path, "Range: bytes=1000-\r\n");
    EXPECT_EQ(200, ignored.status);
    EXPECT_EQ("", ignored.Header("Content-Range"));
    EXPECT_EQ(size, ignored.body.size());
    EXPECT_TRUE(MatchesPattern(ignored.body, 103 * 2, 0));

    server.Rules().AddRule("track 103 status 503 times 1");
    EXPECT_EQ(503, Exchange(server.Port(), "GET", path).status);
    EXPECT_EQ(206, Exchange(server.Port(), "GET", path, "Range: bytes=1000-\r\n").status);
}

TEST_F(StationScenario, OutagesLyingContentRangesAndRetryAfterFollowTheirRules)
{
    platform::ManualClock clock; // the outage windows move with it only
    station::Station& server = Start();
    const std::vector<std::string> lines = Tracks("demo");
    const std::string path101 = SignedPath(LineOf(lines, 101));
    const std::string path102 = SignedPath(LineOf(lines, 102));

    // 503: each window opens at the first match after it and takes every match within it.
    server.Rules().AddRule("track 101 outage 2000 after 1 times 2");
    server.Rules().AddRule("track 101 retry-after 7 after 1 times 1");
    EXPECT_EQ(200, Exchange(server.Port(), "GET", path101).status);
    const Answer first = Exchange(server.Port(), "GET", path101);
    EXPECT_EQ(503, first.status);
    EXPECT_EQ("7", first.Header("Retry-After"));
    clock.Advance(1999);
    EXPECT_EQ(503, Exchange(server.Port(), "GET", path101).status);
    EXPECT_EQ(200, Exchange(server.Port(), "GET", path102).status) << "another track's request";
    clock.Advance(1);
    EXPECT_EQ(503, Exchange(server.Port(), "GET", path101).status) << "the second window";
    clock.Advance(2000);
    EXPECT_EQ(200, Exchange(server.Port(), "GET", path101).status);

    // Refused: the request that opens the window is reset, then nothing connects until it
    // has passed; the port stays the station's.
    server.Rules().AddRule("track 102 outage 3000 refuse times 1");
    const Answer reset = Exchange(server.Port(), "GET", path102);
    EXPECT_TRUE(reset.reset);
    EXPECT_EQ(0, reset.status);
    EXPECT_TRUE(Refused(server.Port()));
    clock.Advance(3000);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (Refused(server.Port()) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(200, Exchange(server.Port(), "GET", path102).status);

    // A Content-Range that lies: the range asked for is sent, the header says another.
    server.Rules().AddRule("track 102 content-range 0-99/300 times 1");
    const Answer lie = Exchange(server.Port(), "GET", path102, "Range: bytes=1000-\r\n");
    EXPECT_EQ(206, lie.status);
    EXPECT_EQ("bytes 0-99/300", lie.Header("Content-Range"));
    EXPECT_EQ(std::stoull(Field(LineOf(lines, 102), "songsize")) - 1000, lie.body.size());
    EXPECT_TRUE(MatchesPattern(lie.body, 102 * 2, 1000));
}

TEST_F(StationScenario, AfterLetsTheFirstMatchesPass)
{
    station::Station& server = Start();
    server.Rules().AddRule("station rock sequence-status 244 after 2");
    for (int i = 0; i < 2; ++i)
    {
        const Answer answer = Sequence("rock");
        EXPECT_EQ("200", HeaderValue(answer.body, "status_code"));
        EXPECT_EQ(4u, TrackLines(answer.body).size());
    }
    for (int i = 0; i < 2; ++i) // the station has ended for good
    {
        const Answer answer = Sequence("rock");
        EXPECT_EQ("244", HeaderValue(answer.body, "status_code"));
        EXPECT_TRUE(TrackLines(answer.body).empty());
    }

    // A content fault for the second request only; refused requests do not count.
    const std::string line = LineOf(Tracks("demo"), 104);
    const std::string path = SignedPath(line);
    const uint64_t size = std::stoull(Field(line, "songsize"));
    server.Rules().AddRule("track 104 cut 10 after 1 times 1");
    EXPECT_EQ(403, Exchange(server.Port(), "GET", PathOf(Field(line, "songurl"))).status);
    EXPECT_EQ(size, Exchange(server.Port(), "GET", path).body.size());
    EXPECT_EQ(10u, Exchange(server.Port(), "GET", path).body.size());
    EXPECT_EQ(size, Exchange(server.Port(), "GET", path).body.size());
}

TEST_F(StationScenario, AStationsContentRulesFollowTheAddressesItHandedOut)
{
    station::Station& server = Start();
    // "Rock & Roll" serves the tracks of "rock"; a rule names it form-encoded.
    server.Rules().AddRule("station Rock+%26+Roll/content status 503");
    server.Rules().AddRule("station rock/content rate 400000");
    const std::string fromRock = SignedPath(LineOf(Tracks("rock"), 201));
    const std::string fromRockAndRoll = SignedPath(LineOf(Tracks("Rock+%26+Roll"), 201));

    EXPECT_EQ(503, Exchange(server.Port(), "GET", fromRockAndRoll).status);
    const auto start = std::chrono::steady_clock::now();
    const Answer limited = Exchange(server.Port(), "GET", fromRock);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(200, limited.status);
    EXPECT_EQ(160000u, limited.body.size());
    // 160000 bytes at 400000 bytes/s: the last 20000-byte chunk goes at 350 ms at the
    // earliest, however fast the machine.
    EXPECT_GE(elapsed, std::chrono::milliseconds(350));
    const auto records = server.Requests();
    ASSERT_EQ(4u, records.size());
    EXPECT_EQ("status fault", records[2].note);
    EXPECT_EQ("rate", records[3].note);

    server.Rules().AddRule("station Rock+%26+Roll sequence-status 244");
    EXPECT_EQ("244", HeaderValue(Sequence("Rock+%26+Roll").body, "status_code"));
    EXPECT_EQ("200", HeaderValue(Sequence("rock").body, "status_code"));
}

// The MAGIC= value of a track's song address, raw.
std::string MagicOf(const std::string& url)
{
    const std::size_t start = url.find("MAGIC=");
    return start == std::string::npos ? std::string()
                                      : url.substr(start + 6, url.find('&', start) - start - 6);
}

TEST_F(StationScenario, MagicFormsAreServedAsHandedOut)
{
    station::Station& server = Start();
    server.Rules().AddRule("track 101 magic none");
    server.Rules().AddRule("track 102 magic single");
    server.Rules().AddRule("track 103 magic long");
    server.Rules().AddRule("track 302/cache magic none");
    const auto lines = Tracks("demo");
    const auto get = [&](const std::string& url, const std::string& extra = {})
    { return Exchange(server.Port(), "GET", PathOf(url) + extra).status; };

    // No MAGIC= at all: served as it is; a resume carries an empty RETRY=.
    const std::string none = Field(LineOf(lines, 101), "songurl");
    EXPECT_EQ(std::string::npos, none.find("MAGIC="));
    EXPECT_EQ(200, get(none));
    const Answer resumed = Exchange(
        server.Port(), "GET", PathOf(none) + "&X-Range=1000-&RETRY=", "Range: bytes=1000-\r\n");
    EXPECT_EQ(206, resumed.status);
    EXPECT_TRUE(MatchesPattern(resumed.body, 101 * 2, 1000));
    EXPECT_EQ(403, get(none, "&X-Range=1000-&RETRY=ABCDEF0"));

    // One %3a: nothing to sign, the value must come back unchanged.
    const std::string single = Field(LineOf(lines, 102), "songurl");
    const std::string singleMagic = MagicOf(single);
    ASSERT_NE(std::string::npos, singleMagic.find("%3a"));
    EXPECT_EQ(singleMagic.find("%3a"), singleMagic.rfind("%3a")) << singleMagic;
    EXPECT_EQ(200, get(single));
    std::string altered = single;
    altered.replace(altered.find("MAGIC=") + 6, 3, "abc");
    EXPECT_EQ(403, get(altered));

    // 40 placeholder characters: the first 32 signed, the last 8 as handed out.
    const std::string longUrl = Field(LineOf(lines, 103), "songurl");
    const std::string value = MagicOf(longUrl);
    const std::size_t first = value.find("%3a") + 3;
    ASSERT_EQ(std::string(40, 'Z'), value.substr(first, 40));
    const std::string digits = host::Md5Hex(Decode(value) + kUid);
    const auto withPlaceholder = [&](const std::string& text)
    {
        std::string url = longUrl;
        url.replace(url.find("MAGIC=") + 6 + first, 40, text);
        return url;
    };
    EXPECT_EQ(200, get(withPlaceholder(digits + std::string(8, 'Z'))));
    EXPECT_EQ(403, get(withPlaceholder(digits + digits.substr(0, 8))));
    EXPECT_EQ(403, get(withPlaceholder(std::string(40, 'Z'))));

    // A part's form leaves the other part signed as usual.
    const std::string split = LineOf(Tracks("split"), 302);
    EXPECT_EQ(std::string::npos, Field(split, "cacheurl").find("MAGIC="));
    EXPECT_NE(std::string::npos, Field(split, "songurl").find("MAGIC="));
    EXPECT_EQ(200, get(Field(split, "cacheurl")));
    EXPECT_EQ(200, get(Sign(Field(split, "songurl"), kUid)));
}

TEST_F(StationScenario, BadRulesAreRefusedWithTheirReason)
{
    station::Station& server = Start();
    for (const char* rule : {"station demo header status_code=245",
                             "station demo header novalue",
                             "station demo no-header a=b",
                             "station demo header =5",
                             "track 101/song field skip=0",
                             "content header a=b",
                             "time size 5",
                             "track 101 size 0",
                             "content rate 0",
                             "station demo tracks 1,,2",
                             "station demo tracks",
                             "track 101 magic odd",
                             "time status 20",
                             "time status 1000",
                             "track 5 cut 1 times 2 times 3",
                             "track 5 cut 1 after 1 after 2",
                             "track 5 cut 1 times 1 after 1",
                             "station demo/content sequence-status 244",
                             "track 5 cut 99999999999999999999",
                             "station demo/content field skip=0",
                             "content tracks 101",
                             "track 5 outage 0",
                             "track 5 outage 10 later",
                             "track 5 content-range 5-3/10",
                             "track 5 content-range bytes"})
        EXPECT_THROW(server.Rules().AddRule(rule), std::invalid_argument) << rule;
}

TEST_F(StationScenario, WaitsForTheStationEndAtTheirLimit)
{
    station::Station& server = Start();
    EXPECT_FALSE(server.WaitForHolds(1, std::chrono::milliseconds(20)));
    EXPECT_FALSE(server.WaitForRequests([](const auto& records) { return !records.empty(); },
                                        std::chrono::milliseconds(20)));
    Exchange(server.Port(), "GET", "/nothing-here");
    EXPECT_TRUE(server.WaitForRequests([](const auto& records) { return !records.empty(); }));
}

TEST(StationProgramScenario, TrackSizeOptionAndBadArguments)
{
    testsupport::ServerProcess program({OVR_STATION_BINARY, "--track-size", "300000"});
    ASSERT_NE(0, program.Port()) << program.FirstLine();
    const Answer time = Exchange(program.Port(), "GET", "/ovdk/radiotime?VERSION=1&OVUID=U1");
    const std::size_t at = time.body.find("strTimeStamp=\"") + 14;
    const uint64_t now = std::stoull(time.body.substr(at, time.body.find('"', at) - at));
    const Answer sequence =
        Exchange(program.Port(), "POST", SequenceTarget("demo", kUid, LogValue(kUid, now / 3600)));
    const auto lines = TrackLines(sequence.body);
    ASSERT_EQ(4u, lines.size());
    for (const std::string& line : lines)
        EXPECT_EQ("300000", Field(line, "songsize"));
    EXPECT_EQ(300000u, Exchange(program.Port(), "GET", SignedPath(lines[0])).body.size());
    program.Stop();

    for (const char* arguments :
         {"--track-size 0", "--track-size 12x", "--port 70000", "--port", "--unknown 1"})
    {
        const std::string command =
            std::string(OVR_STATION_BINARY) + " " + arguments + " >/dev/null 2>&1";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status)) << arguments;
        EXPECT_EQ(2, WEXITSTATUS(status)) << arguments;
    }
}
} // namespace
