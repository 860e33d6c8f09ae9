// The station's scenario rules as the engine's own layers see them: header values and
// track fields read by the sequence service, and content cut or reset at the first and
// the last byte, resumed with a signed range request, and success statuses the client did
// not ask for, read through the HTTP layer.
#include "host/UserId.h"
#include "integration/StationFixture.h"
#include "platform/Http.h"
#include "platform/HttpUrl.h"
#include "sequence/RadioSequenceMgr.h"
#include "support/ContentSigning.h"
#include "support/SequenceWait.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

using integration::ReadAll;
using integration::StationIntegration;

namespace
{
namespace http = platform::http;

// The synthesised content of a part with salt `salt`, bytes [from, from + count).
std::string Pattern(uint32_t salt, uint64_t from, uint64_t count)
{
    static const uint8_t header[4] = {0xFF, 0xFB, 0x90, 0x04};
    std::string bytes;
    for (uint64_t o = from; o < from + count; ++o)
        bytes += static_cast<char>(o % 417 < 4 ? header[o % 417]
                                               : (o * 31 + uint64_t{salt} * 17 + o / 417) & 0xFF);
    return bytes;
}

// The tracks of one sequence of `stationId`, all of them.
std::vector<STrackInfo> SequenceOf(const std::string& stationId, std::size_t count)
{
    std::vector<STrackInfo> tracks(count);
    CRadioSequenceMgr mgr;
    mgr.GetNewSequence(stationId);
    for (std::size_t i = 0; i < count; ++i)
    {
        EXPECT_TRUE(testsupport::NextTrack(mgr, tracks[i])) << i;
        if (i == 0)
        {
            // Like the stream manager's pace, leave the rest of the sequence time to come.
            EXPECT_TRUE(testsupport::DownloadEnded(mgr));
        }
    }
    return tracks;
}

// A request's path and query for an address signed as a content source signs it.
std::string PathOf(const std::string& url)
{
    http::UrlParts parts;
    EXPECT_TRUE(http::CrackUrl(url, parts));
    return parts.strPathWithQuery;
}

} // namespace

TEST_F(StationIntegration, TheSequenceServiceReadsTheRulesHeaderValuesAndTrackFields)
{
    for (const char* rule :
         {"station split tracks 301,302,303", "station split header startthresh=7",
          "station split header cachehigh=20", "station split header numcaches=2",
          "station split header ccdthresh=40", "station split header minbr=96",
          "station split header endradiobrowserscript=Good+bye", "track 301 field skip=0",
          "station split field retry=0", "track 302 field splitcache=3",
          "track 302 field splitsong=5", "track 303 size 250000", "track 303/cache size 70000"})
        station.Rules().AddRule(rule);
    CRadioSequenceMgr mgr;
    mgr.GetNewSequence("split");
    std::vector<STrackInfo> tracks(3);
    ASSERT_TRUE(testsupport::NextTrack(mgr, tracks[0]));
    ASSERT_TRUE(testsupport::DownloadEnded(mgr));
    // Read before the last track is taken: that starts the next sequence's download,
    // which writes the parameters anew.
    const SSequenceThreadParams& params = mgr.ServerIfc().Params();
    EXPECT_EQ(params.nNumCaches, 2);
    EXPECT_EQ(params.nCCDThresh, 40);
    EXPECT_EQ(params.nMinBitRate, 96);
    EXPECT_EQ(params.EndRadioBrowserScript(), "Good bye");
    ASSERT_TRUE(testsupport::NextTrack(mgr, tracks[1]));
    ASSERT_TRUE(testsupport::NextTrack(mgr, tracks[2]));

    EXPECT_EQ(tracks[0].trackid, 301u);
    EXPECT_EQ(tracks[0].startthresh, 7u);
    EXPECT_EQ(tracks[0].cachehigh, 20u);
    EXPECT_EQ(tracks[0].cachelow, 5u);
    EXPECT_EQ(tracks[0].skip, 0u);
    EXPECT_EQ(tracks[1].skip, 1u);
    for (const STrackInfo& rec : tracks)
        EXPECT_EQ(rec.retry, 0u) << rec.trackid;
    EXPECT_EQ(tracks[1].splitcache, 3u);
    EXPECT_EQ(tracks[1].splitsong, 5u);
    EXPECT_EQ(tracks[2].trackid, 303u);
    EXPECT_EQ(tracks[2].songpartsize, 250000u);
    EXPECT_EQ(tracks[2].cachesize, 70000u);
    EXPECT_EQ(tracks[2].songsize, 320000u);
}

TEST_F(StationIntegration, TheHttpLayerSeesCutsAndResetsAtTheEdgesAndResumesFromThem)
{
    const uint32_t kSize = 100000;
    station.Rules().AddRule("track 102 size " + std::to_string(kSize));
    std::vector<STrackInfo> tracks = SequenceOf("demo", 2);
    ASSERT_EQ(tracks[1].trackid, 102u);
    ASSERT_EQ(tracks[1].songsize, kSize);
    const std::string url = testsupport::Sign(tracks[1].songurl, GetUserId());
    const std::string whole = Pattern(102 * 2, 0, kSize);

    struct Case
    {
        std::string rule;
        uint32_t bytes;
        DWORD dwError;
    };
    const Case cases[] = {
        {"cut 0", 0, 0},
        {"reset 0", 0, http::ERROR_INTERNET_CONNECTION_RESET},
        {"cut " + std::to_string(kSize - 1), kSize - 1, 0},
        {"reset " + std::to_string(kSize - 1), kSize - 1, http::ERROR_INTERNET_CONNECTION_RESET}};
    http::Session session("Orvale Deck");
    http::Connection connection(session, "127.0.0.1", station.Port());
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.rule);
        station.Rules().AddRule("track 102 " + c.rule + " times 1");
        http::Request broken(connection, "GET", PathOf(url));
        ASSERT_TRUE(broken.Send()); // the head always comes first, a reset only after it
        EXPECT_EQ(broken.StatusCode(), 200u);
        DWORD dwError = 1;
        const std::string first = ReadAll(broken, dwError);
        EXPECT_EQ(dwError, c.dwError);
        ASSERT_EQ(first.size(), c.bytes);
        EXPECT_TRUE(first == whole.substr(0, c.bytes));

        // The resume from the byte that did not come, as a content source asks for it.
        const std::string offset = std::to_string(c.bytes);
        http::Request resumed(connection, "GET",
                              PathOf(url + "&X-Range=" + offset + "-&RETRY=" +
                                     testsupport::RetryToken(url, GetUserId(), c.bytes)));
        ASSERT_TRUE(resumed.Send("Range: bytes=" + offset + "-"));
        EXPECT_EQ(resumed.StatusCode(), 206u);
        const std::string rest = ReadAll(resumed, dwError);
        EXPECT_EQ(dwError, 0u);
        EXPECT_TRUE(first + rest == whole) << rest.size();
    }
}

TEST_F(StationIntegration, TheHttpLayerGetsTheSuccessStatusesItDidNotAskFor)
{
    station.Rules().AddRule("track 101 status 206 times 1");
    station.Rules().AddRule("track 101 status 200 times 1");
    const std::vector<STrackInfo> tracks = SequenceOf("demo", 1);
    const std::string path = PathOf(testsupport::Sign(tracks[0].songurl, GetUserId()));
    const std::string whole = Pattern(101 * 2, 0, tracks[0].songsize);
    http::Session session("Orvale Deck");
    http::Connection connection(session, "127.0.0.1", station.Port());
    DWORD dwError = 1;

    http::Request unasked(connection, "GET", path); // no Range header, yet 206
    ASSERT_TRUE(unasked.Send());
    EXPECT_EQ(unasked.StatusCode(), 206u);
    EXPECT_TRUE(ReadAll(unasked, dwError) == whole);

    http::Request ignored(connection, "GET", path); // a range asked for, and 200 from 0
    ASSERT_TRUE(ignored.Send("Range: bytes=5000-"));
    EXPECT_EQ(ignored.StatusCode(), 200u);
    EXPECT_TRUE(ReadAll(ignored, dwError) == whole);
    EXPECT_EQ(dwError, 0u);
}
