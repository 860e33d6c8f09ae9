#include "platform/Registry.h"

#include "platform/DebugOutput.h"
#include "support/TestSupport.h"
#include "support/Wait.h"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace
{
using platform::Hive;
using platform::RegistryValue;
namespace Registry = platform::Registry;
using testsupport::ReadFile;
using testsupport::WriteFile;

std::string Repeated(const std::string& text, std::size_t nTimes)
{
    std::string out;
    out.reserve(text.size() * nTimes);
    for (std::size_t i = 0; i < nTimes; ++i)
        out += text;
    return out;
}

const std::string kEReg = "SOFTWARE\\Orvale\\Orvale Deck\\SharedData\\EReg";
const std::string kClsid = "CLSID\\{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}";

class RegistryTest : public ::testing::Test
{
protected:
    RegistryTest()
    {
        platform::SetDebugOutputHook(
            [this](const std::string& text)
            {
                const std::lock_guard lock(m_mutex);
                m_reports.push_back(text);
            });
    }
    ~RegistryTest() override { platform::SetDebugOutputHook({}); }

    std::string File() const { return m_home.File("registry.reg"); }

    std::vector<std::string> Reports()
    {
        const std::lock_guard lock(m_mutex);
        return m_reports;
    }

    // The names in the runtime folder.
    std::set<std::string> FolderNames() const
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_home.Path()))
            names.insert(entry.path().filename().string());
        return names;
    }

    testsupport::TempHome m_home;
    std::mutex m_mutex;
    std::vector<std::string> m_reports;
};

// Names compare without regard to case and keep their first spelling; the file is the
// regedit form, keys in order with every parent written, values in the order first set.
TEST_F(RegistryTest, WritesTheRegeditFormInAStableOrder)
{
    EXPECT_EQ(Registry::FilePath(), File());
    EXPECT_FALSE(Registry::QueryString(Hive::LocalMachine, kEReg, "OVUID"));
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, "OVRadioEngine.RadioEngineObj\\CurVer", "",
                                    "OVRadioEngine.RadioEngineObj.1"));
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, "OVRadioEngine.RadioEngineObj", "",
                                    "RadioEngineObj Class"));
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, kClsid + "\\InprocServer32",
                                    "ThreadingModel", "Apartment"));
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, kClsid + "\\InprocServer32", "",
                                    "/opt/ovradio/libOVRadioEngine.so"));
    ASSERT_TRUE(Registry::CreateKey(Hive::ClassesRoot, kClsid + "\\Programmable"));
    ASSERT_TRUE(Registry::SetString(Hive::LocalMachine, kEReg, "OVUID", "{first}"));
    ASSERT_TRUE(Registry::SetDword(Hive::LocalMachine, kEReg, "Upload", 42));
    ASSERT_TRUE(Registry::SetDword(Hive::LocalMachine, kEReg, "Max", 0xFFFFFFFFu));

    const std::string otherCase = "software\\ORVALE\\orvale deck\\shareddata\\ereg";
    EXPECT_EQ(Registry::QueryString(Hive::LocalMachine, otherCase, "ovuid"), "{first}");
    EXPECT_EQ(Registry::QueryDword(Hive::LocalMachine, otherCase, "UPLOAD"), 42u);
    // The other type answers nothing; so does the other tree.
    EXPECT_FALSE(Registry::QueryDword(Hive::LocalMachine, kEReg, "OVUID"));
    EXPECT_FALSE(Registry::QueryString(Hive::LocalMachine, kEReg, "Upload"));
    EXPECT_FALSE(Registry::QueryString(Hive::ClassesRoot, kEReg, "OVUID"));
    EXPECT_TRUE(Registry::KeyExists(Hive::LocalMachine, "\\Software\\orvale\\"));
    ASSERT_TRUE(Registry::SetString(Hive::LocalMachine, otherCase, "ovuid", "{second}"));
    ASSERT_TRUE(Registry::CreateKey(Hive::LocalMachine, "software\\orvale\\Added"));
    EXPECT_EQ(Registry::SubKeys(Hive::LocalMachine, "SOFTWARE\\ORVALE"),
              (std::vector<std::string>{"Added", "Orvale Deck"}));
    const auto values = Registry::Values(Hive::LocalMachine, kEReg);
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0].name, "OVUID");
    EXPECT_EQ(std::get<std::string>(values[0].data), "{second}");

    const std::string expected =
        "REGEDIT4\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvale]\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvale\\Added]\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvale\\Orvale Deck]\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvale\\Orvale Deck\\SharedData]\n"
        "\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvale\\Orvale Deck\\SharedData\\EReg]\n"
        "\"OVUID\"=\"{second}\"\n"
        "\"Upload\"=dword:0000002a\n"
        "\"Max\"=dword:ffffffff\n"
        "\n"
        "[HKEY_CLASSES_ROOT\\CLSID]\n"
        "\n"
        "[HKEY_CLASSES_ROOT\\CLSID\\{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}]\n"
        "\n"
        "[HKEY_CLASSES_ROOT\\CLSID\\{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}\\InprocServer32]\n"
        "@=\"/opt/ovradio/libOVRadioEngine.so\"\n"
        "\"ThreadingModel\"=\"Apartment\"\n"
        "\n"
        "[HKEY_CLASSES_ROOT\\CLSID\\{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}\\Programmable]\n"
        "\n"
        "[HKEY_CLASSES_ROOT\\OVRadioEngine.RadioEngineObj]\n"
        "@=\"RadioEngineObj Class\"\n"
        "\n"
        "[HKEY_CLASSES_ROOT\\OVRadioEngine.RadioEngineObj\\CurVer]\n"
        "@=\"OVRadioEngine.RadioEngineObj.1\"\n"
        "\n";
    EXPECT_EQ(ReadFile(File()), expected);
    // Temporary files are gone; the lock file stays beside the data file.
    EXPECT_EQ(FolderNames(), (std::set<std::string>{"registry.reg", "registry.reg.lock"}));
}

TEST_F(RegistryTest, EscapesRoundTrip)
{
    const std::string name = "Na\"me\\x";
    const std::string value = std::string("C:\\Dir\\\"q\"\nline2\r") + '\0' + "end";
    ASSERT_TRUE(Registry::SetString(Hive::LocalMachine, "Key", name, value));
    ASSERT_TRUE(Registry::SetString(Hive::LocalMachine, "Key", "empty", ""));
    EXPECT_EQ(ReadFile(File()), "REGEDIT4\n"
                                "\n"
                                "[HKEY_LOCAL_MACHINE\\Key]\n"
                                "\"Na\\\"me\\\\x\"=\"C:\\\\Dir\\\\\\\"q\\\"\\nline2\\r\\0end\"\n"
                                "\"empty\"=\"\"\n"
                                "\n");
    EXPECT_EQ(Registry::QueryString(Hive::LocalMachine, "Key", "na\"ME\\X"), value);
    EXPECT_EQ(Registry::QueryString(Hive::LocalMachine, "Key", "EMPTY"), "");
}

// A file written by hand (CR LF, blanks, comments, any case, a key given twice) reads; an
// empty file is an empty registry.
TEST_F(RegistryTest, ReadsAHandWrittenFile)
{
    WriteFile(File(), "");
    EXPECT_FALSE(Registry::KeyExists(Hive::LocalMachine, "Key"));
    EXPECT_NO_THROW(Registry::Validate());
    WriteFile(File(), "REGEDIT4\r\n"
                      "\r\n"
                      "; written by hand\r\n"
                      "[HKEY_LOCAL_MACHINE\\Software\\Orvale]\r\n"
                      "\"Text\" = \"a \\\"b\\\"\"\r\n"
                      "\"Short\"=dword:2A\r\n"
                      "\r\n"
                      "  [hkey_classes_root\\.ovr]  \r\n"
                      "@=\"OVRadio.File\"\r\n"
                      "[HKEY_LOCAL_MACHINE\\software\\orvale]\r\n"
                      "\"Late\"=DWORD:FFFFFFFF\r\n"
                      "\"Text\"=\"replaced\"");
    EXPECT_EQ(Registry::QueryString(Hive::LocalMachine, "SOFTWARE\\ORVALE", "text"), "replaced");
    EXPECT_EQ(Registry::QueryDword(Hive::LocalMachine, "Software\\Orvale", "Short"), 42u);
    EXPECT_EQ(Registry::QueryDword(Hive::LocalMachine, "Software\\Orvale", "Late"), 0xFFFFFFFFu);
    EXPECT_EQ(Registry::QueryString(Hive::ClassesRoot, ".OVR", ""), "OVRadio.File");
    EXPECT_NO_THROW(Registry::Validate());
    EXPECT_TRUE(Reports().empty());

    ASSERT_EQ(chmod(File().c_str(), 0644), 0);
    ASSERT_TRUE(Registry::SetDword(Hive::LocalMachine, "Software\\Orvale", "short", 1));
    EXPECT_EQ(testsupport::ModeOf(File()), 0600u); // the rewritten file is the user's alone
    EXPECT_EQ(ReadFile(File()), "REGEDIT4\n"
                                "\n"
                                "[HKEY_LOCAL_MACHINE\\Software]\n"
                                "\n"
                                "[HKEY_LOCAL_MACHINE\\Software\\Orvale]\n"
                                "\"Text\"=\"replaced\"\n"
                                "\"Short\"=dword:00000001\n"
                                "\"Late\"=dword:ffffffff\n"
                                "\n"
                                "[HKEY_CLASSES_ROOT\\.ovr]\n"
                                "@=\"OVRadio.File\"\n"
                                "\n");
}

// Subkeys list without regard to case, values in the order first set; a value of the other
// type is replaced in its place; a key is deleted with everything below it.
TEST_F(RegistryTest, EnumeratesAndDeletesKeysWithEverythingBelow)
{
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, "Top\\gamma\\deep\\deeper", "v", "1"));
    ASSERT_TRUE(Registry::CreateKey(Hive::ClassesRoot, "Top\\Beta"));
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, "Top\\alpha", "second", "2"));
    ASSERT_TRUE(Registry::SetDword(Hive::ClassesRoot, "Top\\alpha", "third", 3));
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, "Top\\alpha", "", "default"));
    EXPECT_EQ(Registry::SubKeys(Hive::ClassesRoot, "Top"),
              (std::vector<std::string>{"alpha", "Beta", "gamma"}));
    EXPECT_EQ(Registry::SubKeys(Hive::ClassesRoot, ""), (std::vector<std::string>{"Top"}));
    EXPECT_TRUE(Registry::SubKeys(Hive::ClassesRoot, "Top\\missing").empty());
    EXPECT_TRUE(Registry::Values(Hive::ClassesRoot, "Top\\missing").empty());
    ASSERT_TRUE(Registry::SetString(Hive::ClassesRoot, "Top\\alpha", "THIRD", "text now"));
    EXPECT_TRUE(Registry::DeleteValue(Hive::ClassesRoot, "Top\\alpha", "Second"));
    EXPECT_FALSE(Registry::DeleteValue(Hive::ClassesRoot, "Top\\alpha", "second"));
    EXPECT_FALSE(Registry::DeleteValue(Hive::ClassesRoot, "Top\\missing", "v"));
    const auto values = Registry::Values(Hive::ClassesRoot, "top\\ALPHA");
    ASSERT_EQ(values.size(), 2u);
    EXPECT_EQ(values[0].name, "");
    EXPECT_EQ(values[1].name, "third");
    EXPECT_EQ(std::get<std::string>(values[1].data), "text now");

    EXPECT_TRUE(Registry::DeleteKey(Hive::ClassesRoot, "TOP\\GAMMA"));
    EXPECT_FALSE(Registry::KeyExists(Hive::ClassesRoot, "Top\\gamma\\deep\\deeper"));
    EXPECT_TRUE(Registry::KeyExists(Hive::ClassesRoot, "Top\\Beta"));
    EXPECT_FALSE(Registry::DeleteKey(Hive::ClassesRoot, "Top\\gamma"));
    EXPECT_FALSE(Registry::DeleteKey(Hive::ClassesRoot, ""));
    EXPECT_TRUE(Registry::DeleteKey(Hive::ClassesRoot, "Top"));
    EXPECT_EQ(ReadFile(File()), "REGEDIT4\n\n");
}

TEST_F(RegistryTest, ADamagedFileIsReportedAndLeftAsItWas)
{
    const std::string good = "[HKEY_LOCAL_MACHINE\\Key]\n\"v\"=\"1\"\n";
    struct Case
    {
        std::string text;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"REGEDIT5\n\n" + good, "line 1"},
        {"Windows Registry Editor Version 5.00\n\n" + good, "line 1"},
        {"REGEDIT4\n\n" + good + "garbage\n", "line 5"},
        {"REGEDIT4\n\"v\"=\"1\"\n" + good, "line 2"},
        {"REGEDIT4\n" + good + "\"w\"=\"unterminated\n", "line 4"},
        {"REGEDIT4\n" + good + "\"w\"=\"bad \\q escape\"\n", "line 4"},
        {"REGEDIT4\n" + good + "\"w\"=dword:123456789\n", "line 4"},
        {"REGEDIT4\n" + good + "\"w\"=dword:12g4\n", "line 4"},
        {"REGEDIT4\n" + good + "\"w\"=hex:01,02\n", "line 4"},
        {"REGEDIT4\n" + good + "\"w\"=\"1\" tail\n", "line 4"},
        {"REGEDIT4\n" + good + "[HKEY_CURRENT_USER\\Other]\n", "line 4"},
        {"REGEDIT4\n" + good + "[HKEY_LOCAL_MACHINE\\a\\\\b]\n", "line 4"},
        {"REGEDIT4\n" + good + "[HKEY_LOCAL_MACHINE\\open\n", "line 4"},
        // One key nested 400,000 levels deep: refused when read, not a stack overflow.
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE" + Repeated("\\k", 400000) + "]\n", "line 2"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text.substr(0, 200));
        WriteFile(File(), c.text);
        m_reports.clear();
        EXPECT_FALSE(Registry::SetString(Hive::LocalMachine, "Key", "v", "2"));
        EXPECT_FALSE(Registry::CreateKey(Hive::LocalMachine, "New"));
        EXPECT_FALSE(Registry::DeleteKey(Hive::LocalMachine, "Key"));
        EXPECT_FALSE(Registry::DeleteValue(Hive::LocalMachine, "Key", "v"));
        EXPECT_FALSE(Registry::QueryString(Hive::LocalMachine, "Key", "v"));
        EXPECT_FALSE(Registry::KeyExists(Hive::LocalMachine, "Key"));
        EXPECT_TRUE(Registry::Values(Hive::LocalMachine, "Key").empty());
        EXPECT_EQ(ReadFile(File()), c.text);
        EXPECT_THROW(Registry::Validate(), platform::RegistryError);

        const auto reports = Reports();
        ASSERT_EQ(reports.size(), 7u);
        EXPECT_NE(reports[0].find(File()), std::string::npos) << reports[0];
        EXPECT_NE(reports[0].find(c.line + ":"), std::string::npos) << reports[0];
    }
    // Every change failed before it took the lock.
    EXPECT_EQ(FolderNames(), (std::set<std::string>{"registry.reg"}));
}

TEST_F(RegistryTest, RefusesKeyNamesThatCannotBeWritten)
{
    ASSERT_TRUE(Registry::SetString(Hive::LocalMachine, "Key", "v", "1"));
    const std::string before = ReadFile(File());
    EXPECT_FALSE(Registry::SetString(Hive::LocalMachine, "Key\\bad\nname", "v", "x"));
    EXPECT_FALSE(Registry::CreateKey(Hive::LocalMachine, "bad\rname"));
    EXPECT_FALSE(Registry::CreateKey(Hive::LocalMachine, Repeated("deep\\", 513)));
    EXPECT_EQ(ReadFile(File()), before);
    EXPECT_TRUE(Registry::CreateKey(Hive::LocalMachine, Repeated("deep\\", 512)));
    EXPECT_TRUE(Registry::KeyExists(Hive::LocalMachine, Repeated("deep\\", 512)));
}

// A file of many keys or values reads and changes in time proportional to its size. Each
// row reads the file four times. The limits only tell a parse that compares each key with
// its siblings (16 s or more a row in an optimised build, minutes in an unoptimised or
// sanitizer build) from one in proportion to the file (0.2 s a row optimised, 4 s with
// ASan at -O0), with room to spare on a busy machine either way.
TEST_F(RegistryTest, ManyKeysOrValuesReadAndChangeInProportionalTime)
{
    constexpr int kCount = 60000;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || !defined(__OPTIMIZE__)
    constexpr auto kLimit = std::chrono::seconds(40);
#elif defined(__has_feature)
    constexpr auto kLimit = std::chrono::seconds(
        __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ? 40 : 3);
#else
    constexpr auto kLimit = std::chrono::seconds(3);
#endif
    struct SRow
    {
        const char* name;
        std::string (*entry)(int);
        std::size_t (*count)();
        std::size_t nAddedBySet; // what setting the value "Added" adds to the count
    };
    const SRow rows[] = {
        {"sibling keys",
         [](int i) { return "[HKEY_LOCAL_MACHINE\\Many\\Key" + std::to_string(i) + "]\n"; },
         [] { return Registry::SubKeys(Hive::LocalMachine, "Many").size(); }, 0},
        {"values of one key", [](int i) { return "\"Value" + std::to_string(i) + "\"=dword:1\n"; },
         [] { return Registry::Values(Hive::LocalMachine, "Many").size(); }, 1},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Many]\n";
        for (int i = 0; i < kCount; ++i)
            text += row.entry(i);
        WriteFile(File(), text);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(row.count(), static_cast<std::size_t>(kCount));
        ASSERT_TRUE(Registry::SetString(Hive::LocalMachine, "Many", "Added", "1"));
        EXPECT_EQ(row.count(), kCount + row.nAddedBySet);
        EXPECT_LT(std::chrono::steady_clock::now() - start, kLimit);
    }
}

// A change that would change nothing neither writes the file nor takes the lock, so a
// start that only confirms its settings leaves the file (and a comment in it) alone.
TEST_F(RegistryTest, AChangeThatChangesNothingWritesNothing)
{
    WriteFile(File(), "REGEDIT4\n; kept\n[HKEY_LOCAL_MACHINE\\Key]\n\"s\"=\"1\"\n\"d\"=dword:2\n");
    const auto before = testsupport::InodeOf(File());
    EXPECT_TRUE(Registry::SetString(Hive::LocalMachine, "KEY", "S", "1"));
    EXPECT_TRUE(Registry::SetDword(Hive::LocalMachine, "Key", "d", 2));
    EXPECT_TRUE(Registry::CreateKey(Hive::LocalMachine, "Key"));
    EXPECT_EQ(testsupport::InodeOf(File()), before);
    EXPECT_EQ(FolderNames(), std::set<std::string>{"registry.reg"});
    EXPECT_NE(ReadFile(File()).find("; kept"), std::string::npos);
    EXPECT_TRUE(Registry::SetDword(Hive::LocalMachine, "Key", "d", 3)); // this one changes
    EXPECT_NE(testsupport::InodeOf(File()), before);
}

std::string ValueName(int nWriter, int i)
{
    return "w" + std::to_string(nWriter) + "-" + std::to_string(i);
}

void ExpectAllWrites(int nWriters, int nValues)
{
    const auto values = Registry::Values(Hive::LocalMachine, "Shared");
    ASSERT_EQ(values.size(), static_cast<std::size_t>(nWriters * nValues));
    for (int w = 0; w < nWriters; ++w)
    {
        for (int i = 0; i < nValues; ++i)
        {
            EXPECT_EQ(Registry::QueryDword(Hive::LocalMachine, "Shared", ValueName(w, i)),
                      static_cast<DWORD>(w * 1000 + i));
        }
        EXPECT_EQ(Registry::QueryString(Hive::LocalMachine, "Own\\" + std::to_string(w), "last"),
                  std::to_string(nValues - 1));
    }
}

// Each writer sets its own values in a shared key and rewrites one of its own.
bool WriteMany(int nWriter, int nValues)
{
    bool bAll = true;
    for (int i = 0; i < nValues; ++i)
    {
        bAll &= Registry::SetDword(Hive::LocalMachine, "Shared", ValueName(nWriter, i),
                                   static_cast<DWORD>(nWriter * 1000 + i));
        bAll &= Registry::SetString(Hive::LocalMachine, "Own\\" + std::to_string(nWriter), "last",
                                    std::to_string(i));
    }
    return bAll;
}

// Writers at once, as processes or as threads, keep every write; readers meanwhile see
// whole files only, never a damaged one; the lock file is never replaced.
TEST_F(RegistryTest, WritersAtOnceKeepEveryWrite)
{
    constexpr int kWriters = 4;
    constexpr int kValues = 50;
    ASSERT_TRUE(Registry::CreateKey(Hive::LocalMachine, "Shared"));
    const auto lockBefore = testsupport::InodeOf(File() + ".lock");
    ASSERT_NE(lockBefore, 0u);
    for (const bool bProcesses : {true, false})
    {
        SCOPED_TRACE(bProcesses ? "processes" : "threads");
        // Afresh for each row.
        Registry::DeleteKey(Hive::LocalMachine, "Own");
        Registry::DeleteKey(Hive::LocalMachine, "Shared");
        std::vector<pid_t> children;
        std::vector<std::thread> threads;
        std::vector<int> results(kWriters, 0);
        for (int w = 0; w < kWriters; ++w)
        {
            if (!bProcesses)
            {
                threads.emplace_back([w, &results] { results[w] = WriteMany(w, kValues) ? 1 : 0; });
                continue;
            }
            const pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0)
                _exit(WriteMany(w, kValues) ? 0 : 1);
            children.push_back(pid);
        }
        for (int i = 0; i < 200; ++i)
            Registry::Values(Hive::LocalMachine, "Shared");
        for (const pid_t pid : children)
        {
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        testsupport::Within("the writing threads to end",
                            [&]
                            {
                                for (auto& thread : threads)
                                    thread.join();
                            });
        if (!bProcesses)
        {
            EXPECT_EQ(results, std::vector<int>(kWriters, 1));
        }
        ExpectAllWrites(kWriters, kValues);
    }
    EXPECT_EQ(testsupport::InodeOf(File() + ".lock"), lockBefore);
    EXPECT_EQ(FolderNames(), (std::set<std::string>{"registry.reg", "registry.reg.lock"}));
    EXPECT_TRUE(Reports().empty());
}
} // namespace
