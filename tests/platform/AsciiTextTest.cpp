// The ASCII text helpers: letter case as the "C" locale has it, and trimming given bytes.
#include "platform/AsciiText.h"

#include <gtest/gtest.h>
#include <string_view>

using namespace platform;

TEST(AsciiText, LetterCaseIsAsciiOnly)
{
    EXPECT_EQ(AsciiLowerCopy("Content-LENGTH: 12"), "content-length: 12");
    EXPECT_EQ(AsciiLowerCopy("\xC3\x89T\xC3\x89"), "\xC3\x89t\xC3\x89"); // UTF-8 bytes stay
    EXPECT_TRUE(EqualsNoCase("RegSetUtilCMN", "regsetutilcmn"));
    EXPECT_FALSE(EqualsNoCase("Range", "Ranges"));
    EXPECT_FALSE(EqualsNoCase("[", "{")); // 0x5B and 0x7B differ by 0x20 but are no letters
    EXPECT_TRUE(StartsWithNoCase("HTTP/1.1 200", "http/"));
    EXPECT_FALSE(StartsWithNoCase("HT", "http/"));
}

TEST(AsciiText, TrimmingTakesOnlyTheGivenBytesAtTheEnds)
{
    struct SCase
    {
        std::string_view text;
        std::string_view bytes;
        std::string_view both;
        std::string_view end;
    };
    const SCase cases[] = {
        {" \tvalue \t", " \t", "value", " \tvalue"},
        {"a b", " \t", "a b", "a b"},
        {"  ", " \t", "", ""},
        {"", " \t", "", ""},
        {"line\r\n", "\r\n", "line", "line"},
        {"\r\nline\r", "\r\n", "line", "\r\nline"},
        {"x\r\n\r\n", "\n", "x\r\n\r", "x\r\n\r"},
    };
    for (const SCase& c : cases)
    {
        EXPECT_EQ(TrimAscii(c.text, c.bytes), c.both) << '"' << c.text << '"';
        EXPECT_EQ(TrimAsciiEnd(c.text, c.bytes), c.end) << '"' << c.text << '"';
    }
    EXPECT_EQ(TrimAscii("\t Name \t"), "Name"); // space and tab by default
}
