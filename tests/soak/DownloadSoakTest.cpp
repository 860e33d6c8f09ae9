// Whole tracks from ovradio-station, each answer cut or reset once at a random byte from
// the first to the last: every track arrives byte-exact, and every resume's RETRY= token
// is one the station accepts. Then tracks whose resume meets an outage of up to 20 s:
// every track arrives byte-exact or is marked short, never with a wrong byte.
#include "download/DownloadTestSupport.h"
#include "integration/StationTracks.h"
#include "integration/TrackCacheFixture.h"
#include "support/FastClock.h"
#include "support/Soak.h"

#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <vector>

using downloadtest::StationSong;

namespace
{
struct SFault
{
    bool bReset = false;
    DWORD dwOffset = 0;
    DWORD dwSize = 0;
};

using DownloadSoak = integration::TrackCacheIntegration;
} // namespace

TEST_F(DownloadSoak, EveryCutOrResetTrackIsResumedByteExactWithAnAcceptedToken)
{
    OVR_SOAK_ONLY();
    const int nCount = soak::Count("downloads", 1000);
    std::mt19937_64 random(soak::Seed("downloads"));

    // One sequence of small tracks, each with its size and one fault at a random byte.
    constexpr DWORD kFirstId = 10000;
    std::string ids;
    std::vector<SFault> faults(static_cast<std::size_t>(nCount));
    for (int i = 0; i < nCount; ++i)
    {
        const DWORD dwId = kFirstId + static_cast<DWORD>(i);
        SFault& fault = faults[static_cast<std::size_t>(i)];
        fault.dwSize = static_cast<DWORD>(soak::Between(random, 1, 40000));
        fault.dwOffset = static_cast<DWORD>(soak::Between(random, 0, fault.dwSize - 1));
        fault.bReset = soak::Between(random, 0, 1) == 1;
        if (i != 0)
            ids += ",";
        ids += std::to_string(dwId);
        station.Rules().AddRule("track " + std::to_string(dwId) + " size " +
                                std::to_string(fault.dwSize));
        station.Rules().AddRule("track " + std::to_string(dwId) +
                                (fault.bReset ? " reset " : " cut ") +
                                std::to_string(fault.dwOffset) + " times 1");
    }
    station.Rules().AddRule("station soak tracks " + ids);
    const std::vector<STrackInfo> tracks =
        integration::FirstTracksOf("soak", static_cast<std::size_t>(nCount));

    int nWrong = 0;
    for (int i = 0; i < nCount && nWrong < 5; ++i)
    {
        const STrackInfo& rec = tracks[static_cast<std::size_t>(i)];
        const SFault& fault = faults[static_cast<std::size_t>(i)];
        ASSERT_EQ(rec.trackid, kFirstId + static_cast<DWORD>(i));
        ASSERT_EQ(rec.songsize, fault.dwSize);
        if (Download(rec) != StationSong(rec.trackid, fault.dwSize))
        {
            ++nWrong;
            ADD_FAILURE() << "track " << rec.trackid << " of " << fault.dwSize << " bytes, "
                          << (fault.bReset ? "reset" : "cut") << " at " << fault.dwOffset
                          << ", is not byte-exact";
        }
    }
    ASSERT_EQ(nWrong, 0);

    // Each track was asked for twice: the answer with its fault, then the resume from the
    // byte it stopped at, whose token the station accepted.
    const auto records = integration::RequestsTo(station, "/content/", 2 * tracks.size());
    std::map<DWORD, std::vector<station::RequestRecord>> byTrack;
    for (const station::RequestRecord& record : records)
        byTrack[static_cast<DWORD>(std::stoul(record.target.substr(9)))].push_back(record);
    int nBad = 0;
    for (int i = 0; i < nCount && nBad < 5; ++i)
    {
        const DWORD dwId = kFirstId + static_cast<DWORD>(i);
        const SFault& fault = faults[static_cast<std::size_t>(i)];
        const auto& requests = byTrack[dwId];
        const std::string resume = "&X-Range=" + std::to_string(fault.dwOffset) + "-&RETRY=";
        const bool bGood = requests.size() == 2 && requests[0].status == 200 &&
                           requests[1].status == 206 &&
                           requests[1].target.find(resume) != std::string::npos;
        if (!bGood)
        {
            ++nBad;
            std::string seen;
            for (const station::RequestRecord& record : requests)
                seen += "\n  " + std::to_string(record.status) + " " + record.target + " (" +
                        record.note + ")";
            ADD_FAILURE() << "track " << dwId << " " << (fault.bReset ? "reset" : "cut") << " at "
                          << fault.dwOffset << " of " << fault.dwSize << ": the requests were"
                          << seen;
        }
    }
    EXPECT_EQ(nBad, 0);
    ExpectNoThreadOutlivedItsLimit();
}

// The outages are driven by a clock 50 times faster than real time, which the station's
// outage windows and the engine's pauses and limits all run on: 20 s of outage pass in
// 0.4 s, in the same order as they would in real time.
TEST_F(DownloadSoak, EveryTrackRidesOutItsOutageOrIsMarkedShortNeverWrong)
{
    OVR_SOAK_ONLY();
    const int nCount = soak::Count("outages", 200);
    std::mt19937_64 random(soak::Seed("outages"));
    constexpr DWORD kFirstId = 30000;
    std::string ids;
    std::vector<DWORD> sizes;
    for (int i = 0; i < nCount; ++i)
    {
        const std::string id = std::to_string(kFirstId + static_cast<DWORD>(i));
        const DWORD dwSize = static_cast<DWORD>(soak::Between(random, 1, 200000));
        const uint64_t nOutageMs = soak::Between(random, 0, 20000);
        sizes.push_back(dwSize);
        ids += (i != 0 ? "," : "") + id;
        station.Rules().AddRule("track " + id + " size " + std::to_string(dwSize));
        station.Rules().AddRule("track " + id + " cut " +
                                std::to_string(soak::Between(random, 0, dwSize - 1)) + " times 1");
        if (nOutageMs > 0)
            station.Rules().AddRule("track " + id + " outage " + std::to_string(nOutageMs) +
                                    (soak::Between(random, 0, 1) == 1 ? " refuse" : "") +
                                    " after 1 times 1");
    }
    station.Rules().AddRule("station outages tracks " + ids);
    const std::vector<STrackInfo> tracks =
        integration::FirstTracksOf("outages", static_cast<std::size_t>(nCount));

    testsupport::CFastClock clock(50);
    int nWrong = 0;
    int nShort = 0;
    for (int i = 0; i < nCount && nWrong < 5; ++i)
    {
        const STrackInfo& rec = tracks[static_cast<std::size_t>(i)];
        const DWORD dwSize = sizes[static_cast<std::size_t>(i)];
        ASSERT_EQ(rec.songsize, dwSize);
        CTrackCache cache(&rec, 1048576, &owner);
        ASSERT_TRUE(cache.SetupForWrite());
        const std::string bytes = downloadtest::ReadToEnd(cache);
        const bool bWhole = bytes.size() == dwSize;
        nShort += bWhole ? 0 : 1;
        if (bWhole == static_cast<bool>(cache.IsTruncated()) ||
            bytes != StationSong(rec.trackid, dwSize).substr(0, bytes.size()))
        {
            ++nWrong;
            ADD_FAILURE() << "track " << rec.trackid << ": " << bytes.size() << " of " << dwSize
                          << " bytes, marked short: " << cache.IsTruncated()
                          << ", the track's first bytes: "
                          << (bytes == StationSong(rec.trackid, dwSize).substr(0, bytes.size()));
        }
    }
    std::printf("[ soak     ] outages: %d of %d tracks ended short\n", nShort, nCount);
    EXPECT_EQ(nWrong, 0);
    ExpectNoThreadOutlivedItsLimit();
}
