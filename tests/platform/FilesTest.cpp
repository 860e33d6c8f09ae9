#include "platform/Files.h"

#include "platform/RuntimeFolder.h"
#include "platform/StoredFile.h"
#include "support/TestSupport.h"
#include "support/Wait.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace
{
using testsupport::ScopedEnv;
using testsupport::TempHome;
using testsupport::WriteFile;

using testsupport::ModeOf;

// Clears the free-space override however a test ends.
struct FreeSpaceOverrideGuard
{
    ~FreeSpaceOverrideGuard() { platform::SetFreeSpaceOverride({}); }
};

void SetModificationTime(const std::string& path, std::time_t seconds, long nanoseconds)
{
    const timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// What the cache relies on beyond its own tests: a missing file has no size and cannot be
// deleted or renamed; a folder is no file; a rename replaces its target.
TEST(Files, ExistenceSizeDeleteAndRenameReplacingTheTarget)
{
    TempHome home;
    const std::string file = home.File("a.bin");
    const std::string other = home.File("b.bin");
    EXPECT_FALSE(platform::FileSize(file).has_value());
    EXPECT_FALSE(platform::DeleteFile(file));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(platform::RenameFile(file, other));
    EXPECT_FALSE(platform::FileExists(home.Path().string()));
    EXPECT_FALSE(platform::FileSize(home.Path().string()).has_value());
    WriteFile(file, "12345");
    WriteFile(other, "old target");
    EXPECT_FALSE(platform::FolderExists(file));
    EXPECT_TRUE(platform::RenameFile(file, other));
    EXPECT_FALSE(platform::FileExists(file));
    EXPECT_EQ(testsupport::ReadFile(other), "12345");
}

TEST(Files, SizesBeyond32Bits)
{
    TempHome home;
    const std::string file = home.File("big.DAT");
    WriteFile(file, "");
    const ULONGLONG nSize = (ULONGLONG{5} << 30) + 3; // sparse: takes no disk space
    ASSERT_EQ(truncate(file.c_str(), static_cast<off_t>(nSize)), 0);
    EXPECT_EQ(platform::FileSize(file), nSize);
    const auto found = platform::FindFiles(home.Path().string(), "*.DAT");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].size, nSize);
}

TEST(Files, CreateFolderChainMakesEveryMissingFolder)
{
    TempHome home;
    const std::string deep = home.File("one/two//three/");
    EXPECT_TRUE(platform::CreateFolderChain(deep));
    EXPECT_TRUE(platform::FolderExists(home.File("one/two/three")));
    EXPECT_TRUE(platform::CreateFolderChain(deep)); // existing already

    WriteFile(home.File("plain"), "x");
    EXPECT_FALSE(platform::CreateFolderChain(home.File("plain")));
    EXPECT_FALSE(platform::CreateFolderChain(home.File("plain/below")));
    EXPECT_FALSE(platform::FolderExists(home.File("plain/below")));
    EXPECT_FALSE(platform::CreateFolderChain(""));
}

TEST(Files, FindFilesByPatternWithSizesAndTimes)
{
    TempHome home;
    const std::string folder = home.File("cache");
    ASSERT_TRUE(platform::CreateFolderChain(folder));
    WriteFile(folder + "/b.DAT", std::string(300, 'b'));
    WriteFile(folder + "/a.DAT", "aa");
    WriteFile(folder + "/c.dat", "c");         // letter case does not matter
    WriteFile(folder + "/d.DAT.part", "dddd"); // the pattern covers the whole name
    WriteFile(folder + "/RECache.idx", "index");
    ASSERT_TRUE(platform::CreateFolderChain(folder + "/sub.DAT")); // a folder, not a file
    WriteFile(folder + "/sub.DAT/e.DAT", "below");
    SetModificationTime(folder + "/a.DAT", 1700000000, 123456789);

    const auto found = platform::FindFiles(folder, "*.DAT");
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0].name, "a.DAT");
    EXPECT_EQ(found[0].size, 2u);
    EXPECT_EQ(found[1].name, "b.DAT");
    EXPECT_EQ(found[1].size, 300u);
    EXPECT_EQ(found[2].name, "c.dat");
    EXPECT_EQ(found[2].size, 1u);
    using namespace std::chrono;
    EXPECT_EQ(duration_cast<milliseconds>(found[0].lastWrite.time_since_epoch()).count(),
              1700000000123LL);

    auto names = [&](const std::string& pattern)
    {
        std::string joined;
        for (const auto& f : platform::FindFiles(folder, pattern))
            joined += f.name + " ";
        return joined;
    };
    EXPECT_EQ(names("?.DAT"), "a.DAT b.DAT c.dat ");
    EXPECT_EQ(names("*"), "RECache.idx a.DAT b.DAT c.dat d.DAT.part ");
    EXPECT_EQ(names("recache.IDX"), "RECache.idx ");
    EXPECT_EQ(names("*.D*T*"), "a.DAT b.DAT c.dat d.DAT.part ");
    EXPECT_EQ(names("*a*"), "RECache.idx a.DAT b.DAT c.dat d.DAT.part ");
    EXPECT_EQ(names("a"), "");
    EXPECT_TRUE(platform::FindFiles(home.File("missing"), "*").empty());
}

TEST(Files, LocalSystemTimeGivesTheLocalCalendarToTheMillisecond)
{
    const ScopedEnv tz("TZ", "UTC");
    tzset();
    using namespace std::chrono;
    const auto time = system_clock::time_point(milliseconds(1700000000123LL));
    const platform::SYSTEMTIME st = platform::LocalSystemTime(time);
    EXPECT_EQ(st.wYear, 2023);
    EXPECT_EQ(st.wMonth, 11);
    EXPECT_EQ(st.wDay, 14);
    EXPECT_EQ(st.wDayOfWeek, 2); // a Tuesday
    EXPECT_EQ(st.wHour, 22);
    EXPECT_EQ(st.wMinute, 13);
    EXPECT_EQ(st.wSecond, 20);
    EXPECT_EQ(st.wMilliseconds, 123);
    {
        const ScopedEnv east("TZ", "UTC-2");
        tzset();
        EXPECT_EQ(platform::LocalSystemTime(time).wHour, 0);
        EXPECT_EQ(platform::LocalSystemTime(time).wDay, 15);
    }
    tzset();
}

TEST(Files, FreeDiskBytesAnswersTheDiskOrTheOverride)
{
    TempHome home;
    const FreeSpaceOverrideGuard guard;
    const std::string folder = home.Path().string();
    const ULONGLONG nReal = platform::FreeDiskBytes(folder);
    EXPECT_GT(nReal, 0u);
    EXPECT_EQ(platform::FreeDiskBytes(home.File("missing/folder")), 0u);

    std::string asked;
    platform::SetFreeSpaceOverride(
        [&](const std::string& f)
        {
            asked = f;
            return ULONGLONG{40} << 20;
        });
    EXPECT_EQ(platform::FreeDiskBytes(folder), ULONGLONG{40} << 20);
    EXPECT_EQ(asked, folder);
    EXPECT_EQ(platform::FreeDiskBytes(home.File("missing/folder")), ULONGLONG{40} << 20);

    platform::SetFreeSpaceOverride({});
    EXPECT_EQ(platform::FreeDiskBytes(home.File("missing/folder")), 0u);
    EXPECT_GT(platform::FreeDiskBytes(folder), 0u);
}

TEST(Files, FreeSpaceOverrideCanChangeWhileOtherThreadsAsk)
{
    TempHome home;
    const FreeSpaceOverrideGuard guard;
    const std::string folder = home.Path().string();
    std::atomic<bool> bStop{false};
    std::atomic<int> nWrongAnswers{0};
    std::thread asker(
        [&]
        {
            while (!bStop.load())
            {
                const ULONGLONG n = platform::FreeDiskBytes(folder);
                if (n == 0)
                    ++nWrongAnswers;
            }
        });
    for (int i = 1; i <= 2000; ++i)
    {
        if (i % 2 == 0)
            platform::SetFreeSpaceOverride([i](const std::string&) { return ULONGLONG(i); });
        else
            platform::SetFreeSpaceOverride({});
    }
    bStop = true;
    testsupport::Within("the asking thread to end", [&] { asker.join(); });
    EXPECT_EQ(nWrongAnswers.load(), 0);
}

// A private folder is the user's alone or refused; a stored file is written 0600 and
// replaces whatever link stands at its name without writing through it.
TEST(Files, PrivateFoldersAndStoredFilesAreTheUsersAlone)
{
    struct SRow
    {
        const char* name;
        void (*prepare)(const std::string& path, const std::string& outside);
        bool (*act)(const std::string& path);
        bool bWant;
        unsigned nWantMode; // of the path afterwards (lstat), when bWant
    };
    const auto makeFolder = [](const std::string& path, const std::string&)
    { ASSERT_EQ(::mkdir(path.c_str(), 0755), 0); };
    const auto linkToOutside = [](const std::string& path, const std::string& outside)
    { ASSERT_EQ(::symlink(outside.c_str(), path.c_str()), 0); };
    const auto makePrivate = [](const std::string& path)
    { return platform::CreatePrivateFolder(path); };
    const SRow rows[] = {
        {"a missing folder is made 0700", [](const std::string&, const std::string&) {},
         makePrivate, true, 0700},
        {"an own folder open to others is closed", makeFolder, makePrivate, true, 0700},
        {"a link to a folder is refused", linkToOutside, makePrivate, false, 0},
        {"a file is refused",
         [](const std::string& path, const std::string&) { WriteFile(path, ""); }, makePrivate,
         false, 0},
        {"a stored file replaces a link at its name", linkToOutside,
         [](const std::string& path)
         {
             platform::ReplaceStoredFile(path, "new");
             return testsupport::ReadFile(path) == "new";
         },
         true, 0600},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        TempHome home;
        const std::string path = home.File("target");
        const std::string outside = home.File("outside");
        ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
        WriteFile(outside + "/kept", "theirs");
        row.prepare(path, outside + (row.bWant ? "/kept" : ""));
        EXPECT_EQ(row.act(path), row.bWant);
        if (row.bWant)
        {
            EXPECT_EQ(ModeOf(path), row.nWantMode);
        }
        EXPECT_EQ(testsupport::ReadFile(outside + "/kept"), "theirs");
    }
}

TEST(RuntimeFolder, TakesOvradioHomeThenXdgConfigHomeThenHome)
{
    TempHome home;
    const std::string base = home.Path().string();
    {
        const ScopedEnv ovr("OVRADIO_HOME", (base + "/own/place/").c_str());
        EXPECT_EQ(platform::RuntimeFolder(), base + "/own/place");
        EXPECT_TRUE(platform::FolderExists(base + "/own/place"));
        EXPECT_EQ(ModeOf(base + "/own/place"), 0700u); // the folder itself is private
    }
    const ScopedEnv noOvr("OVRADIO_HOME", nullptr);
    {
        const ScopedEnv xdg("XDG_CONFIG_HOME", (base + "/xdg").c_str());
        EXPECT_EQ(platform::RuntimeFolder(), base + "/xdg/ovradio");
        EXPECT_TRUE(platform::FolderExists(base + "/xdg/ovradio"));
    }
    const ScopedEnv homeVar("HOME", (base + "/user").c_str());
    {
        const ScopedEnv relativeXdg("XDG_CONFIG_HOME", "relative/xdg");
        EXPECT_EQ(platform::RuntimeFolder(), base + "/user/.config/ovradio");
    }
    const ScopedEnv noXdg("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(platform::RuntimeFolder(), base + "/user/.config/ovradio");
    EXPECT_TRUE(platform::FolderExists(base + "/user/.config/ovradio"));
}
} // namespace

// A settled file is read and parsed once; a replaced, rewritten or deleted one is read
// again; a file changed within the settling time is read at every ask, even when a rewrite
// keeps its inode and size.
TEST(Files, ASettledFileIsParsedOnceAndEveryChangeIsSeen)
{
    TempHome home;
    const std::string path = home.File("settings");
    int nParses = 0;
    const auto parse = [&](const std::string& text)
    {
        ++nParses;
        return text;
    };
    platform::SettledFileCache<std::string> settledAtOnce(std::chrono::seconds(0));
    WriteFile(path, "one");
    EXPECT_EQ(*settledAtOnce.Get(path, parse), "one");
    EXPECT_EQ(*settledAtOnce.Get(path, parse), "one");
    EXPECT_EQ(nParses, 1);
    const struct
    {
        const char* name;
        std::function<void()> change;
        const char* pszWant;
    } rows[] = {
        {"replaced by a rename", [&] { platform::ReplaceStoredFile(path, "two"); }, "two"},
        {"rewritten in place", [&] { WriteFile(path, "three!"); }, "three!"},
        {"deleted", [&] { ASSERT_EQ(::unlink(path.c_str()), 0); }, ""},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        row.change();
        const int nBefore = nParses;
        EXPECT_EQ(*settledAtOnce.Get(path, parse), row.pszWant);
        EXPECT_EQ(nParses, nBefore + 1);
    }

    platform::SettledFileCache<std::string> cache;
    WriteFile(path, "aaaa");
    EXPECT_EQ(*cache.Get(path, parse), "aaaa");
    WriteFile(path, "bbbb");
    EXPECT_EQ(*cache.Get(path, parse), "bbbb");

    // Asked from several threads while another replaces the file: always a whole text.
    platform::ReplaceStoredFile(path, "x");
    std::atomic<int> nTorn{0};
    testsupport::OnThreads(4, "the asking and writing threads",
                           [&](int nThread)
                           {
                               for (int i = 0; i < 200; ++i)
                               {
                                   if (nThread == 0)
                                       platform::ReplaceStoredFile(path, i % 2 ? "x" : "yy");
                                   else if (const auto text = *settledAtOnce.Get(
                                                path, [](const std::string& t) { return t; });
                                            text != "x" && text != "yy")
                                       ++nTorn;
                               }
                           });
    EXPECT_EQ(nTorn.load(), 0);
}
