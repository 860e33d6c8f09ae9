// The parts of ovradio-play that need no engine: its command line, the tracks' file names,
// the digest, the JSON lines, the queue through which the status callback reaches the
// main thread, where the tracks are written, and the demo's preferences.
#include "DemoStation.h"
#include "PlayOptions.h"
#include "PlayReport.h"
#include "Sha256.h"
#include "StatusQueue.h"
#include "TrackFileName.h"
#include "TrackSink.h"
#include "host/Preferences.h"
#include "platform/Clock.h"
#include "support/TestSupport.h"
#include "support/Wait.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
std::string ProblemOf(const std::vector<std::string>& args)
{
    const PlayCommandLine line = ParsePlayOptions(args);
    const std::string* pProblem = std::get_if<std::string>(&line);
    return pProblem ? *pProblem : "<accepted>";
}
} // namespace

TEST(PlayOptions, ReadsEveryOptionAndFillsTheDefaults)
{
    PlayCommandLine line =
        ParsePlayOptions({"--station", "rock", "--name", "Rock", "--afd", "mp3", "--ccd", "128",
                          "--user-info", "::id=42::", "--tracks", "5", "--out", "dir", "--realtime",
                          "--read-size", "4096", "--json"});
    ASSERT_TRUE(std::holds_alternative<SPlayOptions>(line)) << std::get<std::string>(line);
    const SPlayOptions& options = std::get<SPlayOptions>(line);
    EXPECT_EQ(options.strStation, "rock");
    EXPECT_EQ(options.strName, "Rock");
    EXPECT_EQ(options.strAFD, "mp3");
    EXPECT_EQ(options.strCCD, "128");
    EXPECT_EQ(options.strUserInfo, "::id=42::");
    EXPECT_EQ(options.nTracks, 5u);
    EXPECT_EQ(options.strOutFolder, "dir");
    EXPECT_FALSE(options.bStdout);
    EXPECT_TRUE(options.bRealtime);
    EXPECT_EQ(options.nReadSize, 4096u);
    EXPECT_TRUE(options.bJson);

    line = ParsePlayOptions({"--station", "jazz", "--stdout"});
    ASSERT_TRUE(std::holds_alternative<SPlayOptions>(line));
    EXPECT_EQ(std::get<SPlayOptions>(line).strName, "jazz");
    EXPECT_EQ(std::get<SPlayOptions>(line).nTracks, 0u);
    EXPECT_EQ(std::get<SPlayOptions>(line).nReadSize, 16384u);

    line = ParsePlayOptions({"--demo", "--tracks", "3"});
    ASSERT_TRUE(std::holds_alternative<SPlayOptions>(line));
    EXPECT_EQ(std::get<SPlayOptions>(line).strStation, "music");
    EXPECT_EQ(std::get<SPlayOptions>(line).strOutFolder, "ovradio-demo");
    line = ParsePlayOptions({"--demo", "--stdout"});
    EXPECT_EQ(std::get<SPlayOptions>(line).strOutFolder, "");

    EXPECT_TRUE(std::holds_alternative<SPlayHelp>(ParsePlayOptions({"--station", "x", "--help"})));
}

TEST(PlayOptions, NamesWhatIsWrongWithALine)
{
    const struct
    {
        std::vector<std::string> args;
        std::string problem;
    } cases[] = {
        {{}, "--station is needed"},
        {{"--station"}, "--station needs a value"},
        {{"--station", "x", "--loud"}, "unknown option \"--loud\""},
        {{"--station", "x", "--tracks", "0"},
         "--tracks takes a number from 1 to 1000000, not \"0\""},
        {{"--station", "x", "--tracks", "-1"},
         "--tracks takes a number from 1 to 1000000, not \"-1\""},
        {{"--station", "x", "--tracks", "2x"},
         "--tracks takes a number from 1 to 1000000, not \"2x\""},
        {{"--station", "x", "--read-size", "0"},
         "--read-size takes a number of bytes from 1 to 1048576, not \"0\""},
        {{"--station", "x", "--read-size", "1048577"},
         "--read-size takes a number of bytes from 1 to 1048576, not \"1048577\""},
        {{"--station", "x", "--out", "d", "--stdout"}, "--out and --stdout exclude each other"},
        {{"--station", "x", "--json", "--stdout"},
         "--json writes to standard output, which --stdout gives to the audio"},
        {{"--station", "x", "--out", ""}, "--out needs a folder"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ProblemOf(c.args), c.problem) << ::testing::PrintToString(c.args);
}

TEST(TrackFileName, NamesTheTrackAndReplacesWhatCannotStandInAName)
{
    EXPECT_EQ(TrackFileName(1, "Harbor Lute Consort", "Greensleeves", "mp3"),
              "01 - Harbor Lute Consort - Greensleeves.mp3");
    EXPECT_EQ(TrackFileName(123, "AC/DC", "Back\\Forth: A*B?\"<>|\t\x7f", "MP3"),
              "123 - AC_DC - Back_Forth_ A_B_______.mp3");
    EXPECT_EQ(TrackFileName(2, "Trois", "Frère Jacques", "aac"), "02 - Trois - Frère Jacques.aac");
    EXPECT_EQ(TrackFileName(3, "", "", ""), "03 -  - .bin");
    EXPECT_EQ(TrackFileName(4, "a", "b", "../x"), "04 - a - b.x");

    // Long texts are cut to fit, never inside a character: "é" is two bytes.
    std::string longTitle;
    for (int i = 0; i < 300; ++i)
        longTitle += "é";
    for (const std::string& artist : {std::string("Short"), longTitle})
    {
        const std::string name = TrackFileName(7, artist, longTitle, "mp3");
        EXPECT_LE(name.size(), 249u);
        EXPECT_GE(name.size(), 240u);
        EXPECT_EQ(name.rfind("07 - ", 0), 0u);
        EXPECT_EQ(name.substr(name.size() - 4), ".mp3");
        const std::string artistPart = name.substr(5, name.find(" - ", 5) - 5);
        const std::string titlePart =
            name.substr(name.find(" - ", 5) + 3, name.size() - 4 - (name.find(" - ", 5) + 3));
        for (const std::string* pPart : {&artistPart, &titlePart})
            if (*pPart != "Short")
            {
                EXPECT_EQ(pPart->size() % 2, 0u) << *pPart;
                EXPECT_EQ(longTitle.compare(0, pPart->size(), *pPart), 0);
            }
    }
}

TEST(Sha256, GivesTheStandardDigestsWhateverTheChunks)
{
    EXPECT_EQ(CSha256::Of(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(CSha256::Of("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::string data(1000003, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7 + i / 251);
    CSha256 digest;
    for (std::size_t at = 0; at < data.size(); at += 4093)
        digest.Update(data.data() + at, std::min<std::size_t>(4093, data.size() - at));
    EXPECT_EQ(digest.HexDigest(), CSha256::Of(data));
}

TEST(PlayReport, WritesTheJsonLines)
{
    EXPECT_EQ(CPlayReport::StatusJson({7, std::nullopt}),
              R"({"type":"status","code":7,"text":null})");
    EXPECT_EQ(CPlayReport::StatusJson({8, std::string("Good \"bye\"\n")}),
              R"({"type":"status","code":8,"text":"Good \"bye\"\n"})");
    STrackReport track;
    track.nIndex = 1;
    track.nTrackId = 7;
    track.strName = "Ode";
    track.strArtist = "Ludwig";
    track.strAlbum = "Sine";
    track.strFormat = "mp3";
    track.nBitRate = 128;
    track.nSize = 1000;
    track.nBytes = 1000;
    track.strSha256 = "ab";
    track.strFile = "out/01 - Ludwig - Ode.mp3";
    EXPECT_EQ(CPlayReport::TrackJson(track),
              R"({"type":"track","index":1,"trackid":7,"name":"Ode","artist":"Ludwig",)"
              R"("album":"Sine","format":"mp3","bitrate":128,"size":1000,"bytes":1000,)"
              R"("sha256":"ab","file":"out/01 - Ludwig - Ode.mp3","truncated":false})");
    track.strFile.clear();
    track.bTruncated = true;
    EXPECT_NE(CPlayReport::TrackJson(track).find(R"("file":null,"truncated":true})"),
              std::string::npos);
    EXPECT_EQ(CPlayReport::EndJson(3), R"({"type":"end","tracks":3})");
}

TEST(PlayReport, ProgressShowsThePositionInTheTrackAndItsLength)
{
    // 128 kbit/s is 16000 bytes a second.
    const struct
    {
        const char* pszName;
        uint64_t nBytes;
        INT nSize, nBitRate;
        double dRateKbps;
        const char* pszLine;
    } rows[] = {
        {"Start", 0, 3600000, 128, 0.0, "1. Ode - Ludwig  0:00 / 3:45  0 KB of 3600 KB"},
        {"Playing", 1008000, 3600000, 128, 512.0,
         "1. Ode - Ludwig  1:03 / 3:45  1008 KB of 3600 KB  512 kbit/s"},
        {"NoBitRate", 5000, 9000, 0, 0.0, "1. Ode - Ludwig  ?:?? / ?:??  5 KB of 9 KB"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.pszName);
        std::ostringstream terminal;
        CPlayReport report(nullptr, &terminal);
        STrackReport track;
        track.nIndex = 1;
        track.strName = "Ode";
        track.strArtist = "Ludwig";
        track.nBitRate = row.nBitRate;
        track.nSize = row.nSize;
        track.nBytes = row.nBytes;
        report.Progress(track, row.dRateKbps, true);
        EXPECT_EQ(terminal.str(), std::string("\r\x1b[K") + row.pszLine);
    }
}

TEST(StatusQueue, CarriesCopiesOfEveryStatusFromEngineThreadsInOrder)
{
    CStatusQueue queue;
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(
            [&queue, t]
            {
                for (int i = 0; i < kEach; ++i)
                {
                    // The text is the caller's: the queue must keep a copy of it.
                    std::string text = std::to_string(t) + ":" + std::to_string(i);
                    queue.Push(6, text.c_str());
                    text.assign(text.size(), 'x');
                }
            });
    std::vector<int> next(kThreads, 0);
    int nTaken = 0;
    while (nTaken < kThreads * kEach)
    {
        testsupport::Within("statuses from the engine threads",
                            [&] { queue.WaitUntil(platform::GetTickCount() + 60000); });
        for (const SEngineStatus& status : queue.Take())
        {
            ASSERT_TRUE(status.text.has_value());
            const int t = std::stoi(*status.text);
            EXPECT_EQ(*status.text, std::to_string(t) + ":" + std::to_string(next[t]));
            ++next[t];
            ++nTaken;
        }
    }
    for (std::thread& thread : threads)
        thread.join();
    queue.Push(7, nullptr);
    const std::vector<SEngineStatus> last = queue.Take();
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(last[0].nCode, 7);
    EXPECT_FALSE(last[0].text.has_value());
    EXPECT_EQ(queue.Dropped(), 0u);
}

TEST(StatusQueue, AWaitEndsAtItsDeadlineOnThePlatformClockOrOnAStop)
{
    platform::ManualClock clock;
    CStatusQueue queue;
    std::thread waiter([&] { queue.WaitUntil(platform::GetTickCount() + 10000); });
    ASSERT_TRUE(clock.WaitForTimedWaiters(1)) << "the wait did not start";
    clock.Advance(9999);
    EXPECT_TRUE(clock.WaitForTimedWaiters(1)) << "the wait ended before its deadline";
    clock.Advance(1);
    testsupport::Within("the wait to end at its deadline", [&] { waiter.join(); });

    std::thread stopped([&] { queue.WaitUntil(platform::GetTickCount() + 10000); });
    ASSERT_TRUE(clock.WaitForTimedWaiters(1)) << "the second wait did not start";
    queue.RequestStop(15);
    testsupport::Within("the wait to end on the stop", [&] { stopped.join(); });
    EXPECT_EQ(queue.StopSignal(), 15);
    queue.RequestStop(2);
    EXPECT_EQ(queue.StopSignal(), 15) << "the first signal is the one that stopped";
    // A stop asked for ends every later wait at once.
    testsupport::Within("a wait after the stop",
                        [&] { queue.WaitUntil(platform::GetTickCount() + 10000); });
}

TEST(StatusQueue, KeepsABoundedNumberOfStatuses)
{
    CStatusQueue queue;
    for (std::size_t i = 0; i < CStatusQueue::kMaxQueued + 5; ++i)
        queue.Push(static_cast<LONG>(i), nullptr);
    const std::vector<SEngineStatus> taken = queue.Take();
    ASSERT_EQ(taken.size(), CStatusQueue::kMaxQueued);
    EXPECT_EQ(taken.front().nCode, 5) << "the oldest are the ones dropped";
    EXPECT_EQ(queue.Dropped(), 5u);
}

// The output folder may be shared: a link planted at a track's temporary name is
// replaced, never written through.
TEST(TrackSink, ALinkAtTheTemporaryNameIsNeverWrittenThrough)
{
    testsupport::TempHome home;
    const std::string folder = home.File("out");
    const std::string outside = home.File("outside");
    testsupport::WriteFile(outside, "theirs");
    CTrackSink sink(folder, false);
    ASSERT_EQ(::symlink(outside.c_str(), (folder + "/.01 - A - T.mp3.part").c_str()), 0);
    sink.Begin("01 - A - T.mp3");
    ASSERT_TRUE(sink.Write("abc", 3));
    EXPECT_EQ(testsupport::ReadFile(sink.Finish()), "abc");
    EXPECT_EQ(testsupport::ReadFile(outside), "theirs");
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::symlink_status(folder + "/.01 - A - T.mp3.part")));
}

// The demo points the engine at its own station through the preferences of the runtime
// folder, but never changes a preferences file it did not write: with the user's own
// there, it plays in a temporary folder instead.
TEST(DemoStation, NeverChangesPreferencesItDidNotWrite)
{
    // What an interrupted demo leaves: the file of a demo that ended without its clean-up.
    std::string interrupted;
    {
        testsupport::TempHome home;
        const CDemoStation demo;
        interrupted = testsupport::ReadFile(home.File("preferences.ini"));
    }
    struct SRow
    {
        const char* name;
        std::optional<std::string> before; // the preferences file
        bool bUsesTheFolder;               // the demo plays in OVRADIO_HOME itself
        std::optional<std::string> after;
    };
    const std::string mine = "; mine\n[OVRadio]\nSequenceUrl=http://my.server/\n";
    const SRow rows[] = {
        {"the user's preferences", mine, false, mine},
        {"no preferences", std::nullopt, true, std::nullopt},
        {"an interrupted demo's", interrupted, true, std::nullopt},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        testsupport::TempHome home;
        const std::string path = home.File("preferences.ini");
        if (row.before)
            testsupport::WriteFile(path, *row.before);
        {
            const CDemoStation demo;
            EXPECT_EQ(demo.Home() == home.Path().string(), row.bUsesTheFolder);
            std::string url;
            host::PrefQueryValueString("OVRadio", "SequenceUrl", 2084, url);
            EXPECT_EQ(url, demo.BaseUrl() + "/sequence.m3u?");
        }
        EXPECT_EQ(std::filesystem::exists(path), row.after.has_value());
        if (row.after)
        {
            EXPECT_EQ(testsupport::ReadFile(path), *row.after);
        }
    }
}
