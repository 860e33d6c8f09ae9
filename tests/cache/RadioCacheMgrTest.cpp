// The radio cache manager: naming cache files, the lock list, size-management passes
// and the engine object's status calls.
#include "cache/RadioCacheMgr.h"

#include "CacheTestSupport.h"
#include "cache/CacheFileMgr.h"
#include "host/Preferences.h"
#include "platform/Clock.h"
#include "support/TraceCapture.h"
#include "support/Wait.h"

#include <cmath>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <vector>

using cachetest::CacheFixture;
using cachetest::kMB;

namespace
{
STrackInfo SampleTrack()
{
    STrackInfo track;
    track.trackid = static_cast<DWORD>(-7);
    track.cacheid = "C7";
    track.splitcache = 1;
    track.splitsong = 3;
    track.songbr = 128;
    track.numchans = 2;
    track.samplerate = 44100;
    track.songenc = "wma";
    track.cachesize = 1500;
    return track;
}
} // namespace

class RadioCacheMgrTest : public CacheFixture
{
};

TEST_F(RadioCacheMgrTest, NamesCacheFilesOnlyForPlainFileNames)
{
    STrackInfo track = SampleTrack();
    EXPECT_EQ(m_mgr->GetCacheFilePath(track), m_strFolder + "C7.DAT");
    track.cacheid = std::string(200, 'a');
    EXPECT_EQ(m_mgr->GetCacheFilePath(track), m_strFolder + track.cacheid + ".DAT");
    for (const std::string& bad : std::vector<std::string>{
             "", ".", "..", "../C7", "a/b", "a\\b", "x\ty", "/etc/passwd", std::string(201, 'a')})
    {
        track.cacheid = bad;
        EXPECT_EQ(m_mgr->GetCacheFilePath(track), "") << bad;
    }
}

TEST_F(RadioCacheMgrTest, LocksCountPerCallAndIgnoreLetterCase)
{
    const std::string path = m_strFolder + "C7.DAT";
    const auto first = m_mgr->LockFile(path);
    const auto second = m_mgr->LockFile(path);
    EXPECT_NE(first, second);
    EXPECT_TRUE(m_mgr->IsFileLocked(m_strFolder + "c7.dat"));
    m_mgr->UnLockFile(first);
    EXPECT_TRUE(m_mgr->IsFileLocked(path));
    m_mgr->UnLockFile(first); // already released: nothing else goes
    EXPECT_TRUE(m_mgr->IsFileLocked(path));
    m_mgr->UnLockFile(second);
    EXPECT_FALSE(m_mgr->IsFileLocked(path));

    m_mgr->LockFile(path);
    m_mgr->UnInit(); // empties the list
    EXPECT_FALSE(m_mgr->IsFileLocked(path));
}

TEST_F(RadioCacheMgrTest, CacheSizeListsDatFilesOnly)
{
    MakeFiles(3, 1000);
    cachetest::MakeFile(m_strFolder + "other.txt", 5000, 0);
    cachetest::MakeFile(m_strFolder + "lower.dat", 7, 0);
    std::vector<CacheFileEntry> list{{"stale", "", 1}};
    EXPECT_EQ(m_mgr->GetCacheSize(&list), 3007.0);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].strName, "F10.DAT");
    EXPECT_EQ(list[0].dSize, 1000.0);
    EXPECT_EQ(list[0].strLastWrite.size(), 23u);
    EXPECT_LT(list[2].strLastWrite, list[0].strLastWrite); // F12 is older
    Configure(100 * kMB, 100 * kMB);
    CacheSettings gone = m_mgr->GetSettings();
    gone.strLocation = m_home.File("missing/");
    m_mgr->SetSettings(gone);
    EXPECT_EQ(m_mgr->GetCacheSize(&list), 0.0);
    EXPECT_TRUE(list.empty());
}

// A pass over the cache: over the maximum the oldest files go down to 90% of it; short of
// the margin the cache gives back what the disk lacks, down to 90% of the rest; files in
// use (locked or held open) stay. Only what really went counts as freed.
TEST_F(RadioCacheMgrTest, APassDeletesTheOldestFilesNobodyUses)
{
    struct SRow
    {
        const char* name;
        double dFreeMB;
        int nFiles;         // of 10 MB each, the last the oldest
        int nLocked, nOpen; // -1: none
        SizeStatus want;
        std::vector<int> survivors;
        double dSizeMB;
    };
    const SRow rows[] = {
        {"over the maximum, the oldest in use",
         1000,
         12,
         11,
         -1,
         eSizeWithinLimits,
         {0, 1, 2, 3, 4, 5, 6, 7, 11},
         90},
        // 40 MB short of the margin: down to (100 - 40) x 0.9 = 54 MB.
        {"short of the margin", 60, 10, -1, -1, eSizeDiskShort, {0, 1, 2, 3, 4}, 50},
        {"the cache cannot cover the shortfall", 60, 3, 1, -1, eSizeNoRoom, {1}, 10},
        {"no disk figure counts as no free space", 0, 3, -1, -1, eSizeNoRoom, {}, 0},
        {"a file held open", 0, 2, -1, 0, eSizeNoRoom, {0}, 10},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        m_free.Set(row.dFreeMB * kMB);
        MakeFiles(row.nFiles, 10 * kMB);
        std::optional<mcRadioCacheMgr::LockHandle> lock;
        if (row.nLocked >= 0)
            lock = m_mgr->LockFile(Path(row.nLocked));
        std::optional<mcCacheFileMgr> open;
        if (row.nOpen >= 0)
        {
            ASSERT_TRUE(open.emplace(Path(row.nOpen)).IsOpen());
        }
        EXPECT_EQ(RunPass(), row.want);
        EXPECT_EQ(m_mgr->GetSizeStatus(), row.want);
        EXPECT_EQ(Remaining(), static_cast<int>(row.survivors.size()));
        for (const int i : row.survivors)
            EXPECT_TRUE(Exists(i)) << i;
        EXPECT_EQ(m_mgr->GetLastCacheSize(), row.dSizeMB * kMB);
        if (lock)
            m_mgr->UnLockFile(*lock);
        open.reset();
        for (const auto& found : platform::FindFiles(m_strFolder, "*"))
            platform::DeleteFile(m_strFolder + found.name);
    }
}

// A part gets room in the cache only when its whole file fits under the maximum beside
// the files and the parts already given room, if need be after the oldest files that
// nobody uses or has room for are deleted; otherwise nothing is deleted and the part is
// played from the network alone.
TEST_F(RadioCacheMgrTest, APartGetsRoomOnlyWhenItFitsUnderTheMaximum)
{
    struct SRow
    {
        const char* name;
        double dPartMB;       // the part's size (its file is 500 bytes more)
        bool bLockOldest;     // the oldest file is in use
        bool bOtherPartFirst; // a 3 MB part was given room before (the oldest file goes)
        bool bWant;
        int nWantRemaining; // of the four 2 MB files
    };
    const SRow rows[] = {
        {"fits in the room left", 1.5, false, false, true, 4},
        {"the oldest files make room", 5, false, false, true, 2},
        {"larger than the whole cache", 11, false, false, false, 4},
        {"files in use cannot make room", 9, true, false, false, 4},
        {"room given to another part counts", 5, false, true, true, 0},
        {"room given to another part is not taken", 9, false, true, false, 3},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::string strRow = std::to_string(&row - rows);
        Configure(10 * kMB, 1 * kMB);
        MakeFiles(4, 2 * kMB); // 8 MB of 10
        std::vector<mcRadioCacheMgr::LockHandle> locks;
        if (row.bLockOldest)
            locks.push_back(m_mgr->LockFile(Path(3)));
        STrackInfo track = SampleTrack();
        if (row.bOtherPartFirst)
        {
            track.cacheid = "Other" + strRow;
            track.cachesize = static_cast<DWORD>(3 * kMB);
            ASSERT_TRUE(m_mgr->MakeRoomFor(track));
            locks.push_back(m_mgr->LockFile(m_mgr->GetCacheFilePath(track)));
        }
        track.cacheid = "Part" + strRow;
        track.cachesize = static_cast<DWORD>(row.dPartMB * kMB);
        EXPECT_EQ(m_mgr->MakeRoomFor(track), row.bWant);
        EXPECT_EQ(Remaining(), row.nWantRemaining);
        // The parts are done with: their room goes with their last lock.
        locks.push_back(m_mgr->LockFile(m_mgr->GetCacheFilePath(track)));
        for (const auto lock : locks)
            m_mgr->UnLockFile(lock);
        for (const auto& found : platform::FindFiles(m_strFolder, "*"))
            platform::DeleteFile(m_strFolder + found.name);
    }
}

// The cache folder may lie where others can write: a link planted at a cache file's name
// is neither opened nor written through, and a pass removes the link, not its target.
TEST_F(RadioCacheMgrTest, ALinkAtACacheFileNameIsNeverFollowed)
{
    const std::string outside = m_home.File("outside");
    testsupport::WriteFile(outside, "not the cache's");
    ASSERT_EQ(::symlink(outside.c_str(), Path(0).c_str()), 0);
    {
        mcCacheFileMgr file(Path(0));
        EXPECT_FALSE(file.IsOpen());
        CacheFileHeader header;
        EXPECT_NE(file.WriteHeader(header), mcCacheFileMgr::kHeaderSize);
    }
    m_free.Set(0);
    RunPass();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(Path(0))));
    EXPECT_EQ(testsupport::ReadFile(outside), "not the cache's");
}

TEST_F(RadioCacheMgrTest, DisablingBelowOneByteKeepsTheMarginAndEmptiesTheCache)
{
    Configure(100 * kMB, 20 * kMB);
    MakeFiles(3, 1 * kMB);
    m_mgr->LockFile(Path(2));
    // Shrinking runs a pass and waits for it, without a limit of its own.
    testsupport::Within("the shrinking pass", [&] { m_mgr->SetRadioCacheStatus(0.5, 10.0); });
    // The shrink ran a pass at once: every unlocked file is gone.
    EXPECT_EQ(Remaining(), 1);
    EXPECT_TRUE(Exists(2));
    EXPECT_FALSE(m_mgr->IsEnabled());
    EXPECT_FALSE(IsRadioCacheEnabledByInstallation());
    double dMax = -1, dMargin = -1, dCur = -1;
    INT nStatus = -1;
    // GetRadioCacheStatus runs a pass and waits for it as well.
    auto status = [&]
    {
        testsupport::Within("the status pass",
                            [&] { m_mgr->GetRadioCacheStatus(&dMax, &dMargin, &dCur, &nStatus); });
    };
    status();
    EXPECT_EQ(dMax, 0.0);
    EXPECT_EQ(dCur, 0.0);
    EXPECT_EQ(dMargin, 20 * kMB);
    EXPECT_EQ(nStatus, eSizeWithinLimits);
    testsupport::Within("the status pass",
                        [&] { m_mgr->GetRadioCacheStatus(nullptr, nullptr, nullptr, nullptr); });

    m_mgr->SetRadioCacheStatus(50 * kMB, 5 * kMB); // grows: no pass
    EXPECT_TRUE(m_mgr->IsEnabled());
    EXPECT_TRUE(IsRadioCacheEnabledByInstallation());
    status();
    EXPECT_EQ(dMax, 50 * kMB);
    EXPECT_EQ(dMargin, 5 * kMB);
    EXPECT_EQ(dCur, 1 * kMB);
    // A margin that is not a number keeps the old one.
    m_mgr->SetRadioCacheStatus(60 * kMB, std::nan(""));
    EXPECT_EQ(m_mgr->GetSettings().dSafetyMargin, 5 * kMB);
}

TEST_F(RadioCacheMgrTest, OnePassAtATime)
{
    // A pass held inside its disk query keeps every other start out.
    auto entered = std::make_shared<platform::Event>(true, false);
    auto release = std::make_shared<platform::Event>(true, false);
    platform::SetFreeSpaceOverride(
        [entered, release](const std::string&) -> ULONGLONG
        {
            entered->Set();
            EXPECT_TRUE(testsupport::Signalled(*release, "the test to release the pass"));
            return 1000000000;
        });
    ASSERT_TRUE(m_mgr->StartSizeManagement());
    EXPECT_TRUE(testsupport::Signalled(*entered, "the pass to reach its disk query"));
    EXPECT_FALSE(m_mgr->StartSizeManagement());
    std::thread waiter([&] { m_mgr->RunSizeCheckAndWait(); });
    release->Set();
    testsupport::Within("the waiter's pass to end", [&] { waiter.join(); });
    EXPECT_TRUE(m_mgr->StartSizeManagement());
    RunPass();
}

// A pass that outlives UnInit's 20-second wait runs on to its end after the manager is
// gone, on the state it shares; ASan would report any use of the destroyed manager.
TEST(RadioCacheMgrLifetimeTest, APassOutlivingUnInitNeverTouchesTheManager)
{
    testsupport::TempHome home;
    testsupport::TraceCapture trace;
    auto entered = std::make_shared<platform::Event>(true, false);
    auto release = std::make_shared<platform::Event>(true, false);
    auto ended = std::make_shared<platform::Event>(true, false);
    platform::SetFreeSpaceOverride(
        [entered, release](const std::string&) -> ULONGLONG
        {
            entered->Set();
            EXPECT_TRUE(testsupport::Signalled(*release, "the test to release the pass"));
            return 0;
        });
    const std::string folder = home.File("OVRadio/Cache/");
    ASSERT_TRUE(platform::CreateFolderChain(folder));
    cachetest::MakeFile(folder + "C1.DAT", 1000, 10);
    {
        platform::ManualClock clock;
        auto mgr = std::make_unique<mcRadioCacheMgr>([ended] { ended->Set(); });
        mgr->Init(); // its pass stops in the disk query
        ASSERT_TRUE(testsupport::Signalled(*entered, "Init's pass to reach its disk query"));
        std::thread uninit([&] { mgr->UnInit(); });
        EXPECT_TRUE(clock.WaitForTimedWaiters(1));
        clock.Advance(19999);
        EXPECT_FALSE(trace.HasLineContaining("still alive"));
        clock.Advance(1);
        testsupport::Within("UnInit to give up its 20 s wait", [&] { uninit.join(); });
        EXPECT_TRUE(trace.HasLineContaining(
            "mcRadioCacheMgr::UnInit()  the SizeMgmntProcThread still alive after 20000 msec"));
        mgr.reset();
        release->Set();
        EXPECT_TRUE(testsupport::Signalled(*ended, "the outliving pass to end"));
    }
    platform::SetFreeSpaceOverride({});
    EXPECT_FALSE(platform::FileExists(folder + "C1.DAT")); // the pass did its work
}
