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

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using downloadtest::ReadToEnd;
using downloadtest::StationCachePart;
using downloadtest::StationSong;

namespace
{
constexpr DWORD kHeaderSize = mcCacheFileMgr::kHeaderSize;

class DiskCache : public integration::TrackCacheIntegration
{
protected:
    void SetUp() override
    {
        StationIntegration::SetUp();
        m_strFolder = home.File("cache") + "/";
        m_pCacheMgr = std::make_shared<mcRadioCacheMgr>(
            [passes = m_pPasses]
            {
                std::lock_guard lock(passes->mutex);
                ++passes->nEnded;
                passes->changed.notify_all();
            });
        m_pCacheMgr->Init();
        Configure(m_strFolder, true);
        owner.pCacheMgr = m_pCacheMgr;
    }
    void TearDown() override
    {
        owner.pCacheMgr.reset();
        testsupport::Within("the cache manager's UnInit", [this] { m_pCacheMgr->UnInit(); });
        m_pCacheMgr.reset();
        StationIntegration::TearDown();
    }

    void Configure(const std::string& strFolder, bool bEnabled)
    {
        CacheSettings settings = m_pCacheMgr->GetSettings();
        settings.strLocation = strFolder;
        settings.dMaxSize = 100 * cachetest::kMB;
        settings.dSafetyMargin = 10 * cachetest::kMB;
        settings.bEnabled = bEnabled;
        m_pCacheMgr->SetSettings(settings);
    }

    static std::string Expected(const STrackInfo& rec)
    {
        return integration::ExpectedSplitTrack(rec);
    }

    std::string PathOf(const STrackInfo& rec) const { return m_strFolder + rec.cacheid + ".DAT"; }

    // Plays the track; the connection state its cache source ended in.
    EConnectState Play(const STrackInfo& rec, std::string& bytes, DWORD dwPipeSize = 1048576)
    {
        CTrackCache cache(&rec, dwPipeSize, &owner);
        EXPECT_TRUE(cache.SetupForWrite());
        bytes = ReadToEnd(cache);
        EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_COMPLETE));
        const auto* source =
            dynamic_cast<mcFileInternetCacheDownloader*>(cache.GetDownloader()->GetCacheSource());
        EXPECT_NE(source, nullptr) << "the cache part did not come through the disk cache";
        return source ? source->GetConnectState() : CONNECT_NOW;
    }

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

    static std::string RangeOf(const station::RequestRecord& record)
    {
        return integration::HeaderOf(record, "Range");
    }

    // Plays the track in a program of its own whose files may not grow past the limit.
    void PlayUnderFileSizeLimitInAChild();

    // Waits until n size-management passes in all have ended.
    bool WaitForPasses(int n)
    {
        std::unique_lock lock(m_pPasses->mutex);
        return m_pPasses->changed.wait_for(lock, std::chrono::milliseconds(downloadtest::kLimitMs),
                                           [&] { return m_pPasses->nEnded >= n; });
    }

    struct SPasses
    {
        std::mutex mutex;
        std::condition_variable changed;
        int nEnded = 0;
    };
    const std::shared_ptr<SPasses> m_pPasses = std::make_shared<SPasses>();

    cachetest::FreeSpace free{1000 * cachetest::kMB};
    std::string m_strFolder;
    std::shared_ptr<mcRadioCacheMgr> m_pCacheMgr;
};
} // namespace

TEST_F(DiskCache, ANewPartFillsItsFileAndASecondPlayComesFromTheDiskAlone)
{
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[2];
    std::string bytes;
    EXPECT_EQ(Play(rec, bytes), CONNECTED);
    EXPECT_TRUE(bytes == Expected(rec));
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
    EXPECT_EQ(RangeOf(first[0]), "<none>");

    // Played again: the file holds the whole part, so no connection is made for it.
    EXPECT_EQ(Play(rec, bytes), FILE_COMPLETE);
    EXPECT_TRUE(bytes == Expected(rec));
    EXPECT_EQ(PartRequests(rec, "song", 2).size(), 2u);
    EXPECT_EQ(PartRequests(rec, "cache", 1).size(), 1u);
    EXPECT_EQ(HeaderOf(rec).trackcursize, rec.cachesize + kHeaderSize);
    EXPECT_NE(Events().find("\"name\":\"TrackFoundInCache\",\"params\":{\"TrackName\":\"" +
                            rec.track + "\",\"TrackCacheId\":\"" + PathOf(rec) + "\"}"),
              std::string::npos)
        << Events();
    EXPECT_FALSE(m_pCacheMgr->IsFileLocked(PathOf(rec)));
}

TEST_F(DiskCache, APartlyCachedPartConnectsLateFromWhereTheFileEnds)
{
    station.Rules().AddRule("track 302/cache size 100000");
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[1];
    ASSERT_EQ(rec.cachesize, 100000u);
    ASSERT_EQ(rec.splitcache, 1u);
    ASSERT_EQ(rec.splitsong, 1u);
    WriteCacheFile(rec, kHeaderSize + 60000, StationCachePart(302, 100000).substr(0, 60000));

    // A small track cache that nobody reads: the track stalls with less than 44000 bytes
    // of the file fed (the pass under way, the source's pipe and the chunk in hand).
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
    EXPECT_LT(source->GetBytesReceived(), 44000u);
    EXPECT_EQ(source->GetConnectState(), CONNECT_LATE);
    EXPECT_FALSE(trace.HasLineContaining("connects late"));

    const std::string bytes = ReadToEnd(cache);
    EXPECT_TRUE(bytes == Expected(rec));
    EXPECT_EQ(source->GetConnectState(), CONNECTED);
    EXPECT_TRUE(trace.HasLineContaining(
        "mcFileInternetCacheDownloader::FeedData connects late after 49152 of 60000 cached bytes"));
    const auto requests = PartRequests(rec, "cache", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(RangeOf(requests[0]), "bytes=60000-");
    EXPECT_EQ(requests[0].status, 206);
    std::string body;
    EXPECT_EQ(HeaderOf(rec, &body).trackcursize, 100000 + kHeaderSize);
    EXPECT_TRUE(body == StationCachePart(302, 100000));
}

TEST_F(DiskCache, AFileThatShrinksWhileItIsReadIsResumedFromWhereItGaveOut)
{
    station.Rules().AddRule("track 302/cache size 100000");
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[1];
    ASSERT_EQ(rec.cachesize, 100000u);
    const std::string part = StationCachePart(302, 100000);
    WriteCacheFile(rec, kHeaderSize + 60000, part.substr(0, 60000));
    CTrackCache cache(&rec, 8192, &owner);
    ASSERT_TRUE(cache.SetupForWrite());
    auto* source =
        dynamic_cast<mcFileInternetCacheDownloader*>(cache.GetDownloader()->GetCacheSource());
    ASSERT_NE(source, nullptr);
    ASSERT_TRUE(downloadtest::WaitUntil(
        [&] { return source->GetPipeHeldBytes() == source->GetPipeCapacity(); }))
        << "the cache part never filled its pipe";
    ASSERT_LT(source->GetBytesReceived(), 40000u);
    // Another program cuts the file short while the track waits on its reader.
    ASSERT_EQ(::truncate(PathOf(rec).c_str(), kHeaderSize + 40000), 0);
    EXPECT_TRUE(ReadToEnd(cache) == Expected(rec));
    EXPECT_TRUE(trace.HasLineContaining("gave out after 40000 of 60000 bytes"));
    const auto requests = PartRequests(rec, "cache", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(RangeOf(requests[0]), "bytes=40000-");
    // The file is left as it was found: its header counts only what it still holds.
    std::string body;
    EXPECT_EQ(HeaderOf(rec, &body).trackcursize, kHeaderSize + 40000);
    EXPECT_TRUE(body == part.substr(0, 40000));
}

TEST_F(DiskCache, ASourceWhoseFeedNeverRanUnlocksItsFileAndLeavesAHeaderOnly)
{
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[0];
    {
        CTrackCache cache(&rec, 1048576, &owner);
        mcFileInternetCacheDownloader source(rec.cachesize, rec.cacheurl, 0, &cache, rec.retry,
                                             8192, 0, 65536, 65536);
        EXPECT_TRUE(m_pCacheMgr->IsFileLocked(PathOf(rec)));
        EXPECT_FALSE(source.IsFoundInCache());
    }
    EXPECT_FALSE(m_pCacheMgr->IsFileLocked(PathOf(rec)));
    const CacheFileHeader header = HeaderOf(rec);
    EXPECT_EQ(header.tracksize, rec.cachesize + kHeaderSize);
    EXPECT_EQ(header.trackcursize, kHeaderSize);

    // A header alone: the part is fetched from its first byte with a range request.
    std::string bytes;
    EXPECT_EQ(Play(rec, bytes), CONNECTED);
    EXPECT_TRUE(bytes == Expected(rec));
    EXPECT_EQ(RangeOf(PartRequests(rec, "cache", 1)[0]), "bytes=0-");
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

TEST_F(DiskCache, AHeaderThatClaimsMoreOrLessThanTheFileHoldsNeverMakesTheTrackWrong)
{
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[0];
    const std::string part = StationCachePart(301, rec.cachesize);
    std::string bytes;
    std::string body;

    // Truncated: the header says the whole part, the file holds 30000 bytes of it.
    WriteCacheFile(rec, rec.cachesize + kHeaderSize, part.substr(0, 30000));
    EXPECT_EQ(Play(rec, bytes), CONNECTED);
    EXPECT_TRUE(bytes == Expected(rec));
    auto requests = PartRequests(rec, "cache", 1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(RangeOf(requests[0]), "bytes=30000-");
    EXPECT_EQ(HeaderOf(rec, &body).trackcursize, rec.cachesize + kHeaderSize);
    EXPECT_TRUE(body == part);

    // A size below the header's own: nothing of the body counts.
    WriteCacheFile(rec, 7, part);
    EXPECT_EQ(Play(rec, bytes), CONNECTED);
    EXPECT_TRUE(bytes == Expected(rec));
    requests = PartRequests(rec, "cache", 2);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(RangeOf(requests[1]), "bytes=0-");
    EXPECT_EQ(HeaderOf(rec, &body).trackcursize, rec.cachesize + kHeaderSize);
    EXPECT_TRUE(body == part);

    // Less than the file holds, which goes on with other bytes: the file counts up to
    // what the header says and the rest is fetched and written over what was there.
    std::string stale = part.substr(0, 20000) + std::string(part.size() - 20000, 'x');
    WriteCacheFile(rec, kHeaderSize + 20000, stale);
    EXPECT_EQ(Play(rec, bytes), CONNECTED);
    EXPECT_TRUE(bytes == Expected(rec));
    requests = PartRequests(rec, "cache", 3);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(RangeOf(requests[2]), "bytes=20000-");
    EXPECT_TRUE(HeaderOf(rec, &body).trackcursize == rec.cachesize + kHeaderSize && body == part);

    // More than the part: the part is served from the file and the rest of it ignored.
    WriteCacheFile(rec, rec.cachesize + kHeaderSize + 5000, part + std::string(5000, 'y'));
    EXPECT_EQ(Play(rec, bytes), FILE_COMPLETE);
    EXPECT_TRUE(bytes == Expected(rec));
    EXPECT_EQ(PartRequests(rec, "cache", 3).size(), 3u);
}

TEST_F(DiskCache, AnUnreadableHeaderOrOneOfAnotherPartStartsTheFileAnew)
{
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[0];
    ASSERT_TRUE(platform::CreateFolderChain(m_strFolder));
    for (const std::size_t nRequests : {1u, 2u})
    {
        if (nRequests == 1)
            testsupport::WriteFile(PathOf(rec), "not a cache file");
        else // made for a part 1000 bytes longer: its bytes are no prefix of this part
            WriteCacheFile(rec, kHeaderSize + 20000, std::string(20000, 'x'),
                           rec.cachesize + 1000 + kHeaderSize);
        std::string bytes;
        EXPECT_EQ(Play(rec, bytes), CONNECTED);
        EXPECT_TRUE(bytes == Expected(rec));
        std::string body;
        EXPECT_EQ(HeaderOf(rec, &body).trackcursize, rec.cachesize + kHeaderSize);
        EXPECT_TRUE(body == StationCachePart(301, rec.cachesize));
        EXPECT_EQ(RangeOf(PartRequests(rec, "cache", nRequests)[nRequests - 1]), "<none>");
    }
}

TEST_F(DiskCache, APartlyCachedPartTakesOnlyAnswersThatFitWhereItsFileEnds)
{
    station.Rules().AddRule("track 302/cache size 100000");
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    const STrackInfo& rec = tracks[1];
    const std::string part = StationCachePart(302, 100000);
    // The whole part from byte 0, as from a server that ignores ranges: the bytes the file
    // holds are skipped. A Content-Range that starts elsewhere: nothing of it is taken, the
    // track ends short and the file keeps its prefix.
    const struct
    {
        const char* pszRule;
        bool bWhole;
    } rows[] = {{"track 302/cache status 200 times 1", true},
                {"track 302/cache content-range 0-39999/100000 times 1", false}};
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.pszRule);
        station.Rules().AddRule(row.pszRule);
        WriteCacheFile(rec, kHeaderSize + 60000, part.substr(0, 60000));
        std::string bytes;
        {
            CTrackCache cache(&rec, 1048576, &owner);
            ASSERT_TRUE(cache.SetupForWrite());
            bytes = ReadToEnd(cache);
            EXPECT_EQ(cache.IsTruncated(), !row.bWhole);
        }
        const std::string expected = Expected(rec);
        EXPECT_TRUE(row.bWhole ? bytes == expected : expected.compare(0, bytes.size(), bytes) == 0)
            << "a wrong byte in the track";
        std::string body;
        const DWORD dwBody = row.bWhole ? 100000 : 60000;
        EXPECT_EQ(HeaderOf(rec, &body).trackcursize, kHeaderSize + dwBody);
        EXPECT_TRUE(body == part.substr(0, dwBody)) << "a wrong byte in the file";
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
    EXPECT_TRUE(bytes == Expected(tracks[2]));
    EXPECT_FALSE(platform::FileExists(PathOf(tracks[2])));
    EXPECT_FALSE(m_pCacheMgr->IsFileLocked(PathOf(tracks[2])));
}

TEST_F(DiskCache, ThePartComesFromTheNetworkWhenTheCacheCannotTakeIt)
{
    station.Rules().AddRule("track 302 field cacheid=not/a/name");
    const std::vector<STrackInfo> tracks = integration::FirstTracksOf("split", 3);
    ASSERT_EQ(tracks[1].cacheid, "not/a/name");
    for (const int nCase : {0, 1, 2, 3})
    {
        SCOPED_TRACE(nCase);
        // A cacheid that names no file; a disabled cache; a cache that found no room; a
        // part larger than the room the cache has.
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
        EXPECT_TRUE(ReadToEnd(cache) == Expected(rec));
        EXPECT_EQ(
            dynamic_cast<mcFileInternetCacheDownloader*>(cache.GetDownloader()->GetCacheSource()),
            nullptr);
    }
    EXPECT_TRUE(platform::FindFiles(m_strFolder, "*.DAT").empty());
}

TEST_F(DiskCache, WritesThatFailKeepAValidPrefixAndTheTrackGoesOn)
{
    PlayUnderFileSizeLimitInAChild();
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
    EXPECT_TRUE(bytes == Expected(rec));
    EXPECT_TRUE(trace.HasLineContaining("failed after 30000 body bytes; no more appends"));
    std::string body;
    EXPECT_EQ(HeaderOf(rec, &body).trackcursize, kHeaderSize + 30000);
    EXPECT_TRUE(body == StationCachePart(303, 30000));

    // The next play takes the prefix from the file and the rest from the network.
    EXPECT_EQ(Play(rec, bytes), CONNECTED);
    EXPECT_TRUE(bytes == Expected(rec));
    const auto requests = PartRequests(rec, "cache", 2);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(RangeOf(requests[1]), "bytes=30000-");
    EXPECT_TRUE(HeaderOf(rec, &body).trackcursize == rec.cachesize + kHeaderSize &&
                body == StationCachePart(303, rec.cachesize));
}

void DiskCache::PlayUnderFileSizeLimitInAChild()
{
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    // The program's real path, which it also finds its libraries beside.
    std::error_code error;
    const std::string strSelf = std::filesystem::read_symlink("/proc/self/exe", error).string();
    ASSERT_FALSE(error) << error.message();
    std::vector<std::string> args = {strSelf, "--gtest_also_run_disabled_tests",
                                     "--gtest_filter=DiskCache.DISABLED_UnderAFileSizeLimit"};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = {"OVR_FILE_SIZE_LIMIT_CHILD=1"};
    for (char** p = environ; *p != nullptr; ++p)
        env.emplace_back(*p);
    std::vector<char*> envp;
    for (std::string& entry : env)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int nSpawned =
        ::posix_spawn(&pid, strSelf.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ASSERT_EQ(nSpawned, 0);
    // The child's output is drained as it comes, so that it never waits on a full pipe.
    std::string output;
    std::thread reader(
        [&output, fd = out[0]]
        {
            char buffer[4096];
            for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
                output.append(buffer, static_cast<std::size_t>(n));
        });
    int status = 0;
    const bool bExited = testsupport::Exited(pid, status, "the child under a file-size limit");
    if (!bExited)
        ::kill(pid, SIGKILL), ::waitpid(pid, &status, 0);
    reader.join();
    ::close(out[0]);
    EXPECT_TRUE(bExited);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}
