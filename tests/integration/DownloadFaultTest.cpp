// A player against content servers that break off and misbehave as real servers, proxies
// and CDNs do: one row per fault, with the station's rules, the bytes the player must get,
// the error that must end the track (17: it ended short), the most content requests the
// engine may make and the recoveries it reports. Every request after the first resumes
// the same signed address from a byte, named alike in X-Range= and the Range header. While the
// track plays, the clock runs 10 times faster than real time, so that outages of seconds and the
// engine's limit of riding them out pass quickly, in the order they would; while a session starts
// it stands still, so that no limit of the sequence requests passes on a busy machine.
#include "download/DownloadTestSupport.h"
#include "download/InternetCacheDownloader.h"
#include "engine/StreamManager.h"
#include "integration/StationFixture.h"
#include "integration/StationTracks.h"
#include "integration/StreamPlayer.h"
#include "support/FastClock.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using streamtest::CPlayer;
using streamtest::CStatusRecorder;

namespace
{
constexpr DWORD kSize = 300000;
constexpr DWORD kCut = 100000; // where the first answer breaks off

struct SMisbehaviour
{
    const char* pszName;
    // Rules for the track; "T" stands for its id.
    std::vector<std::string> rules;
    DWORD dwBytes; // the bytes the player gets: the track's first ones
    int nCode;     // what ends the track: 0 its end, 17 its end told short
    std::size_t nMostRequests;
    int nRecoveries = -1; // the AttemptErrorRecovery events (-1: not checked)
    // The clock's step once the first resume was asked for (0: it stays at 10), for rows
    // where no byte comes after the break: the reader's limit of 40 s then passes in
    // under half a second.
    DWORD dwStepAfterBreak = 0;
};

const SMisbehaviour kRows[] = {
    {"a cut at the first byte", {"track T cut 0 times 1"}, kSize, 0, 2, 1},
    {"a cut within the first chunk", {"track T cut 1000 times 1"}, kSize, 0, 2, 1},
    {"a cut before the last byte", {"track T cut 299999 times 1"}, kSize, 0, 2, 1},
    {"a reset at the first byte", {"track T reset 0 times 1"}, kSize, 0, 2, 1},
    {"a reset further on", {"track T reset 50000 times 1"}, kSize, 0, 2, 1},
    {"a reset before the last byte", {"track T reset 299999 times 1"}, kSize, 0, 2, 1},
    {"a cut resumed without a magic value",
     {"track T magic none", "track T cut 5000 times 1"},
     kSize,
     0,
     2,
     1},
    {"a cut resumed with a single magic value",
     {"track T magic single", "track T cut 5000 times 1"},
     kSize,
     0,
     2,
     1},
    {"a cut resumed with a long magic value",
     {"track T magic long", "track T cut 5000 times 1"},
     kSize,
     0,
     2,
     1},
    {"a retry limit of 0: a cut ends the track short",
     {"track T field retry=0", "track T cut 5000 times 1"},
     5000,
     17,
     1,
     0},
    {"a retry limit of 0: a cut one byte short ends the track short",
     {"track T field retry=0", "track T cut 299999 times 1"},
     299999,
     17,
     1,
     0},
    {"a retry limit of 0: a cut after the last byte is no fault",
     {"track T field retry=0", "track T cut 300000 times 1"},
     kSize,
     0,
     1,
     0},
    {"a resume answered with the whole part, as by a server that ignores ranges",
     {"track T cut 100000 times 1", "track T status 200 after 1"},
     kSize,
     0,
     2},
    {"a resume whose Content-Range starts elsewhere than asked",
     {"track T cut 100000 times 1", "track T content-range 0-199999/300000 after 1"},
     kCut,
     17,
     2},
    {"a resume whose Content-Range names another total",
     {"track T cut 100000 times 1", "track T content-range 100000-299999/400000 after 1"},
     kCut,
     17,
     2},
    {"a brief outage: 503 for 5 s after the break",
     {"track T cut 100000 times 1", "track T outage 5000 after 1 times 1"},
     kSize,
     0,
     9},
    {"a brief outage: connections refused for 5 s after the break",
     {"track T cut 100000 times 1", "track T outage 5000 refuse after 1 times 1"},
     kSize,
     0,
     3},
    {"503s that ask to come back in 2 s, for 3 s",
     {"track T cut 100000 times 1", "track T outage 3000 after 1 times 1",
      "track T retry-after 2 after 1"},
     kSize,
     0,
     4},
    {"an outage longer than a reader waits for data",
     {"track T cut 100000 times 1", "track T outage 90000 after 1 times 1"},
     kCut,
     17,
     24,
     -1,
     100},
    {"resumes that bring nothing",
     {"track T cut 100000 times 1", "track T cut 0 after 1"},
     kCut,
     17,
     24,
     -1,
     100},
    {"a resume that is refused",
     {"track T cut 100000 times 1", "track T status 404 after 1"},
     kCut,
     17,
     2},
    {"a size announced beyond the content: a 416 at its real end",
     {"track T field songsize=350000"},
     kSize,
     17,
     2},
};

class DownloadFaults : public integration::StationIntegration
{
protected:
    CStatusRecorder status;
};
} // namespace

TEST_F(DownloadFaults, EveryByteLandsAtItsOffsetOutagesAreRiddenOutAndShortTracksAreTold)
{
    testsupport::CFastClock clock(0);
    DWORD dwTrackId = 2500;
    std::size_t nRecoveriesBefore = 0;
    uint32_t nHolds = 0;
    for (const SMisbehaviour& row : kRows)
    {
        SCOPED_TRACE(row.pszName);
        const std::string id = std::to_string(++dwTrackId);
        // Where a fault ends the download at once, without the clock, the first answer
        // stalls after its head until the player holds the track: else the download could
        // end before the track was handed out. (Rows that speed the clock up end only once
        // it moves, after the player has the track.)
        const bool bHold = row.dwStepAfterBreak == 0;
        std::vector<std::string> rules = row.rules;
        if (bHold)
            rules.push_back("track T hold 0 times 1");
        const std::string stationId =
            integration::OneTrackStation(station, "faults", dwTrackId, kSize, rules);

        std::string bytes;
        int nCode = -1;
        {
            CStreamManager mgr;
            ASSERT_TRUE(mgr.StartSession(stationId, "Station", "afd", "caps", "::id=42::usr_info=a",
                                         status.Callback()));
            CPlayer player(mgr, status);
            SPlayerTrackInfo info;
            ASSERT_TRUE(player.NextTrack(info));
            if (bHold)
            {
                ASSERT_TRUE(station.WaitForHolds(++nHolds));
                station.ReleaseHeld();
            }
            clock.SetStep(10);
            // The bytes before the break flow at the step of 10; the first resume is
            // logged only after they were all sent.
            std::thread faster;
            if (row.dwStepAfterBreak != 0)
                faster = std::thread(
                    [&]
                    {
                        EXPECT_FALSE(
                            integration::RequestsTo(station, "/content/" + id + "/", 2).empty());
                        clock.SetStep(row.dwStepAfterBreak);
                    });
            bytes = player.PlayOpened(info, true, &nCode);
            if (faster.joinable())
                testsupport::Within("the clock's watcher to end", [&] { faster.join(); });
            clock.SetStep(0);
            if (nCode == 17)
            {
                // Told once; then the track reads as ended.
                BYTE buffer[64];
                DWORD dwCount = sizeof buffer;
                EXPECT_EQ(mgr.ReadStream(buffer, dwCount), RS_EOF);
            }
            mgr.EndSession();
        }
        EXPECT_EQ(nCode, row.nCode);
        EXPECT_EQ(bytes.size(), row.dwBytes);
        EXPECT_TRUE(bytes == downloadtest::StationSong(dwTrackId, kSize).substr(0, row.dwBytes))
            << "a wrong byte reached the player";
        std::vector<station::RequestRecord> requests;
        for (const station::RequestRecord& record : station.Requests())
            if (record.target.rfind("/content/" + id + "/", 0) == 0)
                requests.push_back(record);
        EXPECT_LE(requests.size(), row.nMostRequests);
        for (std::size_t i = 0; i < requests.size(); ++i)
        {
            EXPECT_EQ(integration::HeaderOf(requests[i], "User-Agent"),
                      mcInternetCacheDownloader::AgentText());
            if (i == 0)
            {
                EXPECT_EQ(integration::HeaderOf(requests[0], "Range"), "<none>");
                continue;
            }
            // The first address, "&X-Range=<byte>-&RETRY=" and the resume's token.
            const std::string& target = requests[i].target;
            const std::size_t nFrom = requests[0].target.size() + 9;
            ASSERT_EQ(target.rfind(requests[0].target + "&X-Range=", 0), 0u) << target;
            const std::size_t nDash = target.find("-&RETRY=", nFrom);
            ASSERT_NE(nDash, std::string::npos) << target;
            EXPECT_EQ(target.find_first_not_of("0123456789ABCDEF", nDash + 8), std::string::npos)
                << target;
            EXPECT_EQ(integration::HeaderOf(requests[i], "Range"),
                      "bytes=" + target.substr(nFrom, nDash - nFrom) + "-");
        }
        const std::string events = Events();
        const std::size_t nRecoveries =
            integration::Count(events, "\"name\":\"AttemptErrorRecovery\"");
        if (row.nRecoveries >= 0)
        {
            EXPECT_EQ(nRecoveries - nRecoveriesBefore, static_cast<std::size_t>(row.nRecoveries));
        }
        nRecoveriesBefore = nRecoveries;
        // TrackTruncated names the track, its length and the bytes it got.
        const std::size_t nTruncated =
            events.find("\"TrackName\":\"track " + id + "\",\"SongLength\":");
        EXPECT_EQ(nTruncated != std::string::npos, row.nCode == 17) << "the event TrackTruncated";
        if (nTruncated != std::string::npos)
        {
            const std::size_t nRead = events.find(",\"BytesRead\":", nTruncated) + 13;
            const std::string read =
                events.substr(nRead, events.find_first_of(",}", nRead) - nRead);
            EXPECT_EQ(std::strtod(read.c_str(), nullptr), row.dwBytes) << read;
        }
    }
}
