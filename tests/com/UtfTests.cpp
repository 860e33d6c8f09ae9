#include "platform/Utf.h"

#include <gtest/gtest.h>
#include <string>

using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

namespace
{
struct Utf8Case
{
    const char* name;
    std::string utf8;
    std::u16string utf16;
};

TEST(Utf, DecodesUtf8AndReplacesEachIllFormedSubpart)
{
    const Utf8Case cases[] = {
        {"ascii", "abc", u"abc"},
        {"two bytes", "\xC3\xA9", u"\u00E9"},
        {"three bytes", "\xE2\x82\xAC", u"\u20AC"},
        {"four bytes", "\xF0\x9F\x98\x80", u"\U0001F600"},
        {"stray continuation", "a\x80z", u"a\uFFFDz"},
        {"overlong two-byte", "\xC0\xAF", u"\uFFFD\uFFFD"},
        {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"invalid lead",
         "\xFF"
         "a",
         u"\uFFFDa"},
        {"truncated at end", "a\xE2\x82", u"a\uFFFD"},
        {"truncated before ascii",
         "\xE2\x82"
         "A",
         u"\uFFFDA"},
        {"truncated four-byte",
         "\xF0\x9F\x98"
         "!",
         u"\uFFFD!"},
        {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    };
    for (const Utf8Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Utf8ToUtf16(c.utf8), c.utf16);
    }
}

TEST(Utf, LoneSurrogatesBecomeReplacementCharacters)
{
    EXPECT_EQ(Utf16ToUtf8(u"\xD83D"), "\xEF\xBF\xBD");
    EXPECT_EQ(Utf16ToUtf8(u"a\xDE00"
                          u"b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(Utf16ToUtf8(u"\xD83D\xD83D\xDE00"), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
}

TEST(Utf, EveryScalarValueRoundTrips)
{
    std::u16string all;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp)
    {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        if (cp < 0x10000)
            all += static_cast<char16_t>(cp);
        else
        {
            all += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            all += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
    }
    const std::string utf8 = Utf16ToUtf8(all);
    // 128 one-byte, 1920 two-byte, 61440 three-byte (without surrogates), 1048576 four-byte.
    EXPECT_EQ(utf8.size(), 128u + 1920u * 2 + 61440u * 3 + 1048576u * 4);
    EXPECT_EQ(Utf8ToUtf16(utf8), all);
}
} // namespace
