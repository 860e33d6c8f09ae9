// ovradio-play as a program, against a station on loopback in this process, with a
// private runtime folder (which the player registers the engine into) and a trace viewer
// that records the engine's trace in the player's process.
#include "MpegFrame.h"
#include "MusicLibrary.h"
#include "Sha256.h"
#include "Station.h"
#include "support/ChildProcess.h"
#include "support/StationContent.h"
#include "support/TestSupport.h"
#include "support/TraceCapture.h"
#include "support/Wait.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace
{
namespace fs = std::filesystem;

constexpr uint32_t kTrackSize = 40000;
// A run of the player may include a handshake that the engine answers only after the
// player's 10 s re-ask, and runs slowly under the sanitizers.
constexpr DWORD kPlayLimitMs = 120000;

using testsupport::LinesOf;
using testsupport::StationSong;

// The value of a field of a JSON line as it is written ("<none>" when absent): a string
// without its quotes, a number's digits, null.
std::string FieldOf(const std::string& line, const std::string& key)
{
    const std::regex field("\"" + key + "\":(\"((?:[^\"\\\\]|\\\\.)*)\"|[^,}]*)");
    std::smatch match;
    if (!std::regex_search(line, match, field))
        return "<none>";
    return match[2].matched ? match[2].str() : match[1].str();
}

std::vector<std::string> LinesOfType(const std::vector<std::string>& lines, const char* pszType)
{
    std::vector<std::string> found;
    for (const std::string& line : lines)
        if (FieldOf(line, "type") == pszType)
            found.push_back(line);
    return found;
}

class PlayerProgram : public ::testing::Test
{
protected:
    void SetUp() override
    {
        testsupport::WriteFile(home.File("preferences.ini"),
                               "[OVRadio]\nSequenceUrl=" + station.BaseUrl() + "/sequence.m3u?\n");
    }
    void TearDown() override
    {
        if (HasFailure())
            for (const std::string& line : trace.Lines())
                std::fprintf(stderr, "trace: %s\n", line.c_str());
    }

    static station::StationOptions Options()
    {
        station::StationOptions options;
        options.musicCacheFolder.clear();
        options.musicSeconds = 3;
        options.trackSize = kTrackSize;
        return options;
    }

    testsupport::SChildResult Play(const std::vector<std::string>& args, bool bTerminal = false)
    {
        testsupport::SChildOptions options{args};
        options.bStderrTerminal = bTerminal; // standard error a terminal, as a person's
        return testsupport::RunChild(OVRADIO_PLAY_PATH, options, kPlayLimitMs);
    }

    std::vector<std::string> FilesIn(const std::string& folder)
    {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    testsupport::TempHome home;
    testsupport::TraceCapture trace{false};
    station::Station station{Options()};
    const std::string out = home.File("tracks");
};
} // namespace

TEST_F(PlayerProgram, PlaysTracksIntoAFolderAndDescribesThemAsJsonLines)
{
    const testsupport::SChildResult run =
        Play({"--station", "music", "--tracks", "2", "--json", "--out", out});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_EQ(run.strErr, "") << "standard error is no terminal: the player says nothing there";

    const std::vector<std::string> lines = LinesOf(run.strOut);
    const std::vector<std::string> tracks = LinesOfType(lines, "track");
    ASSERT_EQ(tracks.size(), 2u) << run.strOut;
    std::vector<std::string> expectedFiles;
    for (std::size_t i = 0; i < tracks.size(); ++i)
    {
        const std::string& line = tracks[i];
        EXPECT_EQ(FieldOf(line, "index"), std::to_string(i + 1));
        const auto trackid = static_cast<uint32_t>(std::stoul(FieldOf(line, "trackid")));
        const station::Tune* pTune = station::MusicLibrary::TuneOf(trackid);
        ASSERT_NE(pTune, nullptr) << line;
        const std::string bytes = *station.Tracks().Music().TrackOf(trackid).bytes;
        EXPECT_EQ(FieldOf(line, "name"), pTune->title);
        EXPECT_EQ(FieldOf(line, "artist"), pTune->artist);
        EXPECT_EQ(FieldOf(line, "album"), pTune->album);
        EXPECT_EQ(FieldOf(line, "format"), "mp3");
        EXPECT_EQ(FieldOf(line, "bitrate"), "128");
        EXPECT_EQ(FieldOf(line, "size"), std::to_string(bytes.size()));
        EXPECT_EQ(FieldOf(line, "bytes"), std::to_string(bytes.size()));
        EXPECT_EQ(FieldOf(line, "sha256"), CSha256::Of(bytes));
        // Built by appending: GCC 12 at -O3 reports a false overlap in "0" + a temporary.
        std::string name(1, '0');
        name += std::to_string(i + 1) + " - " + pTune->artist + " - " + pTune->title + ".mp3";
        EXPECT_EQ(FieldOf(line, "file"), (fs::path(out) / name).string());
        expectedFiles.push_back(name);

        const std::string file = testsupport::ReadFile(fs::path(out) / name);
        EXPECT_TRUE(file == bytes) << name << ": " << file.size() << " of " << bytes.size();
        const station::MpegWalk walk = station::WalkMpegFrames(file);
        EXPECT_TRUE(walk.Whole(file.size())) << name;
        const double dSeconds = static_cast<double>(walk.samples) / 44100.0;
        EXPECT_NEAR(dSeconds, static_cast<double>(bytes.size()) * 8.0 / 128000.0, 0.05) << name;
    }
    std::sort(expectedFiles.begin(), expectedFiles.end());
    EXPECT_EQ(FilesIn(out), expectedFiles) << "no file but the tracks (no temporary file left)";
    for (const std::string& line : lines)
        EXPECT_TRUE(FieldOf(line, "type") != "status" || FieldOf(line, "code") != "<none>") << line;
    EXPECT_EQ(lines.back(), R"({"type":"end","tracks":2})");
}

TEST_F(PlayerProgram, StandardOutputCarriesExactlyTheConcatenatedTracks)
{
    station.Rules().AddRule("station piped tracks 501,502,503");
    const testsupport::SChildResult run =
        Play({"--station", "piped", "--tracks", "2", "--stdout", "--read-size", "1000"});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    EXPECT_EQ(run.strErr, "");
    const std::string expected = StationSong(501, kTrackSize) + StationSong(502, kTrackSize);
    EXPECT_TRUE(run.strOut == expected)
        << "standard output has " << run.strOut.size() << " bytes, not the " << expected.size()
        << " of tracks 501 and 502";
}

TEST_F(PlayerProgram, AStationThatEndsAnnouncesItPlaysOnAndExitsWithThree)
{
    // The first sequence's first track is reset and resumed, its second denied, which
    // drops the rest of that sequence; the second sequence's two tracks follow, and the
    // third sequence ends the station. One track is buffered at a time, so each is built
    // while the player waits for it; the last one's answer is held until the player has
    // seen the ending sequence's header, so the engine knows of the end when it is ready.
    for (const char* pszRule :
         {"station ending header numcaches=1", "station ending tracks 601,602,603 times 1",
          "station ending tracks 604,605 after 1", "station ending sequence-status 244 after 2",
          "station ending header endradiobrowserscript=Good+bye",
          "station ending header presequencebrowserscript=Last+one after 2",
          "track 601 reset 20000 times 1", "track 602 status 403", "track 605 delay 600000"})
        station.Rules().AddRule(pszRule);
    testsupport::ChildProcess player(OVRADIO_PLAY_PATH,
                                     {{"--station", "ending", "--json", "--out", out}});
    ASSERT_TRUE(player.Started());
    std::vector<std::string> lines;
    for (std::string line; FieldOf(line, "code") != "9";)
    {
        ASSERT_TRUE(player.OutLine(line, kPlayLimitMs)) << "no status 9 from the ending sequence";
        ASSERT_FALSE(line.empty()) << "the player ended before the ending sequence came";
        lines.push_back(line);
    }
    EXPECT_EQ(FieldOf(lines.back(), "text"), "Last one");
    ASSERT_TRUE(station.WaitForHolds(1, std::chrono::milliseconds(kPlayLimitMs)))
        << "the last track was not asked for";
    station.ReleaseHeld();
    ASSERT_TRUE(player.Finish(kPlayLimitMs));
    EXPECT_EQ(player.ExitCode(), 3) << player.Err();
    for (const std::string& line : LinesOf(player.Out()))
        lines.push_back(line);

    const std::vector<std::string> tracks = LinesOfType(lines, "track");
    ASSERT_EQ(tracks.size(), 3u) << player.Out();
    const char* const ids[] = {"601", "604", "605"};
    for (std::size_t i = 0; i < tracks.size(); ++i)
    {
        const std::string& line = tracks[i];
        ASSERT_EQ(FieldOf(line, "trackid"), ids[i]) << line;
        const std::string expected =
            StationSong(static_cast<uint32_t>(std::stoul(ids[i])), kTrackSize);
        EXPECT_TRUE(testsupport::ReadFile(FieldOf(line, "file")) == expected) << line;
        EXPECT_EQ(FieldOf(line, "sha256"), CSha256::Of(expected));
    }
    // Status 8 with the end script comes before the last track, which is still played.
    const auto eight =
        std::find_if(lines.begin(), lines.end(),
                     [](const std::string& line) { return FieldOf(line, "code") == "8"; });
    ASSERT_NE(eight, lines.end()) << player.Out();
    EXPECT_EQ(FieldOf(*eight, "text"), "Good bye");
    EXPECT_LT(eight, std::find(lines.begin(), lines.end(), tracks[2]));
    EXPECT_EQ(lines.back(), R"({"type":"end","tracks":3})");
}

TEST_F(PlayerProgram, SigtermDuringATrackStopsTheSessionAndExitsWithZero)
{
    station.Rules().AddRule("station long tracks 801");
    station.Rules().AddRule("station long header startthresh=1");
    station.Rules().AddRule("track 801 size 400000");
    station.Rules().AddRule("track 801 hold 100000");
    testsupport::ChildProcess player(OVRADIO_PLAY_PATH,
                                     {{"--station", "long", "--json", "--out", out}});
    ASSERT_TRUE(player.Started());
    ASSERT_TRUE(trace.WaitForLineContaining("have ample data to start Read", kPlayLimitMs));
    player.Signal(SIGTERM);
    ASSERT_TRUE(player.Finish(kPlayLimitMs));
    EXPECT_EQ(player.ExitCode(), 0) << player.Err();
    EXPECT_TRUE(trace.HasLineContaining("CStreamManager::EndStation called for station - long"))
        << "the player did not stop the session";
    const std::vector<std::string> lines = LinesOf(player.Out());
    EXPECT_TRUE(LinesOfType(lines, "track").empty()) << player.Out();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), R"({"type":"end","tracks":0})");
    EXPECT_TRUE(FilesIn(out).empty()) << "the unfinished track left a file";
}

// What a play leaves in the runtime folder (the registry, the event log, the cache index
// and cache files, the lock files) is the user's alone. The preferences file is the
// test's own and not looked at.
TEST_F(PlayerProgram, TheFilesAPlayLeavesAreTheUsersAlone)
{
    const testsupport::SChildResult run =
        Play({"--station", "split", "--tracks", "1", "--out", out});
    ASSERT_EQ(run.nExit, 0) << run.strErr;
    std::vector<std::string> names;
    for (auto it = fs::recursive_directory_iterator(home.Path());
         it != fs::recursive_directory_iterator(); ++it)
    {
        const std::string name = fs::relative(it->path(), home.Path()).string();
        if (name == "tracks" || name == "preferences.ini")
        {
            it.disable_recursion_pending();
            continue;
        }
        names.push_back(name);
        EXPECT_EQ(it->symlink_status().permissions() &
                      (fs::perms::group_all | fs::perms::others_all),
                  fs::perms::none)
            << name;
    }
    for (const char* pszExpected : {"registry.reg", "events.log", "RECache.idx", "OVRadio/Cache"})
        EXPECT_NE(std::find(names.begin(), names.end(), pszExpected), names.end()) << pszExpected;
    EXPECT_TRUE(std::any_of(names.begin(), names.end(),
                            [](const std::string& name) { return name.ends_with(".DAT"); }))
        << "no cache file was written";
}

// Runs of the player to their end, each with its exit code and what it says: a failure
// (1) with the engine's HRESULT, help context and description; track names turned into
// file names; the progress shown on a terminal, where server text arrives clean (nothing
// but the player's own erase-line sequence reaches it); a station that ends while its last
// tracks are buffered ahead (3: the engine announces the end as it hands one out); a track
// whose line announces more than its content, kept, told and played on (4).
TEST_F(PlayerProgram, ARunExitsWithItsCodeAndSaysWhatHappened)
{
    const std::string sha1201 = CSha256::Of(StationSong(1201, kTrackSize));
    const struct
    {
        const char* name;
        std::vector<const char*> rules;
        std::vector<std::string> args; // before --out FOLDER
        bool bTerminal;                // standard error a terminal, as a person's
        int nExit;
        std::vector<std::string> errHas; // on standard error; {out} stands for the folder
        std::vector<std::string> outHas; // on standard output
        // The track lines (--json) in order, each with fields it must have.
        std::vector<std::map<std::string, std::string>> tracks;
        // The files left in the folder, and the track each holds whole.
        std::vector<std::pair<std::string, uint32_t>> files;
    } rows[] = {
        {"UnknownStation", // the sequence server answers 404
         {},
         {"--station", "nosuch"},
         false,
         1,
         {"ovradio-play: GetNextTrackID failed: HRESULT 0x80020009, help context 11, "
          "description: ",
          "Could not get Next track", "status 3"},
         {},
         {},
         {}},
        {"EveryContentServerRefuses",
         {"station refused tracks 701,702", "station refused sequence-status 244 after 1",
          "station refused/content status 503"},
         {"--station", "refused", "--json"},
         false,
         1,
         {"GetNextTrackID failed: HRESULT 0x80020009, help context 11"},
         {"{\"type\":\"end\",\"tracks\":0}\n"},
         {},
         {}},
        {"FileNames",
         {"station names tracks 901", "track 901 field track=Back%2FForth%3A+Why%3F",
          "track 901 field artist=AC%2FDC+%3C%3E%7C%22%2A"},
         {"--station", "names", "--tracks", "1"},
         false,
         0,
         {},
         {},
         {},
         {{"01 - AC_DC _____ - Back_Forth_ Why_.mp3", 901}}},
        {"TerminalProgress",
         {"station shown tracks 1101,1102"},
         {"--station", "shown", "--tracks", "2"},
         true,
         0,
         {"\r\x1b[K1. track 1101 - OVRadio Station  0:00 / 0:02  0 KB of 40 KB",
          "1. track 1101 - OVRadio Station  40 KB  -> {out}/01 - OVRadio Station - track 1101.mp3",
          "2. track 1102 - OVRadio Station  40 KB  -> {out}/02 - OVRadio Station - track 1102.mp3"},
         {},
         {},
         {{"01 - OVRadio Station - track 1101.mp3", 1101},
          {"02 - OVRadio Station - track 1102.mp3", 1102}}},
        {"ServerTextWithTerminalControls", // set the window title, clear the screen
         {"station controls tracks 1301", "track 1301 field track=%1B%5D0%3Bowned%07Song%C2%9B",
          "track 1301 field artist=%1B%5B2JBand"},
         {"--station", "controls", "--tracks", "1"},
         true,
         0,
         {"1. ?]0;owned?Song? - ?[2JBand  40 KB"},
         {},
         {},
         {}},
        {"StationEndsWhileTracksAreBufferedAhead",
         {"station ahead tracks 611,612,613", "station ahead sequence-status 244 after 1",
          "station ahead header endradiobrowserscript=Good+bye"},
         {"--station", "ahead", "--realtime", "--json"},
         false,
         3,
         {},
         {R"({"type":"status","code":8,"text":"Good bye"})"},
         {{}, {}, {}},
         {}},
        {"ShortTrack",
         {"station short tracks 1201,1202", "track 1201 field songsize=50000"},
         {"--station", "short", "--tracks", "2", "--json"},
         true,
         4,
         {"1. track 1201 - OVRadio Station  40 KB of 50 KB  ENDED SHORT", "1 track ended short"},
         {},
         {{{"truncated", "true"}, {"bytes", std::to_string(kTrackSize)}, {"sha256", sha1201}},
          {{"truncated", "false"}}},
         {}},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        for (const char* pszRule : row.rules)
            station.Rules().AddRule(pszRule);
        const std::string folder = out + "/" + row.name;
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--out", folder});
        const testsupport::SChildResult run = Play(args, row.bTerminal);
        EXPECT_EQ(run.nExit, row.nExit) << run.strErr;
        for (std::string text : row.errHas)
        {
            if (const std::size_t nAt = text.find("{out}"); nAt != std::string::npos)
                text.replace(nAt, 5, folder);
            EXPECT_NE(run.strErr.find(text), std::string::npos)
                << "\"" << text << "\" in " << run.strErr;
        }
        for (const std::string& text : row.outHas)
            EXPECT_NE(run.strOut.find(text), std::string::npos)
                << "\"" << text << "\" in " << run.strOut;
        if (row.bTerminal)
        {
            EXPECT_EQ(run.strOut.find('\x1b'), std::string::npos) << run.strOut;
            std::string withoutOwn = run.strErr;
            for (std::size_t n; (n = withoutOwn.find("\r\x1b[K")) != std::string::npos;)
                withoutOwn.erase(n, 4);
            for (const char* pszControl : {"\x1b", "\x07", "\xC2\x9B"})
                EXPECT_EQ(withoutOwn.find(pszControl), std::string::npos) << run.strErr;
        }
        const std::vector<std::string> tracks = LinesOfType(LinesOf(run.strOut), "track");
        ASSERT_EQ(tracks.size(), row.tracks.size()) << run.strOut;
        for (std::size_t i = 0; i < tracks.size(); ++i)
            for (const auto& [key, value] : row.tracks[i])
                EXPECT_EQ(FieldOf(tracks[i], key), value) << tracks[i];
        if (row.files.empty() && row.nExit != 1)
            continue;
        std::vector<std::string> names;
        for (const auto& [name, trackid] : row.files)
        {
            names.push_back(name);
            EXPECT_TRUE(testsupport::ReadFile(fs::path(folder) / name) ==
                        StationSong(trackid, kTrackSize))
                << name;
        }
        EXPECT_EQ(fs::exists(folder) ? FilesIn(folder) : std::vector<std::string>{}, names);
    }
}
