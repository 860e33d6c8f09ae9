// The host application's three libraries through their C entry points, over a private
// runtime folder: the event log, the preferences file and the object manager.
#include "hostlibs/EventMgr.h"
#include "hostlibs/ObjectManager.h"
#include "hostlibs/Preferences.h"
#include "platform/Registry.h"
#include "support/TestSupport.h"
#include "support/Wait.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

extern "C"
{
    std::int32_t PrefSetValue(const char*, const char*, std::uint32_t, const void*, std::uint32_t);
    std::int32_t PrefSetValueUINT32(const char*, const char*, std::uint32_t);
    std::int32_t PrefQueryValue(const char*, const char*, std::uint32_t*, void*, std::uint32_t*);
    std::int32_t PrefDelete(const char*, const char*);
    std::int32_t PrefEasySafeQueryString(const char*, const char*, char*, std::uint32_t*);
    std::int32_t PrefEasySafeQueryUINT32(const char*, const char*, std::uint32_t*);
}

namespace
{
using testsupport::LinesOf;

std::int32_t SetString(const char* section, const char* key, const std::string& value)
{
    return PrefSetValue(section, key, hostlibs::kPrefTypeString, value.c_str(),
                        static_cast<std::uint32_t>(value.size() + 1));
}
} // namespace

// Lines are whole and in post order across the rotation (the threads post more than the
// 1 MiB at which the log is rotated); both logs are the user's alone, and addresses in
// them do not name the user.
TEST(EventLog, EventsFromManyThreadsArriveWholeInPostOrderPrivateAndRotated)
{
    testsupport::TempHome home;
    testsupport::WriteFile(home.File("events.log"), "{\"earlier\":1}\n");
    ::chmod(home.File("events.log").c_str(), 0644); // as an earlier version left it
    InitEventMgr();
    {
        mcEvent event(eEventCategoryError, "Throttling");
        event.AddParameter("ConnectionRate", 15000.0f);
        event.AddParameter("Bitrate", 128);
        event.AddParameter("Note", "say \"hi\"\\\n");
        event.AddParameter("URL",
                           "http://h/s?REQUEST=RADIO_TRACKS&OVUID=7C1D-22&USR_INFO=me&LOG=AB");
        GetEventMgr()->PostEvent(event);
    }
    constexpr int kThreads = 4;
    constexpr int kEach = 3000; // more than one thread's share of the queue bound
    testsupport::OnThreads(kThreads, "the posting threads to end",
                           [](int t)
                           {
                               for (int i = 0; i < kEach; ++i)
                               {
                                   mcEvent event(eEventCategoryInfo, "Burst");
                                   event.AddParameter("Thread", t);
                                   event.AddParameter("Index", i);
                                   GetEventMgr()->PostEvent(event);
                               }
                           });
    testsupport::Within("the event log to be flushed", [] { GetEventMgr()->Flush(); });
    const std::string older = testsupport::ReadFile(home.File("events.log.1"));
    const std::string newer = testsupport::ReadFile(home.File("events.log"));
    EXPECT_FALSE(newer.empty());
    for (const std::string& log : {older, newer})
        EXPECT_LE(log.size(), 1024u * 1024u);
    for (const char* pszName : {"events.log", "events.log.1"})
        EXPECT_EQ(testsupport::ModeOf(home.File(pszName)), 0600u) << pszName;
    const std::vector<std::string> lines = LinesOf(older + newer);
    ASSERT_EQ(lines.size(), 2u + kThreads * kEach);
    EXPECT_EQ(lines[0], "{\"earlier\":1}");

    const std::regex first(
        R"(\{"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}","category":7,)"
        R"("name":"Throttling","params":\{"ConnectionRate":15000\.0,)"
        R"("Bitrate":128,"Note":"say \\"hi\\"\\\\\\n",)"
        R"("URL":"http://h/s\?REQUEST=RADIO_TRACKS&OVUID=\*\*\*&USR_INFO=\*\*\*&LOG=AB"\}\})");
    EXPECT_TRUE(std::regex_match(lines[1], first)) << lines[1];

    const std::regex burst(R"(\{"time":"[^"]+","category":3,"name":"Burst",)"
                           R"("params":\{"Thread":(\d),"Index":(\d+)\}\})");
    std::vector<int> next(kThreads, 0);
    for (std::size_t n = 2; n < lines.size(); ++n)
    {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[n], match, burst)) << lines[n];
        const int t = std::stoi(match[1]);
        EXPECT_EQ(std::stoi(match[2]), next[t]++) << "thread " << t << " out of order";
    }
    UnInitEventMgr();
}

// A write changes the value of the key's first line in place and nothing else: comments,
// order, unknown and duplicate keys, blanks and line ends stay as the user wrote them.
TEST(PreferencesFile, AWriteChangesOnlyTheValueWritten)
{
    struct SRow
    {
        const char* name;
        const char* before;
        const char* section;
        const char* key;
        std::optional<std::string> value;
        const char* after; // null: the write changes nothing and writes nothing
        std::int32_t nResult = 0;
        bool bNullData = false; // the value's size passed without its bytes
    };
    const char* const kFile = "; my settings\n"
                              "[OVRadio]\n"
                              "# the server\n"
                              "SequenceUrl = http://a/\n"
                              "Unknown=1\n"
                              "SessionID=5\n"
                              "\n"
                              "[Other]\n"
                              "k=v\n"
                              "[ovradio]\n"
                              "SessionID=9\n";
    const SRow rows[] = {
        {"a value in place (the value is all after '=')", kFile, "OVRadio", "sequenceurl",
         std::string("http://b/"),
         "; my settings\n[OVRadio]\n# the server\nSequenceUrl =http://b/\n"
         "Unknown=1\nSessionID=5\n\n[Other]\nk=v\n[ovradio]\nSessionID=9\n"},
        {"the first of duplicate keys", kFile, "OVRADIO", "SessionID", std::string("6"),
         "; my settings\n[OVRadio]\n# the server\nSequenceUrl = http://a/\nUnknown=1\nSessionID=6\n"
         "\n[Other]\nk=v\n[ovradio]\nSessionID=9\n"},
        {"the same value: nothing", kFile, "OVRadio", "SessionID", std::string("5"), nullptr, 0},
        {"a new key after its section's last key", kFile, "Other", "New", std::string("x"),
         "; my settings\n[OVRadio]\n# the server\nSequenceUrl = http://a/\nUnknown=1\nSessionID=5\n"
         "\n[Other]\nk=v\nNew=x\n[ovradio]\nSessionID=9\n"},
        {"a new section at the end, CR LF kept", "[A]\r\nk=v\r\n", "B", "k", std::string("w"),
         "[A]\r\nk=v\r\n\r\n[B]\r\nk=w\r\n"},
        {"a value in a CR LF file", "[A]\r\nk=v\r\n", "A", "k", std::string("w"), "[A]\r\nk=w\r\n"},
        {"lines before any section and lines without '=' are no keys", "k=1\n[A]\nk\nk=v\n", "A",
         "k", std::string("w"), "k=1\n[A]\nk\nk=w\n"},
        {"a removal takes every line of the key", kFile, "OVRadio", "SessionID", std::nullopt,
         "; my settings\n[OVRadio]\n# the server\nSequenceUrl = http://a/\nUnknown=1\n"
         "\n[Other]\nk=v\n[ovradio]\n"},
        {"an absent key's removal: nothing", kFile, "Other", "none", std::nullopt, nullptr, 2},
        {"a size without its bytes is refused", kFile, "OVRadio", "SessionID", std::string("6"),
         nullptr, 87, true},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        testsupport::TempHome home;
        const std::string path = home.File("preferences.ini");
        testsupport::WriteFile(path, row.before);
        const auto before = testsupport::InodeOf(path);
        const std::int32_t nResult =
            row.bNullData ? PrefSetValue(row.section, row.key, hostlibs::kPrefTypeString, nullptr,
                                         static_cast<std::uint32_t>(row.value->size() + 1))
            : row.value   ? SetString(row.section, row.key, *row.value)
                          : PrefDelete(row.section, row.key);
        EXPECT_EQ(nResult, row.nResult);
        EXPECT_EQ(testsupport::ReadFile(path), row.after ? row.after : row.before);
        EXPECT_EQ(testsupport::InodeOf(path) == before, row.after == nullptr) << "written anew";
        if (row.after)
        {
            EXPECT_EQ(testsupport::ModeOf(path), 0600u);
        }
    }
}

TEST(PreferencesFile, KeepsItsFormatAndAnswersAsTheEngineExpects)
{
    testsupport::TempHome home;
    ASSERT_EQ(SetString("OVRadio", "Last CCD", "a=b;c"), 0);
    ASSERT_EQ(PrefSetValueUINT32("OVRadio", "SessionID", 4000000000u), 0);
    testsupport::WriteFile(home.File("preferences.ini"),
                           testsupport::ReadFile(home.File("preferences.ini")) +
                               "\n; a comment\n# another\n[Other]\nKey=  spaced value \n");
    ASSERT_EQ(SetString("ovradio", "Language", "DEU"), 0); // sections match in any case

    const std::string file = testsupport::ReadFile(home.File("preferences.ini"));
    EXPECT_NE(file.find("[OVRadio]\n"), std::string::npos) << file;
    EXPECT_NE(file.find("Last CCD=a=b;c\n"), std::string::npos) << file;
    EXPECT_NE(file.find("SessionID=4000000000\n"), std::string::npos) << file;
    EXPECT_NE(file.find("Language=DEU\n"), std::string::npos) << file;

    char buffer[16] = "ENU";
    std::uint32_t size = sizeof(buffer);
    EXPECT_EQ(PrefEasySafeQueryString("OVRadio", "Absent", buffer, &size), 0);
    EXPECT_STREQ(buffer, "ENU"); // the caller's default stays
    size = sizeof(buffer);
    EXPECT_EQ(PrefEasySafeQueryString("OTHER", "key", buffer, &size), 0);
    EXPECT_STREQ(buffer, "  spaced value ");
    std::uint32_t number = 30;
    EXPECT_EQ(PrefEasySafeQueryUINT32("OVRadio", "Absent", &number), 0);
    EXPECT_EQ(number, 30u);
    EXPECT_EQ(PrefEasySafeQueryUINT32("OVRadio", "SessionID", &number), 0);
    EXPECT_EQ(number, 4000000000u);
    EXPECT_NE(PrefEasySafeQueryUINT32("OVRadio", "Language", &number), 0); // not a number

    std::uint32_t type = hostlibs::kPrefTypeString;
    char small[4];
    size = sizeof(small);
    EXPECT_EQ(PrefQueryValue("OVRadio", "Last CCD", &type, small, &size), 234);
    EXPECT_EQ(size, 6u);
    // A size without a buffer is refused; no buffer and no size asks for the size.
    EXPECT_EQ(PrefQueryValue("OVRadio", "Last CCD", &type, nullptr, &size), 87);
    size = 0;
    EXPECT_EQ(PrefQueryValue("OVRadio", "Last CCD", &type, nullptr, &size), 234);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(PrefDelete("OVRadio", "Last CCD"), 0);
    size = sizeof(buffer);
    EXPECT_EQ(PrefQueryValue("OVRadio", "Last CCD", &type, buffer, &size), 2);
    EXPECT_NE(SetString("OVRadio", "Bad", "two\nlines"), 0); // would break the file

    // The application folder defaults to the runtime folder.
    char path[1024] = "";
    size = sizeof(path);
    EXPECT_EQ(PrefEasySafeQueryString("MainApp", "AppPath", path, &size), 0);
    EXPECT_EQ(std::string(path), home.Path().string());
}

TEST(PreferencesFile, TwoWritersAtOnceLoseNothing)
{
    testsupport::TempHome home;
    constexpr int kKeys = 100;
    auto writer = [](const char* section)
    {
        for (int i = 0; i < kKeys; ++i)
            EXPECT_EQ(PrefSetValueUINT32(section, ("Key" + std::to_string(i)).c_str(),
                                         static_cast<std::uint32_t>(i)),
                      0);
    };
    std::thread first(writer, "First");
    std::thread second(writer, "Second");
    testsupport::Within("both writers to end",
                        [&]
                        {
                            first.join();
                            second.join();
                        });
    for (const char* section : {"First", "Second"})
        for (int i = 0; i < kKeys; ++i)
        {
            std::uint32_t value = 999999;
            EXPECT_EQ(PrefEasySafeQueryUINT32(section, ("Key" + std::to_string(i)).c_str(), &value),
                      0);
            EXPECT_EQ(value, static_cast<std::uint32_t>(i)) << section << " Key" << i;
        }
}

TEST(ObjectManager, MakesTheTwoUtilitiesOnlyAfterInit)
{
    testsupport::TempHome home;
    miInterface* object = nullptr;
    EXPECT_FALSE(OMCreateObject("StringUtilCMN", nullptr, false, &object));
    OMInit();
    OMInit(); // nests
    OMTerm();
    EXPECT_FALSE(OMCreateObject("NoSuchObject", nullptr, false, &object));

    ASSERT_TRUE(OMCreateObject("StringUtilCMN", nullptr, false, &object));
    auto* strings = dynamic_cast<miStringUtilities*>(object);
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(strings->TrimLeadingChar("{{AB-12}", '{'), "AB-12}");
    EXPECT_EQ(strings->TrimTrailingChar("AB-12}}", '}'), "AB-12");
    EXPECT_EQ(strings->TrimTrailingChar("}}}", '}'), "");
    bool destroyed = false;
    EXPECT_TRUE(OMReleaseObjectRef(object, &destroyed));
    EXPECT_TRUE(destroyed);

    platform::Registry::SetString(platform::Hive::LocalMachine, "SOFTWARE\\Host\\Main", "OVUID",
                                  "{ABC}");
    ASSERT_TRUE(OMCreateObject("RegSetUtilCMN", nullptr, false, &object));
    auto* settings = dynamic_cast<miSettingUtilities*>(object);
    ASSERT_NE(settings, nullptr);
    settings->SetBaseKey("SOFTWARE\\Host\\");
    std::string value;
    EXPECT_TRUE(settings->QueryString("Main", "OVUID", value));
    EXPECT_EQ(value, "{ABC}");
    EXPECT_FALSE(settings->QueryString("Main", "Absent", value));
    EXPECT_TRUE(OMReleaseObjectRef(object, nullptr));
    OMTerm();
    EXPECT_FALSE(OMCreateObject("StringUtilCMN", nullptr, false, &object));
}
