// The text helpers: letter case as the "C" locale has it, trimming given bytes, text made
// safe for a terminal, and addresses that do not name the user.
#include "platform/AsciiText.h"

#include "platform/QueryMask.h"
#include "platform/TerminalText.h"

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

// Text made for others' eyes: every control character becomes '?' for a terminal, and the
// user's fields of an address become "***".
TEST(TextForOthers, ControlsAndTheUsersFieldsAreReplaced)
{
    using Transform = std::string (*)(std::string_view);
    const Transform terminal = [](std::string_view text) { return TerminalSafe(text); };
    const Transform mask = [](std::string_view text) { return MaskQueryFields(text); };
    struct SRow
    {
        const char* name;
        Transform transform;
        std::string_view text;
        std::string_view want;
    };
    const SRow rows[] = {
        {"plain text and UTF-8 letters stay", terminal, "Caf\xC3\xA9 \xE2\x99\xAA Tab",
         "Caf\xC3\xA9 \xE2\x99\xAA Tab"},
        {"window title (OSC)", terminal, "\x1b]0;owned\x07Song", "?]0;owned?Song"},
        {"clear screen and forged line", terminal, "a\x1b[2J\r\nb", "a?[2J??b"},
        {"tab, NUL and DEL", terminal, std::string_view("\ta\0b\x7F", 5), "?a?b?"},
        {"C1 control as UTF-8 (CSI)", terminal,
         "x\xC2\x9B"
         "2Jy",
         "x?2Jy"},
        {"C1 control as a lone byte", terminal,
         "x\x9B"
         "2Jy",
         "x?2Jy"},
        {"ill-formed UTF-8", terminal, "\xC0\xAF\xED\xA0\x80\xF0\x9F", "???????"},
        {"a sequence cut at the end", terminal, "ab\xE2\x99", "ab??"},
        {"a sequence request", mask,
         "http://h/s.m3u?REQUEST=RADIO_TRACKS&OVUID=7C1D-22&STATION_ID=9&USR_INFO=%3A%3Aid&LOG=AB",
         "http://h/s.m3u?REQUEST=RADIO_TRACKS&OVUID=***&STATION_ID=9&USR_INFO=***&LOG=AB"},
        {"in a trace line, any case", mask, "POST http://h/t?ovuid=1-2 failed",
         "POST http://h/t?ovuid=*** failed"},
        {"first in the text", mask, "OVUID=x", "OVUID=***"},
        {"an empty value stays empty", mask, "a?OVUID=&b=1", "a?OVUID=&b=1"},
        {"other names that end alike stay", mask, "a?XOVUID=1&MY_USR_INFO=2",
         "a?XOVUID=1&MY_USR_INFO=2"},
    };
    for (const SRow& row : rows)
        EXPECT_EQ(row.transform(row.text), row.want) << row.name;
}
