// The cache index: its enciphered file, the start-up sequence and the value texts.
#include "CacheTestSupport.h"
#include "cache/CacheCipher.h"
#include "cache/CacheIndexDocument.h"
#include "cache/RadioCacheMgr.h"
#include "platform/Files.h"
#include "platform/MessageBox.h"
#include "platform/Xml.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace
{
using Children = std::vector<std::pair<std::string, std::string>>;

std::string Decipher(const std::string& path)
{
    CacheCipher cipher;
    EXPECT_TRUE(cipher.InitializeStored());
    const std::string plain = path + ".plain";
    EXPECT_TRUE(cipher.ProcessFile(path, plain));
    std::string text = testsupport::ReadFile(plain);
    platform::DeleteFile(plain);
    return text;
}

void WriteEnciphered(const std::string& path, const std::string& text)
{
    const std::string plain = path + ".plain";
    testsupport::WriteFile(plain, text);
    CacheCipher cipher;
    ASSERT_TRUE(cipher.InitializeStored());
    ASSERT_TRUE(cipher.ProcessFile(plain, path));
    platform::DeleteFile(plain);
}

// The GENERAL_INFO children of an index text, in order.
Children GeneralInfo(const std::string& text)
{
    platform::xml::Document doc;
    EXPECT_TRUE(doc.LoadFromBuffer(text)) << text;
    Children children;
    const auto root = doc.Root();
    if (!root)
        return children;
    EXPECT_EQ(root->Name(), "RADIO_CACHE");
    const auto info = root->FirstDescendant("GENERAL_INFO");
    if (!info)
        return children;
    for (const auto& child : info->ChildElements())
        children.emplace_back(child.Name(), child.Text());
    return children;
}
} // namespace

class CacheIndexTest : public ::testing::Test
{
protected:
    std::string Idx() const { return m_home.File("RECache.idx"); }
    std::string Xml() const { return m_home.File("RECache.xml"); }
    Children DefaultChildren() const
    {
        return {{"CACHE_PATH", m_home.File("OVRadio/Cache/")},
                {"MAX_SIZE", "250000000"},
                {"SAFETY_MARGIN", "100000000"},
                {"IS_CACHE_ENABLED", "-1"}};
    }
    CacheSettings StartAndStop()
    {
        mcRadioCacheMgr mgr;
        mgr.Init();
        const CacheSettings settings = mgr.GetSettings();
        mgr.UnInit();
        return settings;
    }

    testsupport::TempHome m_home;
    cachetest::FreeSpace m_free{1e12};
};

TEST_F(CacheIndexTest, FirstStartWritesTheDefaultDocumentEnciphered)
{
    const CacheSettings settings = StartAndStop();
    ASSERT_TRUE(platform::FileExists(Idx()));
    EXPECT_FALSE(platform::FileExists(Xml()));
    const std::string raw = testsupport::ReadFile(Idx());
    EXPECT_EQ(raw.find("RADIO_CACHE"), std::string::npos); // not stored in plain text
    const std::string text = Decipher(Idx());
    EXPECT_EQ(text.rfind("<RADIO_CACHE>", 0), 0u) << text; // no declaration
    EXPECT_EQ(GeneralInfo(text), DefaultChildren());
    EXPECT_EQ(settings.strLocation, m_home.File("OVRadio/Cache/"));
    EXPECT_EQ(settings.dMaxSize, 250000000.0);
    EXPECT_EQ(settings.dSafetyMargin, 100000000.0);
    EXPECT_TRUE(settings.bEnabled);
}

TEST_F(CacheIndexTest, StoredValuesAreReadBack)
{
    WriteEnciphered(Idx(), "<RADIO_CACHE><GENERAL_INFO><CACHE_PATH>" + m_home.File("elsewhere") +
                               "</CACHE_PATH><MAX_SIZE>1.5</MAX_SIZE><UNKNOWN>x</UNKNOWN>"
                               "<SAFETY_MARGIN>7</SAFETY_MARGIN><SAFETY_MARGIN>8</SAFETY_MARGIN>"
                               "<IS_CACHE_ENABLED>0</IS_CACHE_ENABLED></GENERAL_INFO>"
                               "</RADIO_CACHE>");
    const CacheSettings settings = StartAndStop();
    EXPECT_EQ(settings.strLocation, m_home.File("elsewhere/")); // a folder ends with '/'
    EXPECT_EQ(settings.dMaxSize, 1.5);
    EXPECT_EQ(settings.dSafetyMargin, 8.0); // a later duplicate wins
    EXPECT_TRUE(settings.bEnabled);         // the installation's choice decides
}

// An index that cannot be read is kept aside as it was, the host hears of it (an event
// and a message), and what can still be read of it is kept rather than the defaults.
TEST_F(CacheIndexTest, ADamagedIndexIsKeptAsideReportedAndWhatCanBeReadKept)
{
    const std::string cut = "<RADIO_CACHE><GENERAL_INFO><CACHE_PATH>/mine/</CACHE_PATH>"
                            "<MAX_SIZE>300000000</MAX_SIZE><SAFETY_MAR";
    struct SRow
    {
        const char* name;
        std::string plain; // enciphered into the index
        Children want;
    };
    const Children defaults = DefaultChildren();
    const SRow rows[] = {
        {"no index at all", "\x01\x02not an index", defaults},
        {"an empty file", "", defaults},
        {"cut short by a crash",
         cut,
         {{"CACHE_PATH", "/mine/"}, {"MAX_SIZE", "300000000"}, defaults[2], defaults[3]}},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        testsupport::TempHome home;
        const std::string idx = home.File("RECache.idx");
        if (row.plain.empty())
            testsupport::WriteFile(idx, "");
        else
            WriteEnciphered(idx, row.plain);
        const std::string damaged = testsupport::ReadFile(idx);
        std::vector<std::string> messages;
        platform::SetMessageBoxHook(
            [&messages](const std::string& text, const std::string&, UINT)
            {
                messages.push_back(text);
                return platform::IDOK;
            });
        {
            mcRadioCacheMgr mgr;
            mgr.Init();
            mgr.UnInit();
        }
        platform::SetMessageBoxHook({});
        Children want = row.want;
        if (want[0].second != "/mine/")
            want[0].second = home.File("OVRadio/Cache/");
        EXPECT_EQ(GeneralInfo(Decipher(idx)), want);
        EXPECT_EQ(testsupport::ReadFile(idx + ".damaged"), damaged);
        ASSERT_EQ(messages.size(), 1u);
        EXPECT_NE(messages[0].find(idx + ".damaged"), std::string::npos) << messages[0];
        const std::string events = testsupport::ReadFile(home.File("events.log"));
        EXPECT_NE(events.find("\"name\":\"CacheIndexDamaged\""), std::string::npos) << events;
        EXPECT_FALSE(platform::FileExists(home.File("RECache.xml")));
    }
}

// The index is written again only when a setting changed, and never in plain text.
TEST_F(CacheIndexTest, AnUnchangedIndexIsNotWrittenAgain)
{
    StartAndStop();
    const auto before = testsupport::InodeOf(Idx());
    EXPECT_EQ(testsupport::ModeOf(Idx()), 0600u);
    StartAndStop();
    EXPECT_EQ(testsupport::InodeOf(Idx()), before);
    {
        mcRadioCacheMgr mgr;
        mgr.Init();
        CacheSettings settings = mgr.GetSettings();
        settings.dMaxSize = 5;
        mgr.SetSettings(settings);
        mgr.UnInit();
    }
    EXPECT_NE(testsupport::InodeOf(Idx()), before);
    EXPECT_EQ(GeneralInfo(Decipher(Idx()))[1],
              (std::pair<std::string, std::string>{"MAX_SIZE", "5"}));
    // No plain index and no temporary beside it (the event log comes and goes with the
    // process's first pass).
    for (const auto& entry : std::filesystem::directory_iterator(m_home.Path()))
        EXPECT_TRUE(entry.path().filename() == "RECache.idx" ||
                    entry.path().filename() == "events.log")
            << entry.path();
}

TEST_F(CacheIndexTest, APlainIndexLeftBehindIsTakenOverAndRemoved)
{
    testsupport::WriteFile(Xml(), "<RADIO_CACHE><GENERAL_INFO><MAX_SIZE>123</MAX_SIZE>"
                                  "</GENERAL_INFO></RADIO_CACHE>");
    EXPECT_EQ(StartAndStop().dMaxSize, 123.0);
    EXPECT_FALSE(platform::FileExists(Xml()));
    EXPECT_EQ(GeneralInfo(Decipher(Idx()))[0],
              (std::pair<std::string, std::string>{"MAX_SIZE", "123"}));
}

TEST(CacheIndexDocumentTest, ValueTextsFollowOleConversions)
{
    EXPECT_EQ(CacheIndexDocument::NumberText(250000000), "250000000");
    EXPECT_EQ(CacheIndexDocument::NumberText(1.5), "1.5");
    EXPECT_EQ(CacheIndexDocument::FlagText(true), "-1");
    EXPECT_EQ(CacheIndexDocument::FlagText(false), "0");
    const std::vector<std::pair<std::string, std::optional<bool>>> flags = {
        {"-1", true},   {"0", false},     {"5", true},
        {"True", true}, {"False", false}, {"maybe", std::nullopt}};
    for (const auto& [text, value] : flags)
        EXPECT_EQ(CacheIndexDocument::ParseFlag(text), value) << text;
    EXPECT_EQ(CacheIndexDocument::ParseNumber(" 300000000 "), 300000000.0);
    EXPECT_EQ(CacheIndexDocument::ParseNumber("lots"), std::nullopt);

    // A loaded document missing elements still takes every setting.
    CacheIndexDocument doc;
    ASSERT_TRUE(doc.LoadText("<RADIO_CACHE/>", CacheSettings{}));
    CacheSettings settings{"/c/", 1, 2, false};
    doc.SetSettings(settings);
    CacheSettings read;
    doc.GetSettings(read);
    EXPECT_EQ(read.strLocation, "/c/");
    EXPECT_EQ(read.dMaxSize, 1.0);
    EXPECT_EQ(read.dSafetyMargin, 2.0);
    EXPECT_FALSE(read.bEnabled);
    EXPECT_FALSE(doc.LoadText("<broken", CacheSettings{})); // built anew from the defaults
    doc.GetSettings(read);
    EXPECT_EQ(read.dMaxSize, 250000000.0);
}
