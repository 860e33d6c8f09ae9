// ChangeStation, RefreshStation, EndSession and StartSession at random moments while a
// player thread plays: nothing crashes, leaks, hangs or races, no callback comes while no
// session runs, and once the manager is gone the process has as many threads as before.
#include "download/DownloadTestSupport.h"
#include "engine/StreamManager.h"
#include "host/Preferences.h"
#include "integration/StationFixture.h"
#include "integration/StreamPlayer.h"
#include "platform/Event.h"
#include "support/Soak.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <string>
#include <thread>

using downloadtest::WaitUntil;
using streamtest::CodeOf;

namespace
{
using SessionSoak = integration::StationIntegration;

// Whether a session runs, for the player: without one it waits (a few milliseconds at
// most) for the next instead of asking again at once. The event is set while a session
// runs, and at the run's end, to wake a waiting player to look at its stop flag.
struct SSessionFlag
{
    void Set(bool bRunning)
    {
        m_bRunning = bRunning;
        bRunning ? sessionOrStop.Set() : sessionOrStop.Reset();
    }
    bool IsRunning() const { return m_bRunning; }

    std::atomic<bool> m_bRunning{false};
    platform::Event sessionOrStop{true, false};
};
} // namespace

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
    std::atomic<bool> bEnded{true};
    std::atomic<int> nLateCalls{0};
    std::atomic<int> nCalls{0};
    streamtest::CStatusRecorder status;
    StatusCallback callback = [&](int nCode, const char*)
    {
        ++nCalls;
        if (bEnded)
            ++nLateCalls;
        if (nCode == 7 || nCode == 8 || nCode == 3)
            status.Record(nCode, nullptr);
    };
    auto pMgr = std::make_unique<CStreamManager>();
    CStreamManager& mgr = *pMgr;
    SSessionFlag session;
    ASSERT_TRUE(mgr.StartSession("one", "One", "afd", "caps", "::id=1", callback));
    bEnded = false;
    session.Set(true);

    std::atomic<bool> bStop{false};
    std::atomic<int> nReads{0};
    std::atomic<int> nTracks{0};
    // Tracks handed out, reads that brought bytes and requests refused: the moments.
    std::atomic<int> nProgress{0};
    std::thread playerThread(
        [&]
        {
            while (!bStop)
            {
                SPlayerTrackInfo info;
                const std::size_t nFrom = status.Count();
                const int nCode = CodeOf([&] { mgr.GetNextTrack(info); });
                ++nProgress;
                if (nCode == 11)
                {
                    mgr.AckNotified(0);
                    status.WaitForCode(nFrom, {3, 7, 8}, 200);
                    continue;
                }
                if (nCode != 0)
                {
                    session.sessionOrStop.WaitRealTime(5);
                    continue;
                }
                ++nTracks;
                streamtest::PlayTrackLoosely(mgr, info.nTrackID, bStop, nReads, nProgress);
            }
        });

    const char* const stations[] = {"one", "two"};
    int nChanges = 0, nRefreshes = 0, nEnds = 0, nStarts = 0;
    for (int i = 0; i < nCount; ++i)
    {
        // A random moment: after none, one or two steps of the player, then a jitter.
        const int nTarget = nProgress + static_cast<int>(soak::Between(random, 0, 2));
        if (!WaitUntil([&] { return nProgress >= nTarget; }))
            testsupport::FailAndEnd("the player to make progress before call " + std::to_string(i),
                                    streamtest::kLimitMs, {__builtin_FILE(), __builtin_LINE()});
        std::this_thread::sleep_for(
            std::chrono::microseconds(soak::Between(random, 0, 2000))); // jitter only
        const char* pszStation = stations[soak::Between(random, 0, 1)];
        if (!session.IsRunning())
        {
            ++nStarts;
            bEnded = false;
            testsupport::Within(
                "StartSession " + std::to_string(i), [&]
                { return mgr.StartSession(pszStation, "S", "afd", "caps", "::id=1", callback); });
            session.Set(true);
            continue;
        }
        switch (soak::Between(random, 0, 3))
        {
        case 0:
        case 1:
            ++nChanges;
            testsupport::Within("ChangeStation " + std::to_string(i),
                                [&] { return mgr.ChangeStation(pszStation); });
            break;
        case 2:
            ++nRefreshes;
            mgr.RefreshStation("afd-" + std::to_string(i), "::id=1::usr_info=" + std::to_string(i));
            break;
        default:
            ++nEnds;
            testsupport::Within("EndSession " + std::to_string(i),
                                [&] { return mgr.EndSession(); });
            // Until the next StartSession any callback comes too late.
            bEnded = true;
            session.Set(false);
        }
    }
    bStop = true;
    session.sessionOrStop.Set();
    testsupport::Within("EndSession", [&] { return mgr.EndSession(); });
    bEnded = true;
    testsupport::Within("the player thread to end", [&] { playerThread.join(); });
    testsupport::Within("the stream manager's end", [&] { pMgr.reset(); });
    std::printf("[ soak     ] %d changes, %d refreshes, %d ends, %d starts; %d tracks, %d reads\n",
                nChanges, nRefreshes, nEnds, nStarts, nTracks.load(), nReads.load());

    EXPECT_EQ(nLateCalls.load(), 0);
    EXPECT_GT(nReads.load(), 0);
    EXPECT_GT(nCalls.load(), 0);
    EXPECT_TRUE(WaitUntil([&] { return soak::ThreadCount() <= nIdleThreads; }))
        << soak::ThreadCount() << " threads remain, " << nIdleThreads << " before the session";
    EXPECT_FALSE(trace.HasLineContaining("still alive"));
}
