// ovradio-cache over a temporary runtime folder.
#include "CacheTool.h"

#include "CacheTestSupport.h"
#include "cache/CacheFileMgr.h"
#include "platform/Files.h"

#include <gtest/gtest.h>
#include <sstream>

namespace
{
struct Result
{
    int code;
    std::string out;
    std::string err;
};

Result Tool(const std::vector<std::string>& args)
{
    std::ostringstream out, err;
    const int code = RunCacheTool(args, out, err);
    return {code, out.str(), err.str()};
}
} // namespace

class CacheToolTest : public ::testing::Test
{
protected:
    std::string Folder() const { return m_home.File("OVRadio/Cache/"); }

    testsupport::TempHome m_home;
    cachetest::FreeSpace m_free{1e12};
};

TEST_F(CacheToolTest, ShowReadsWithoutWriting)
{
    const Result r = Tool({"show", "--json"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"location\":\"" + Folder() +
                         "\",\"max_size\":250000000,\"safety_margin\":100000000,"
                         "\"enabled\":true,\"size\":0}\n");
    EXPECT_FALSE(platform::FileExists(m_home.File("RECache.idx")));
    const Result human = Tool({"show"});
    EXPECT_NE(human.out.find("max size       250000000 bytes"), std::string::npos) << human.out;
}

TEST_F(CacheToolTest, SetChangesTheIndexAsTheEngineDoes)
{
    ASSERT_TRUE(platform::CreateFolderChain(Folder()));
    cachetest::MakeFile(Folder() + "A.DAT", 3000000, 20);
    cachetest::MakeFile(Folder() + "B.DAT", 3000000, 10);
    Result r = Tool({"set", "--max", "5000000", "--margin", "1000"});
    ASSERT_EQ(r.code, 0) << r.err;
    // The shrink ran a pass: down to 90% of the new maximum, the older file first.
    EXPECT_FALSE(platform::FileExists(Folder() + "A.DAT"));
    EXPECT_TRUE(platform::FileExists(Folder() + "B.DAT"));
    r = Tool({"show", "--json"});
    EXPECT_NE(
        r.out.find("\"max_size\":5000000,\"safety_margin\":1000,\"enabled\":true,\"size\":3000000"),
        std::string::npos)
        << r.out;
    r = Tool({"set", "--max", "0.5"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = Tool({"show", "--json"});
    EXPECT_NE(r.out.find("\"max_size\":0,\"safety_margin\":1000,\"enabled\":false,\"size\":0"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(Tool({"set", "--max", "lots"}).code, 2);
    EXPECT_EQ(Tool({"set", "--margin", "5"}).code, 2);
}

TEST_F(CacheToolTest, ListShowsEachFileWithItsHeader)
{
    ASSERT_TRUE(platform::CreateFolderChain(Folder()));
    {
        mcCacheFileMgr file(Folder() + "C7.DAT");
        CacheFileHeader h{"7", "C7", "1:3", 128, 2, 44100, "mp3", "C7.DAT", 1500, 800, ""};
        ASSERT_EQ(file.WriteHeader(h), 500u);
        DWORD n = 0;
        ASSERT_TRUE(file.Write(std::string(300, 'b').data(), 300, n));
    }
    testsupport::WriteFile(Folder() + "D8.DAT", "short");
    const Result r = Tool({"list", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string first, second, more;
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_FALSE(std::getline(lines, more));
    EXPECT_EQ(first.rfind("{\"file\":\"C7.DAT\",\"size\":800,\"lastwrite\":\"", 0), 0u) << first;
    EXPECT_NE(first.find(",\"header\":{\"trackid\":\"7\",\"cacheid\":\"C7\",\"policy\":\"1:3\","
                         "\"bitrate\":128,\"channel\":2,\"freq\":44100,\"format\":\"mp3\","
                         "\"filename\":\"C7.DAT\",\"tracksize\":1500,\"trackcursize\":800,"
                         "\"lastaccess\":\""),
              std::string::npos)
        << first;
    EXPECT_EQ(second.rfind("{\"file\":\"D8.DAT\",\"size\":5,", 0), 0u) << second;
    EXPECT_NE(second.find("\"header\":null}"), std::string::npos) << second;
    const Result human = Tool({"list"});
    EXPECT_NE(human.out.find("none (ERROR!! In mcCacheFileMgr::ReadHeader, fread() return error)"),
              std::string::npos)
        << human.out;
}

TEST_F(CacheToolTest, TrimRunsOnePass)
{
    ASSERT_TRUE(platform::CreateFolderChain(Folder()));
    cachetest::MakeFile(Folder() + "A.DAT", 9000000, 10);
    const Result r = Tool({"trim", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "{\"status\":0,\"size\":9000000}\n");
    m_free.Set(0);
    EXPECT_EQ(Tool({"trim", "--json"}).out, "{\"status\":2,\"size\":0}\n");
}

TEST_F(CacheToolTest, EncipherAndDecipherRoundTripAndNameTheFileOnFailure)
{
    testsupport::WriteFile(m_home.File("plain"), "<RADIO_CACHE/>");
    ASSERT_EQ(Tool({"encipher", m_home.File("plain"), m_home.File("idx")}).code, 0);
    EXPECT_NE(testsupport::ReadFile(m_home.File("idx")), "<RADIO_CACHE/>");
    ASSERT_EQ(Tool({"decipher", m_home.File("idx"), m_home.File("back")}).code, 0);
    EXPECT_EQ(testsupport::ReadFile(m_home.File("back")), "<RADIO_CACHE/>");

    Result r = Tool({"decipher", m_home.File("missing"), m_home.File("x")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find(m_home.File("missing") + ": No such file or directory"), std::string::npos)
        << r.err;
    r = Tool({"encipher", m_home.File("plain"), m_home.File("no/folder/x")});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("cannot write " + m_home.File("no/folder/x")), std::string::npos) << r.err;
    EXPECT_EQ(Tool({"encipher", "one"}).code, 2);
    EXPECT_EQ(Tool({"frobnicate"}).code, 2);
    EXPECT_EQ(Tool({}).code, 2);
}
