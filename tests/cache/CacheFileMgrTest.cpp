// Cache files: the byte-exact header, reading it back, and the file operations.
#include "cache/CacheFileMgr.h"

#include "platform/Files.h"
#include "support/TestSupport.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>

namespace
{
CacheFileHeader SampleHeader()
{
    // Built whole rather than assigned field by field: GCC 12 at -O3 reports a false
    // -Wrestrict on assigning a short literal to a default-constructed string.
    return CacheFileHeader{.trackid = "7",
                           .cacheid = "C7",
                           .policy = "1:3",
                           .bitrate = 128,
                           .channel = 2,
                           .freq = 44100,
                           .format = "mp3",
                           .filename = "C7.DAT",
                           .tracksize = 1500,
                           .trackcursize = 500,
                           .lastaccess = {}};
}

// Writes a raw header text padded with zeros to 500 bytes.
void WriteRawHeader(const std::string& path, const std::string& lines)
{
    std::string bytes = lines;
    bytes.resize(500, '\0');
    testsupport::WriteFile(path, bytes + "BODY");
}

const std::string kLines = "headersize=500\ntrackid=7\ncacheid=C7\npolicy=1:3\nbitrate=128\n"
                           "channel=2\nfreq=44100\nformat=mp3\nfilename=C7.DAT\ntracksize=1500\n"
                           "trackcursize=500\nlastaccess=2026-12-06 12:00:00.000\n";

std::string ReplaceLine(std::string text, const std::string& key, const std::string& line)
{
    const auto at = text.find(key);
    return text.replace(at, text.find('\n', at) - at, line);
}
} // namespace

class CacheFileMgrTest : public ::testing::Test
{
protected:
    testsupport::TempHome m_home;
};

TEST_F(CacheFileMgrTest, HeaderIsLinesThenZerosUpToByte500)
{
    const std::string path = m_home.File("cache/deep/C7.DAT");
    mcCacheFileMgr file(path); // the folders do not exist yet
    ASSERT_TRUE(file.IsOpen());
    EXPECT_FALSE(file.Existed());
    CacheFileHeader header = SampleHeader();
    ASSERT_EQ(file.WriteHeader(header), 500u);
    DWORD written = 0;
    ASSERT_TRUE(file.Write("BODY", 4, written)); // the position is at byte 500
    file.Close();

    const std::string bytes = testsupport::ReadFile(path);
    ASSERT_EQ(bytes.size(), 504u);
    const std::string expectedLines =
        "headersize=500\ntrackid=7\ncacheid=C7\npolicy=1:3\nbitrate=128\nchannel=2\n"
        "freq=44100\nformat=mp3\nfilename=C7.DAT\ntracksize=1500\ntrackcursize=500\n"
        "lastaccess=" +
        header.lastaccess + "\n";
    ASSERT_EQ(header.lastaccess.size(), 23u); // yyyy-mm-dd hh:mm:ss.mmm
    EXPECT_EQ(bytes.substr(0, expectedLines.size()), expectedLines);
    EXPECT_EQ(bytes.substr(expectedLines.size(), 500 - expectedLines.size()),
              std::string(500 - expectedLines.size(), '\0'));
    EXPECT_EQ(bytes.substr(500), "BODY");
}

TEST_F(CacheFileMgrTest, LinesOf480BytesGetTwentyZerosAndTooLongLinesNoHeader)
{
    // Fill the format so that the lines take exactly 480 bytes.
    CacheFileHeader header = SampleHeader();
    mcCacheFileMgr probe(m_home.File("probe.DAT"));
    ASSERT_EQ(probe.WriteHeader(header), 500u);
    const std::string probeBytes = testsupport::ReadFile(m_home.File("probe.DAT"));
    const std::size_t used = probeBytes.find('\0');
    header.format += std::string(480 - used, 'x');
    mcCacheFileMgr file(m_home.File("C7.DAT"));
    ASSERT_EQ(file.WriteHeader(header), 500u);
    const std::string bytes = testsupport::ReadFile(m_home.File("C7.DAT"));
    ASSERT_EQ(bytes.size(), 500u);
    EXPECT_EQ(bytes[479], '\n');
    EXPECT_EQ(bytes.substr(480), std::string(20, '\0'));

    // Lines that do not fit are not written at all.
    CacheFileHeader huge = SampleHeader();
    huge.format = std::string(600, 'y');
    mcCacheFileMgr tooLong(m_home.File("C8.DAT"));
    EXPECT_EQ(tooLong.WriteHeader(huge), 0u);
    EXPECT_EQ(platform::FileSize(m_home.File("C8.DAT")), 0u);
}

TEST_F(CacheFileMgrTest, ReadsWhatItWroteAndFindsKeysInAnyCase)
{
    const std::string path = m_home.File("C7.DAT");
    {
        mcCacheFileMgr file(path);
        CacheFileHeader header = SampleHeader();
        ASSERT_EQ(file.WriteHeader(header), 500u);
    }
    mcCacheFileMgr again(path);
    EXPECT_TRUE(again.Existed());
    CacheFileHeader read;
    std::string error = "stale";
    ASSERT_TRUE(again.ReadHeader(read, error)) << error;
    EXPECT_EQ(error, "");
    EXPECT_EQ(read.cacheid, "C7");
    EXPECT_EQ(read.policy, "1:3");
    EXPECT_EQ(read.freq, 44100u);
    EXPECT_EQ(read.tracksize, 1500u);
    again.Close(); // the file is opened without sharing

    WriteRawHeader(path, ReplaceLine(ReplaceLine(kLines, "trackid=", "TrackID=Seven"),
                                     "bitrate=", "bitrate= 0"));
    mcCacheFileMgr mixed(path);
    ASSERT_TRUE(mixed.ReadHeader(read, error)) << error;
    EXPECT_EQ(read.trackid, "Seven");
    EXPECT_EQ(read.bitrate, 0u);
    char body[4];
    DWORD got = 0;
    ASSERT_TRUE(mixed.Read(body, 4, got)); // the position is at byte 500
    EXPECT_EQ(std::string(body, got), "BODY");
}

TEST_F(CacheFileMgrTest, ReadFailuresNameTheField)
{
    const std::string path = m_home.File("C7.DAT");
    auto errorFor = [&](const std::string& lines)
    {
        WriteRawHeader(path, lines);
        mcCacheFileMgr file(path);
        CacheFileHeader header;
        std::string error;
        EXPECT_FALSE(file.ReadHeader(header, error));
        return error;
    };
    EXPECT_EQ(errorFor(ReplaceLine(kLines, "bitrate=", "bitrate=abc")),
              "ERROR!! error in parsing kszBIT_RATE ");
    EXPECT_EQ(errorFor(ReplaceLine(kLines, "bitrate=", "bitrate=")),
              "ERROR!! error in parsing kszBIT_RATE ");
    EXPECT_EQ(errorFor(ReplaceLine(kLines, "cacheid=", "nothing")),
              "ERROR!! error in parsing kszTRACK_ID ");
    EXPECT_EQ(errorFor(ReplaceLine(kLines, "trackcursize=", "x")),
              "ERROR!! error in parsing kszCUR_SIZE ");
    // A last value without its line feed is not found.
    EXPECT_EQ(errorFor(kLines.substr(0, kLines.size() - 1)),
              "ERROR!! error in parsing kszLAST_ACCESS ");
}

TEST_F(CacheFileMgrTest, OneOpenerAtATimeAndDelete)
{
    const std::string path = m_home.File("C7.DAT");
    mcCacheFileMgr first(path);
    ASSERT_TRUE(first.IsOpen());
    mcCacheFileMgr second(path); // as a file opened without sharing
    EXPECT_FALSE(second.IsOpen());
    DWORD n = 0;
    EXPECT_FALSE(second.Write("x", 1, n));
    ASSERT_TRUE(first.Write("abc", 3, n));
    EXPECT_EQ(first.GetSize(), 3.0);
    EXPECT_EQ(first.BytesWritten(), 3.0);
    EXPECT_TRUE(first.Delete());
    EXPECT_FALSE(platform::FileExists(path));
    EXPECT_TRUE(mcCacheFileMgr::CreateDirectories(m_home.File("a/b/c/")));
    EXPECT_TRUE(platform::FolderExists(m_home.File("a/b/c")));
    EXPECT_TRUE(mcCacheFileMgr::CreateDirectories("plain"));
}

TEST_F(CacheFileMgrTest, AHeaderWriteThatFailsPartWayStillLeavesThePositionAtTheBody)
{
    const std::string path = m_home.File("C7.DAT");
    WriteRawHeader(path, kLines);
    mcCacheFileMgr file(path);
    ASSERT_TRUE(file.Existed());
    CacheFileHeader header;
    std::string error;
    ASSERT_TRUE(file.ReadHeader(header, error)) << error;
    // No file may grow past byte 305, so the header's rewrite stops there (EFBIG rather
    // than SIGXFSZ).
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit unlimited = limit;
    limit.rlim_cur = 305;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    const DWORD dwWritten = file.WriteHeader(header);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(dwWritten, 305u);
    char body[4];
    DWORD got = 0;
    ASSERT_TRUE(file.Read(body, 4, got));
    EXPECT_EQ(std::string(body, got), "BODY");
}
