#include "platform/Format.h"

#include "platform/Types.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
using platform::FormatText;
using platform::kFormatTextLimit;

TEST(FormatText, IntegerConversionsWithFlagsWidthAndPrecision)
{
    EXPECT_EQ(FormatText("%d|%i|%u", -42, 42, 42u), "-42|42|42");
    EXPECT_EQ(FormatText("%d", INT_MIN), "-2147483648");
    EXPECT_EQ(FormatText("%u", -1), "4294967295");
    EXPECT_EQ(FormatText("%x %X", 0xBEEFu, 0xBEEFu), "beef BEEF");
    EXPECT_EQ(FormatText("%x", -1), "ffffffff");
    EXPECT_EQ(FormatText("[%5d][%-5d][%05d][%-05d]", 42, 42, 42, 42),
              "[   42][42   ][00042][42   ]");
    EXPECT_EQ(FormatText("[%05d][%5d]", -42, -42), "[-0042][  -42]");
    EXPECT_EQ(FormatText("[%.3d][%5.3d][%-5.3d]", 7, -7, 7), "[007][ -007][007  ]");
    EXPECT_EQ(FormatText("[%#x][%#X][%#06x][%#6x]", 255u, 255u, 255u, 255u),
              "[0xff][0XFF][0x00ff][  0xff]");
    EXPECT_EQ(FormatText("%02d:%02d:%02d.%03d", 7, 5, 9, 42), "07:05:09.042");
    EXPECT_EQ(FormatText("%1d", 12345), "12345"); // width never cuts
    EXPECT_EQ(FormatText("%0-5d|", 3), "3    |"); // flags in any order
    EXPECT_EQ(FormatText("%p", reinterpret_cast<const void*>(uintptr_t{0xABC})),
              "0000000000000ABC");
}

TEST(FormatText, SizeLMeans32BitsAndHMeans16)
{
    const DWORD dwMax = 0xFFFFFFFFu;
    const LONG nMinusOne = -1;
    const LONG nMin = INT32_MIN;
    // A 32-bit value read as C's 64-bit long would show its sign lost or garbage above.
    EXPECT_EQ(FormatText("%lu|%ld|%ld|%s", dwMax, nMinusOne, nMin, "end"),
              "4294967295|-1|-2147483648|end");
    EXPECT_EQ(FormatText("%08lX|%08lx|%0lX", DWORD{0xABCDu}, DWORD{0x12u}, DWORD{0x1Fu}),
              "0000ABCD|00000012|1F");
    EXPECT_EQ(FormatText("%hd|%hu|%hx", 65535, -1, 0x12345), "-1|65535|2345");
    EXPECT_EQ(FormatText("%hs|%hc", "narrow", 'n'), "narrow|n");
}

TEST(FormatText, StringsAndCharacters)
{
    EXPECT_EQ(FormatText("[%s][%6s][%-6s][%.2s][%6.2s]", "abc", "abc", "abc", "abc", "abc"),
              "[abc][   abc][abc   ][ab][    ab]");
    EXPECT_EQ(FormatText("[%s][%8s]", static_cast<const char*>(nullptr),
                         static_cast<const char*>(nullptr)),
              "[(null)][  (null)]");
    EXPECT_EQ(FormatText("[%c][%3c][%-3c]", 'A', 'B', 'C'), "[A][  B][C  ]");
    EXPECT_EQ(FormatText("a%cb", 0), "ab"); // a NUL would end the text for C readers
    EXPECT_EQ(FormatText("100%% sure"), "100% sure");
    EXPECT_EQ(FormatText("%S|%ls|%C", u"wide \u00e9", u"x", u'\u20ac'),
              "wide \xc3\xa9|x|\xe2\x82\xac");
    const char16_t pair[] = {0xD83D, 0xDE00, 0};
    EXPECT_EQ(FormatText("%S", pair), "\xf0\x9f\x98\x80");
    EXPECT_EQ(FormatText("%S", static_cast<const char16_t*>(nullptr)), "(null)");

    // The precision bounds the read: exactly sized storage without a terminator.
    std::vector<char> unterminated{'x', 'y', 'z'};
    EXPECT_EQ(FormatText("%.3s!", unterminated.data()), "xyz!");
}

TEST(FormatText, UnfinishedAndUnknownConversionsReadNoArgument)
{
    EXPECT_EQ(FormatText("100%"), "100%");
    EXPECT_EQ(FormatText("abc%-08"), "abc%-08");
    EXPECT_EQ(FormatText("abc%l"), "abc%l");
    // An unknown type writes its character; the argument still goes to the next one.
    EXPECT_EQ(FormatText("%y%d", 5), "y5");
    EXPECT_EQ(FormatText("%f|%s", "text"), "f|text");
    EXPECT_EQ(FormatText(nullptr), "");
}

TEST(FormatText, OutputIsCutAtTheLimit)
{
    const std::string longText(3000, 'q');
    EXPECT_EQ(FormatText("%s", longText.c_str()), longText.substr(0, kFormatTextLimit));
    EXPECT_EQ(FormatText(longText.c_str()).size(), kFormatTextLimit);
    EXPECT_EQ(FormatText("%2000d", 1).size(), kFormatTextLimit);
    EXPECT_EQ(FormatText("%-99999999999999999999d|", 1).size(), kFormatTextLimit);
    // Text that fits exactly is kept whole.
    const std::string fits(kFormatTextLimit - 2, 'f');
    EXPECT_EQ(FormatText("%s%d", fits.c_str(), 42), fits + "42");
    EXPECT_EQ(FormatText("%s%d", fits.c_str(), 423), fits + "42");
    const std::string padded = FormatText("%1020s%08lX", "a", DWORD{0xABCDEF12u});
    EXPECT_EQ(padded.substr(kFormatTextLimit - 4), "ABCD");
    EXPECT_EQ(padded.size(), kFormatTextLimit);
}

std::string Forward(const char* pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    std::string first = platform::FormatTextV(pszFormat, args);
    // The list is copied, so the caller can use it again.
    std::string second = platform::FormatTextV(pszFormat, args);
    va_end(args);
    return first + "/" + second;
}

TEST(FormatText, VaListFormLeavesTheCallersListAsItWas)
{
    EXPECT_EQ(Forward("%s=%lu", "n", DWORD{7}), "n=7/n=7");
}
} // namespace
