// Fixtures of the cache tests: a private runtime folder with a cache folder in it, a
// free-disk figure the test sets, and cache files of chosen size and age (sparse, so
// that 100 MB caches cost no disk).
#pragma once

#include "cache/RadioCacheMgr.h"
#include "platform/Event.h"
#include "platform/Files.h"
#include "support/TestSupport.h"
#include "support/Wait.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace cachetest
{
constexpr double kMB = 1000000.0;

// Creates a file of the size whose last write lies the given seconds in the past.
inline void MakeFile(const std::string& path, double size, int nAgeSeconds)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    const timespec when[2] = {{::time(nullptr) - nAgeSeconds, 0},
                              {::time(nullptr) - nAgeSeconds, 0}};
    ASSERT_EQ(::futimens(fd, when), 0);
    ::close(fd);
}

// Sets the free-disk figure for the test's lifetime.
class FreeSpace
{
public:
    explicit FreeSpace(double bytes) : m_bytes(std::make_shared<std::atomic<ULONGLONG>>())
    {
        Set(bytes);
        platform::SetFreeSpaceOverride([bytes = m_bytes](const std::string&)
                                       { return bytes->load(); });
    }
    ~FreeSpace() { platform::SetFreeSpaceOverride({}); }
    FreeSpace(const FreeSpace&) = delete;
    FreeSpace& operator=(const FreeSpace&) = delete;

    void Set(double bytes) { m_bytes->store(static_cast<ULONGLONG>(bytes)); }

private:
    std::shared_ptr<std::atomic<ULONGLONG>> m_bytes;
};

// A runtime folder with a started manager whose cache folder is <home>/cache/.
class CacheFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_strFolder = m_home.File("cache") + "/";
        ASSERT_TRUE(platform::CreateFolderChain(m_strFolder));
        m_mgr = std::make_unique<mcRadioCacheMgr>([ended = m_firstPassEnded] { ended->Set(); });
        m_mgr->Init();
        Configure(100 * kMB, 100 * kMB);
        // Init's pass reads the settings, the free space and the folder whenever its thread
        // gets to it: were a test to make its files meanwhile, that pass would trim some
        // of them under the test's figures before the test's own pass.
        ASSERT_TRUE(testsupport::Signalled(*m_firstPassEnded, "the pass that Init starts"));
    }
    void TearDown() override
    {
        if (m_mgr)
            m_mgr->UnInit();
        m_mgr.reset();
    }

    void Configure(double dMax, double dMargin, bool bEnabled = true)
    {
        CacheSettings settings = m_mgr->GetSettings();
        settings.strLocation = m_strFolder;
        settings.dMaxSize = dMax;
        settings.dSafetyMargin = dMargin;
        settings.bEnabled = bEnabled;
        m_mgr->SetSettings(settings);
    }

    // count files "Fnn.DAT" of the size, Fcount-1 the oldest; names run against age so
    // that the pass must order by time, not by name.
    void MakeFiles(int count, double size)
    {
        for (int i = 0; i < count; ++i)
            MakeFile(Path(i), size, 100 + 10 * i);
    }
    std::string Path(int i) const { return m_strFolder + "F" + std::to_string(10 + i) + ".DAT"; }
    bool Exists(int i) const { return platform::FileExists(Path(i)); }
    int Remaining() const
    {
        return static_cast<int>(platform::FindFiles(m_strFolder, "*.DAT").size());
    }

    // A pass run and awaited, which the manager does without a limit of its own.
    SizeStatus RunPass(testsupport::SCallSite where = {__builtin_FILE(), __builtin_LINE()})
    {
        return testsupport::Within(
            "a size-management pass", [this] { return m_mgr->RunSizeCheckAndWait(); },
            testsupport::kWaitLimitMs, where);
    }

    testsupport::TempHome m_home;
    // Set at the end of each pass, also one that outlives the manager.
    std::shared_ptr<platform::Event> m_firstPassEnded =
        std::make_shared<platform::Event>(false, false);
    FreeSpace m_free{1000 * kMB};
    std::string m_strFolder;
    std::unique_ptr<mcRadioCacheMgr> m_mgr;
};
} // namespace cachetest
