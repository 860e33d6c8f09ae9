// ChangeStation, RefreshStation, EndSession and StartSession at random moments while a
// player thread plays, many times over with a new seed each run: nothing crashes, leaks,
// hangs or races, no callback comes while no session runs, and once the manager is gone
// the process has as many threads as before.
#include "download/DownloadTestSupport.h"
#include "engine/StreamManager.h"
#include "host/Preferences.h"
#include "integration/StationFixture.h"
#include "integration/StreamPlayer.h"
#include "support/Soak.h"

#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>

using SessionSoak = integration::StationIntegration;

TEST_F(SessionSoak, RandomSessionCallsWhilePlayingLeaveNoThreadBehind)
{
    OVR_SOAK_ONLY();
    const int nCount = soak::Count("session calls", 1000);
    std::mt19937_64 random(soak::Seed("session calls"));

    // Small whole tracks, one cut for good (resumed, then truncated), and a split track
    // whose cache part goes through the disk cache.
    station.Rules().AddRule("station one tracks 901,902,903");
    station.Rules().AddRule("station two tracks 904,301,905");
    for (const char* pszStation : {"one", "two"})
        station.Rules().AddRule(std::string("station ") + pszStation + " size 30000");
    station.Rules().AddRule("track 902 cut 10000");
    ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxTrackCacheSize", 65536), 0);
    ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxCachePoolSize", 300000), 0);

    const int nIdleThreads = soak::ThreadCount();
    auto pMgr = std::make_unique<CStreamManager>();
    const streamtest::SSessionCallsRun run = streamtest::RandomSessionCalls(*pMgr, nCount, random);
    testsupport::Within("the stream manager's end", [&] { pMgr.reset(); });
    std::printf("[ soak     ] %d changes, %d refreshes, %d ends, %d starts; %d tracks, %d reads\n",
                run.nChanges, run.nRefreshes, run.nEnds, run.nStarts, run.nTracks, run.nReads);

    EXPECT_EQ(run.nLateCalls, 0);
    EXPECT_GT(run.nReads, 0);
    EXPECT_GT(run.nCalls, 0);
    EXPECT_TRUE(downloadtest::WaitUntil([&] { return soak::ThreadCount() <= nIdleThreads; }))
        << soak::ThreadCount() << " threads remain, " << nIdleThreads << " before the session";
    EXPECT_FALSE(trace.HasLineContaining("still alive"));
}
