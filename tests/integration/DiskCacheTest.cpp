// Split tracks whose cache part goes through the persistent radio cache, against
// ovradio-station: a new part fills its cache file, a second play takes it from the disk
// alone, a partly cached part connects late with a range request from where the file
// ends, and files that lie, fail or cannot be made never make a track wrong.
#include "cache/CacheFileMgr.h"
#include "cache/CacheTestSupport.h"
#include "cache/RadioCacheMgr.h"
#include "download/DownloadTestSupport.h"
#include "download/FileInternetCacheDownloader.h"
#include "download/TrackCache.h"
#include "download/TrackDownloader.h"
#include "integration/StationTracks.h"
#include "integration/TrackCacheFixture.h"
#include "platform/Files.h"
#include "support/ChildProcess.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using downloadtest::ReadToEnd;
using downloadtest::StationCachePart;
using downloadtest::StationSong;

namespace
{
constexpr DWORD kHeaderSize = mcCacheFileMgr::kHeaderSize;

class DiskCache : public integration::DiskCacheIntegration
{
protected:
    // Writes a cache file as a crafted one: the track's header with the given
    // trackcursize (and tracksize, when not 0), then the body.
    void WriteCacheFile(const STrackInfo& rec, DWORD dwCurSize, const std::string& body,
                        DWORD dwTrackSize = 0)
    {
        platform::DeleteFile(PathOf(rec));
        mcCacheFileMgr file(PathOf(rec));
        ASSERT_TRUE(file.IsOpen());
        CacheFileHeader header = m_pCacheMgr->MakeCacheFileHeader(rec);
        header.tracksize = dwTrackSize != 0 ? dwTrackSize : header.tracksize + kHeaderSize;
        header.trackcursize = dwCurSize;
        ASSERT_EQ(file.WriteHeader(header), kHeaderSize);
        DWORD dwWritten = 0;
        ASSERT_TRUE(file.Write(body.data(), static_cast<DWORD>(body.size()), dwWritten));
        ASSERT_EQ(dwWritten, body.size());
    }

    // The file's header and body.
    CacheFileHeader HeaderOf(const STrackInfo& rec, std::string* pBody = nullptr)
    {
        const std::string bytes = testsupport::ReadFile(PathOf(rec));
        CacheFileHeader header;
        std::string strError;
        EXPECT_TRUE(
            ParseCacheFileHeader(std::string_view(bytes).substr(0, kHeaderSize), header, strError))
            << strError;
        if (pBody)
            *pBody = bytes.size() > kHeaderSize ? bytes.substr(kHeaderSize) : std::string();
        return header;
    }

    // The requests for one part once the station has logged at least n of them.
    std::vector<station::RequestRecord> PartRequests(const STrackInfo& rec, const char* pszPart,
                                                     std::size_t n)
    {
        return integration::PartRequests(station, rec.trackid, pszPart, n);
    }

    // The requests for the part that the station has logged so far.
    std::size_t CacheRequests(const STrackInfo& rec)
    {
        std::size_t n = 0;
        for (const station::RequestRecord& record : station.Requests())
            n += record.target.rfind("/content/" + std::to_string(rec.trackid) + "/cache.mp3", 0) ==
                 0;
        return n;
    }
};
} // namespace

TEST_F(DiskCache, ANewPartFillsItsFileAndASecondPlayComesFromTheDiskAlone)
{
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[2];
    std::string bytes;
    EXPECT_EQ(Play(rec, bytes), CONNECTED);
    EXPECT_TRUE(bytes == integration::ExpectedSplitTrack(rec));
    std::string body;
    CacheFileHeader header = HeaderOf(rec, &body);
    EXPECT_EQ(header.tracksize, rec.cachesize + kHeaderSize);
    EXPECT_EQ(header.trackcursize, rec.cachesize + kHeaderSize);
    EXPECT_EQ(header.cacheid, "OVC303");
    EXPECT_EQ(header.filename, "OVC303.DAT");
    EXPECT_EQ(header.policy, "3:5");
    EXPECT_TRUE(body == StationCachePart(303, rec.cachesize));
    EXPECT_EQ(Events().find("TrackFoundInCache"), std::string::npos);
    // Init's pass and the one that the end of the feed starts.
    EXPECT_TRUE(WaitForPasses(2)) << "no size-management pass followed the feed";
    const auto first = PartRequests(rec, "cache", 1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(integration::HeaderOf(first[0], "Range"), "<none>");

    // Played again: the file holds the whole part, so no connection is made for it.
    EXPECT_EQ(Play(rec, bytes), FILE_COMPLETE);
    EXPECT_TRUE(bytes == integration::ExpectedSplitTrack(rec));
    EXPECT_EQ(PartRequests(rec, "song", 2).size(), 2u);
    EXPECT_EQ(PartRequests(rec, "cache", 1).size(), 1u);
    EXPECT_EQ(HeaderOf(rec).trackcursize, rec.cachesize + kHeaderSize);
    EXPECT_NE(Events().find("\"name\":\"TrackFoundInCache\",\"params\":{\"TrackName\":\"" +
                            rec.track + "\",\"TrackCacheId\":\"" + PathOf(rec) + "\"}"),
              std::string::npos)
        << Events();
    EXPECT_FALSE(m_pCacheMgr->IsFileLocked(PathOf(rec)));
}

// A part whose file holds 60000 of its 100000 bytes, read through a small track cache that
// nobody reads: the file feeds the part while the track stalls, with less than 44000 bytes
// of it fed (the pass under way, the source's pipe and the chunk in hand), not yet
// connected. Read on, the part connects late with a range request from where the file
// ends, or, when another program cut the file short meanwhile, from where it gave out.
TEST_F(DiskCache, APartlyCachedPartConnectsLateFromWhereTheFileEndsOrGaveOut)
{
    struct SRow
    {
        const char* name;
        DWORD dwCutTo; // the body the file is cut to while the track stalls; 0: not cut
        const char* pszTrace;
        const char* pszRange;
        DWORD dwBodyAfter;
    };
    const SRow rows[] = {
        {"the file as it was", 0,
         "mcFileInternetCacheDownloader::FeedData connects late after 49152 of 60000 cached bytes",
         "bytes=60000-", 100000},
        // The file is left as it was found: its header counts only what it still holds.
        {"a file cut short while the track stalls", 40000, "gave out after 40000 of 60000 bytes",
         "bytes=40000-", 40000},
    };
    station.Rules().AddRule("track 302/cache size 100000");
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[1];
    ASSERT_EQ(rec.cachesize, 100000u);
    ASSERT_EQ(rec.splitcache, 1u);
    ASSERT_EQ(rec.splitsong, 1u);
    const std::string part = StationCachePart(302, 100000);
    std::size_t nRequests = 0;
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        WriteCacheFile(rec, kHeaderSize + 60000, part.substr(0, 60000));
        CTrackCache cache(&rec, 8192, &owner);
        ASSERT_TRUE(cache.SetupForWrite());
        auto* source =
            dynamic_cast<mcFileInternetCacheDownloader*>(cache.GetDownloader()->GetCacheSource());
        ASSERT_NE(source, nullptr);
        EXPECT_TRUE(source->IsFoundInCache());
        // The pre-connect amount: 2 s at 128 kbit/s, half of it for the cache part.
        EXPECT_EQ(cache.GetPreconnectBytes() / 2, 16000u);
        ASSERT_TRUE(downloadtest::WaitUntil(
            [&] { return source->GetPipeHeldBytes() == source->GetPipeCapacity(); }))
            << "the cache part never filled its pipe";
        ASSERT_LT(source->GetBytesReceived(), row.dwCutTo != 0 ? 40000u : 44000u);
        EXPECT_EQ(source->GetConnectState(), CONNECT_LATE);
        EXPECT_FALSE(trace.HasLineContaining(row.pszTrace));
        if (row.dwCutTo != 0)
        {
            ASSERT_EQ(::truncate(PathOf(rec).c_str(), kHeaderSize + row.dwCutTo), 0);
        }
        EXPECT_TRUE(ReadToEnd(cache) == integration::ExpectedSplitTrack(rec));
        EXPECT_EQ(source->GetConnectState(), CONNECTED);
        EXPECT_TRUE(trace.HasLineContaining(row.pszTrace));
        const auto requests = PartRequests(rec, "cache", ++nRequests);
        ASSERT_EQ(requests.size(), nRequests);
        EXPECT_EQ(integration::HeaderOf(requests.back(), "Range"), row.pszRange);
        EXPECT_EQ(requests.back().status, 206);
        std::string body;
        EXPECT_EQ(HeaderOf(rec, &body).trackcursize, kHeaderSize + row.dwBodyAfter);
        EXPECT_TRUE(body == part.substr(0, row.dwBodyAfter));
    }
}

TEST_F(DiskCache, AFileHoldingNoMoreThanThePreconnectAmountConnectsAtOnce)
{
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[0];
    const std::string strUrl = CTrackDownloader::SignUrl(rec.cacheurl);
    CTrackCache cache(&rec, 1048576, &owner);
    for (const DWORD dwPreconnect : {10000u, 9999u})
    {
        SCOPED_TRACE(dwPreconnect);
        WriteCacheFile(rec, kHeaderSize + 10000,
                       StationCachePart(301, rec.cachesize).substr(0, 10000));
        mcFileInternetCacheDownloader source(rec.cachesize, strUrl, dwPreconnect, &cache, rec.retry,
                                             8192, 0, 65536, 65536);
        EXPECT_TRUE(source.IsFoundInCache());
        source.StartFeedThread();
        ASSERT_TRUE(downloadtest::WaitUntil([&] { return source.GetConnectState() == CONNECTED; }));
        // Connected at once, or late: after the first chunk of the file, once no more
        // than the pre-connect amount of it was left.
        EXPECT_EQ(trace.HasLineContaining("connects late after 8192 of 10000 cached bytes"),
                  dwPreconnect == 9999);
    }
}

// A file the cache finds in some state, and a play of its track: the track is always
// right, the file's bytes are taken as far as they are good, the rest of the part comes
// by a request from where they end, and the file ends holding what it should.
TEST_F(DiskCache, WhatAFileHoldsIsTakenAsFarAsItIsGoodAndTheRestFetched)
{
    station.Rules().AddRule("track 302/cache size 100000");
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec301 = tracks[0];
    const std::string part301 = StationCachePart(301, rec301.cachesize);
    const std::string part302 = StationCachePart(302, 100000);
    const DWORD dwWhole301 = rec301.cachesize;
    struct SRow
    {
        const char* name;
        std::size_t nTrack;            // 301 or 302
        std::function<void()> prepare; // leaves the file as the row finds it
        EConnectState eState;          // where the cache source ends
        const char* pszRange; // the Range of the new request for the part; "" for no request
        bool bWhole;          // the track plays whole (or ends short with a right prefix)
        DWORD dwBodyAfter;    // the bytes the file holds afterwards
    };
    const SRow rows[] = {
        {"a header alone, left by a source whose feed never ran", 0,
         [&]
         {
             {
                 CTrackCache cache(&rec301, 1048576, &owner);
                 mcFileInternetCacheDownloader source(rec301.cachesize, rec301.cacheurl, 0, &cache,
                                                      rec301.retry, 8192, 0, 65536, 65536);
                 EXPECT_TRUE(m_pCacheMgr->IsFileLocked(PathOf(rec301)));
                 EXPECT_FALSE(source.IsFoundInCache());
             }
             EXPECT_EQ(HeaderOf(rec301).trackcursize, kHeaderSize);
         },
         CONNECTED, "bytes=0-", true, dwWhole301},
        {"a header that claims the whole part over 30000 bytes of it", 0,
         [&] { WriteCacheFile(rec301, dwWhole301 + kHeaderSize, part301.substr(0, 30000)); },
         CONNECTED, "bytes=30000-", true, dwWhole301},
        {"a size below the header's own", 0, [&] { WriteCacheFile(rec301, 7, part301); }, CONNECTED,
         "bytes=0-", true, dwWhole301},
        {"a size below what the file holds, other bytes after it", 0,
         [&]
         {
             WriteCacheFile(rec301, kHeaderSize + 20000,
                            part301.substr(0, 20000) + std::string(dwWhole301 - 20000, 'x'));
         },
         CONNECTED, "bytes=20000-", true, dwWhole301},
        {"a size beyond the part: the rest of the file is ignored", 0,
         [&] {
             WriteCacheFile(rec301, dwWhole301 + kHeaderSize + 5000,
                            part301 + std::string(5000, 'y'));
         },
         FILE_COMPLETE, "", true, dwWhole301 + 5000},
        {"an unreadable header", 0,
         [&]
         {
             platform::DeleteFile(PathOf(rec301));
             ASSERT_TRUE(platform::CreateFolderChain(m_strFolder));
             testsupport::WriteFile(PathOf(rec301), "not a cache file");
         },
         CONNECTED, "<none>", true, dwWhole301},
        {"a header made for a part 1000 bytes longer", 0,
         [&]
         {
             WriteCacheFile(rec301, kHeaderSize + 20000, std::string(20000, 'x'),
                            dwWhole301 + 1000 + kHeaderSize);
         },
         CONNECTED, "<none>", true, dwWhole301},
        {"a resume answered from byte 0, as by a server that ignores ranges", 1,
         [&]
         {
             station.Rules().AddRule("track 302/cache status 200 times 1");
             WriteCacheFile(tracks[1], kHeaderSize + 60000, part302.substr(0, 60000));
         },
         CONNECTED, "bytes=60000-", true, 100000},
        {"a resume whose Content-Range starts elsewhere: the track ends short", 1,
         [&]
         {
             station.Rules().AddRule("track 302/cache content-range 0-39999/100000 times 1");
             WriteCacheFile(tracks[1], kHeaderSize + 60000, part302.substr(0, 60000));
         },
         CONNECT_LATE, "bytes=60000-", false, 60000},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        const STrackInfo& rec = tracks[row.nTrack];
        const std::string part = row.nTrack == 0 ? part301 : part302;
        const std::size_t nRequestsBefore = CacheRequests(rec);
        row.prepare();
        EXPECT_FALSE(m_pCacheMgr->IsFileLocked(PathOf(rec)));
        std::string bytes;
        {
            CTrackCache cache(&rec, 1048576, &owner);
            ASSERT_TRUE(cache.SetupForWrite());
            bytes = ReadToEnd(cache);
            EXPECT_EQ(cache.IsTruncated(), !row.bWhole);
            const auto* source = dynamic_cast<mcFileInternetCacheDownloader*>(
                cache.GetDownloader()->GetCacheSource());
            ASSERT_NE(source, nullptr) << "the cache part did not come through the disk cache";
            EXPECT_EQ(source->GetConnectState(), row.eState);
        }
        const std::string expected = integration::ExpectedSplitTrack(rec);
        EXPECT_TRUE(row.bWhole ? bytes == expected : expected.compare(0, bytes.size(), bytes) == 0)
            << "a wrong byte in the track";
        if (*row.pszRange == '\0')
        {
            EXPECT_EQ(CacheRequests(rec), nRequestsBefore) << "a request for a part on the disk";
        }
        else
        {
            const auto requests = PartRequests(rec, "cache", nRequestsBefore + 1);
            ASSERT_EQ(requests.size(), nRequestsBefore + 1);
            EXPECT_EQ(integration::HeaderOf(requests.back(), "Range"), row.pszRange);
        }
        std::string body;
        EXPECT_EQ(HeaderOf(rec, &body).trackcursize, kHeaderSize + row.dwBodyAfter);
        const std::size_t nGood = std::min<std::size_t>(row.dwBodyAfter, part.size());
        EXPECT_TRUE(body.substr(0, nGood) == part.substr(0, nGood)) << "a wrong byte in the file";
    }
}

TEST_F(DiskCache, ACacheFolderThatCannotBeMadeLeavesTheTrackToTheNetwork)
{
    // A folder below a plain file cannot be made, whoever asks.
    testsupport::WriteFile(home.File("blocker"), "a file, not a folder");
    m_strFolder = home.File("blocker") + "/cache/";
    Configure(m_strFolder, true);
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    std::string bytes;
    EXPECT_EQ(Play(tracks[2], bytes), CONNECTED);
    EXPECT_TRUE(bytes == integration::ExpectedSplitTrack(tracks[2]));
    EXPECT_FALSE(platform::FileExists(PathOf(tracks[2])));
    EXPECT_FALSE(m_pCacheMgr->IsFileLocked(PathOf(tracks[2])));
}

TEST_F(DiskCache, ThePartComesFromTheNetworkWhenTheCacheCannotTakeIt)
{
    station.Rules().AddRule("track 302 field cacheid=not/a/name");
    const std::vector<STrackInfo> tracks = integration::FirstTracksOf("split", 3);
    ASSERT_EQ(tracks[1].cacheid, "not/a/name");
    const char* const cases[] = {"a cacheid that names no file", "a disabled cache",
                                 "a cache that found no room",
                                 "a part larger than the room the cache has"};
    for (int nCase = 0; nCase < 4; ++nCase)
    {
        SCOPED_TRACE(cases[nCase]);
        const STrackInfo& rec = nCase == 0 ? tracks[1] : tracks[0];
        if (nCase == 1)
            Configure(m_strFolder, false);
        if (nCase == 2)
        {
            Configure(m_strFolder, true);
            free.Set(0);
            ASSERT_EQ(testsupport::Within("a size-management pass",
                                          [this] { return m_pCacheMgr->RunSizeCheckAndWait(); }),
                      eSizeNoRoom);
        }
        if (nCase == 3)
        {
            free.Set(1e12);
            CacheSettings settings = m_pCacheMgr->GetSettings();
            settings.dMaxSize = rec.cachesize / 2.0;
            m_pCacheMgr->SetSettings(settings);
            ASSERT_EQ(testsupport::Within("a size-management pass",
                                          [this] { return m_pCacheMgr->RunSizeCheckAndWait(); }),
                      eSizeWithinLimits);
        }
        CTrackCache cache(&rec, 1048576, &owner);
        ASSERT_TRUE(cache.SetupForWrite());
        EXPECT_TRUE(ReadToEnd(cache) == integration::ExpectedSplitTrack(rec));
        EXPECT_EQ(
            dynamic_cast<mcFileInternetCacheDownloader*>(cache.GetDownloader()->GetCacheSource()),
            nullptr);
    }
    EXPECT_TRUE(platform::FindFiles(m_strFolder, "*.DAT").empty());
}

TEST_F(DiskCache, WritesThatFailKeepAValidPrefixAndTheTrackGoesOn)
{
    const testsupport::SChildResult child = testsupport::RunChild(
        testsupport::ThisProgram(), testsupport::OnlyTest("DiskCache.DISABLED_UnderAFileSizeLimit",
                                                          {"OVR_FILE_SIZE_LIMIT_CHILD", "1"}));
    EXPECT_EQ(child.nExit, 0) << child.strOut;
    EXPECT_NE(child.strOut.find("[  PASSED  ] 1 test"), std::string::npos) << child.strOut;
}

// Run by the test above in a program of its own, since a limit on the size of files holds
// for the whole process: the track plays while no file may grow past 30500 bytes.
TEST_F(DiskCache, DISABLED_UnderAFileSizeLimit)
{
    if (std::getenv("OVR_FILE_SIZE_LIMIT_CHILD") == nullptr)
        GTEST_SKIP() << "runs only in the program that its parent test starts";
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[2];
    ASSERT_GT(rec.cachesize, 30000u);
    // Past the limit a write fails (EFBIG) instead of ending the program with SIGXFSZ.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit unlimited = limit;
    limit.rlim_cur = kHeaderSize + 30000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    std::string bytes;
    EXPECT_EQ(Play(rec, bytes), CONNECTED);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    EXPECT_TRUE(bytes == integration::ExpectedSplitTrack(rec));
    EXPECT_TRUE(trace.HasLineContaining("failed after 30000 body bytes; no more appends"));
    std::string body;
    EXPECT_EQ(HeaderOf(rec, &body).trackcursize, kHeaderSize + 30000);
    EXPECT_TRUE(body == StationCachePart(303, 30000));

    // The next play takes the prefix from the file and the rest from the network.
    EXPECT_EQ(Play(rec, bytes), CONNECTED);
    EXPECT_TRUE(bytes == integration::ExpectedSplitTrack(rec));
    const auto requests = PartRequests(rec, "cache", 2);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(integration::HeaderOf(requests[1], "Range"), "bytes=30000-");
    EXPECT_TRUE(HeaderOf(rec, &body).trackcursize == rec.cachesize + kHeaderSize &&
                body == StationCachePart(303, rec.cachesize));
}
