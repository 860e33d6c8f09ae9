// Split tracks whose cache part goes through the disk cache while the cache file's writes
// fail: a limit on the size of files (RLIMIT_FSIZE) at a random byte of each play makes
// every write past it fail with EFBIG. Each play goes on from the network byte-exact, and
// what the file keeps is a valid header and a prefix of the part. The limit holds for a
// whole process, so the plays run in a program of their own.
#include "cache/CacheFileMgr.h"
#include "cache/CacheTestSupport.h"
#include "cache/RadioCacheMgr.h"
#include "download/DownloadTestSupport.h"
#include "download/TrackCache.h"
#include "integration/StationTracks.h"
#include "integration/TrackCacheFixture.h"
#include "platform/Files.h"
#include "support/ChildProcess.h"
#include "support/Soak.h"

#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/resource.h>
#include <vector>

using downloadtest::StationCachePart;

namespace
{
constexpr DWORD kHeaderSize = mcCacheFileMgr::kHeaderSize;

class CacheWriteSoak : public integration::DiskCacheIntegration
{
protected:
    // Plays the track while no file may grow past limitBytes; the bytes.
    std::string PlayUnderLimit(const STrackInfo& rec, rlim_t limitBytes)
    {
        rlimit limit{};
        EXPECT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlimit unlimited = limit;
        limit.rlim_cur = limitBytes;
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        std::string bytes;
        Play(rec, bytes);
        EXPECT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        return bytes;
    }

    // What the file holds, if anything, is a readable header and a prefix of the part.
    ::testing::AssertionResult FileHoldsAPrefix(const STrackInfo& rec)
    {
        const std::string bytes = testsupport::ReadFile(PathOf(rec));
        if (bytes.empty())
            return ::testing::AssertionSuccess();
        CacheFileHeader header;
        std::string strError;
        if (!ParseCacheFileHeader(std::string_view(bytes).substr(0, kHeaderSize), header, strError))
            return ::testing::AssertionFailure() << "unreadable header: " << strError;
        const std::string body = bytes.size() > kHeaderSize ? bytes.substr(kHeaderSize) : "";
        const std::string part = StationCachePart(rec.trackid, rec.cachesize);
        if (body.size() > part.size() || part.compare(0, body.size(), body) != 0)
            return ::testing::AssertionFailure()
                   << "the file's " << body.size() << " body bytes are not a prefix of the part";
        if (header.trackcursize > kHeaderSize + body.size())
            return ::testing::AssertionFailure() << "the header claims " << header.trackcursize
                                                 << " bytes, the file holds " << bytes.size();
        return ::testing::AssertionSuccess();
    }
};
} // namespace

TEST(CacheWriteSoakRun, SplitTracksPlayOnFromTheNetworkWhileCacheWritesFail)
{
    OVR_SOAK_ONLY();
    testsupport::ChildProcess child(
        testsupport::ThisProgram(),
        testsupport::OnlyTest("CacheWriteSoak.DISABLED_PlaysUnderFileSizeLimits",
                              {"OVR_SOAK_CACHE_CHILD", "1"}));
    ASSERT_TRUE(child.Started());
    // The plays take long under the sanitizers: each line of output is progress, and a
    // line comes at least every ten plays.
    constexpr DWORD kLineLimitMs = 600000;
    std::string line;
    std::string output;
    // Until the summary line; at the stream's end (a crash) only empty lines come.
    for (int nEmpty = 0; nEmpty < 100 && line.rfind("[==========] 1 test", 0) != 0;)
    {
        const ::testing::AssertionResult lineCame = child.OutLine(line, kLineLimitMs);
        ASSERT_TRUE(lineCame) << output;
        nEmpty = line.empty() ? nEmpty + 1 : 0;
        if (line.rfind("[ soak     ]", 0) == 0)
            std::printf("%s\n", line.c_str());
        output += line + "\n";
    }
    ASSERT_TRUE(child.Finish(kLineLimitMs)) << output;
    output += child.Out();
    EXPECT_EQ(child.ExitCode(), 0) << output;
    EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
}

// Run by the test above in a program of its own.
TEST_F(CacheWriteSoak, DISABLED_PlaysUnderFileSizeLimits)
{
    if (std::getenv("OVR_SOAK_CACHE_CHILD") == nullptr)
        GTEST_SKIP() << "runs only in the program that its parent test starts";
    const int nCount = soak::Count("plays with failing cache writes", 300);
    std::mt19937_64 random(soak::Seed("plays with failing cache writes"));
    // Past the limit a write fails (EFBIG) instead of ending the program with SIGXFSZ.
    std::signal(SIGXFSZ, SIG_IGN);
    const std::vector<STrackInfo> tracks = integration::SplitTracks();
    int nWrong = 0;
    for (int i = 0; i < nCount && nWrong < 5; ++i)
    {
        const STrackInfo& rec = tracks[soak::Between(random, 0, tracks.size() - 1)];
        // Now and then the file starts anew; otherwise a play resumes what an earlier one
        // kept.
        if (soak::Between(random, 0, 3) == 0)
            platform::DeleteFile(PathOf(rec));
        const rlim_t limit = soak::Between(random, 0, kHeaderSize + rec.cachesize);
        const std::string bytes = PlayUnderLimit(rec, limit);
        if (bytes != integration::ExpectedSplitTrack(rec))
        {
            ++nWrong;
            ADD_FAILURE() << "play " << i << " of track " << rec.trackid << " under a limit of "
                          << limit << " bytes is not byte-exact (" << bytes.size() << " bytes)";
        }
        EXPECT_TRUE(FileHoldsAPrefix(rec)) << "after play " << i << ", limit " << limit;
        if ((i + 1) % 10 == 0)
        {
            std::printf("[ soak     ] %d plays\n", i + 1);
            std::fflush(stdout);
        }
    }
    EXPECT_EQ(nWrong, 0);
    EXPECT_FALSE(trace.HasLineContaining("still alive"));
}
