#include "platform/com/BStr.h"

#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>

using platform::com::AllocBStr;
using platform::com::BStr;
using platform::com::BStrToUtf8;

namespace
{
uint32_t LengthPrefix(BSTR bstr)
{
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(bstr) - 4, 4);
    return prefix;
}

TEST(BStr, TextIsPrecededByItsByteLengthAndFollowedByNul)
{
    BSTR bstr = SysAllocString(u"radio");
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(LengthPrefix(bstr), 10u);
    EXPECT_EQ(SysStringLen(bstr), 5u);
    EXPECT_EQ(SysStringByteLen(bstr), 10u);
    EXPECT_EQ(std::memcmp(bstr, u"radio", 12), 0); // the NUL included
    SysFreeString(bstr);
}

TEST(BStr, LengthCountsEmbeddedNulsAndNullIsEmpty)
{
    const OLECHAR text[] = {u'a', u'\0', u'b'};
    BSTR bstr = SysAllocStringLen(text, 3);
    EXPECT_EQ(SysStringLen(bstr), 3u);
    EXPECT_EQ(bstr[1], u'\0');
    EXPECT_EQ(bstr[2], u'b');
    EXPECT_EQ(bstr[3], u'\0');
    SysFreeString(bstr);

    BSTR zeroed = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(SysStringLen(zeroed), 4u);
    EXPECT_EQ(std::u16string_view(zeroed, 4), std::u16string_view(u"\0\0\0\0", 4));
    SysFreeString(zeroed);

    BSTR odd = SysAllocStringByteLen("abc", 3);
    EXPECT_EQ(SysStringByteLen(odd), 3u);
    EXPECT_EQ(SysStringLen(odd), 1u);
    EXPECT_EQ(std::memcmp(odd, "abc\0\0", 5), 0);
    SysFreeString(odd);

    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);

    BSTR empty = SysAllocString(u"");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
}

TEST(BStr, ReallocationReplacesTheText)
{
    BSTR bstr = SysAllocString(u"old");
    EXPECT_TRUE(SysReAllocString(&bstr, u"longer text"));
    EXPECT_EQ(SysStringLen(bstr), 11u);
    EXPECT_EQ(std::u16string_view(bstr), u"longer text");
    SysFreeString(bstr);
}

TEST(BStr, ConvertsToAndFromUtf8)
{
    BSTR bstr = AllocBStr("Bj\xC3\xB6rk \xF0\x9F\x8E\xB5");
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(std::u16string_view(bstr, SysStringLen(bstr)), u"Bj\u00F6rk \U0001F3B5");
    EXPECT_EQ(BStrToUtf8(bstr), "Bj\xC3\xB6rk \xF0\x9F\x8E\xB5");
    SysFreeString(bstr);

    EXPECT_EQ(BStrToUtf8(nullptr), "");
    BSTR empty = AllocBStr("");
    ASSERT_NE(empty, nullptr); // an empty text is an empty BSTR, not a null one
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);

    // The whole length counts, not just up to a NUL.
    BSTR withNul = AllocBStr(std::string_view("a\0b", 3));
    EXPECT_EQ(BStrToUtf8(withNul), std::string("a\0b", 3));
    SysFreeString(withNul);
}

TEST(BStr, OwnerFreesAndHandsOver)
{
    BStr owner("station");
    EXPECT_EQ(owner.Length(), 7u);
    EXPECT_EQ(owner.ToUtf8(), "station");

    BStr moved = std::move(owner);
    EXPECT_EQ(owner.Get(), nullptr);
    EXPECT_EQ(moved.View(), u"station");

    // Out() frees the old text before a call writes a new one (ASan sees a leak if not).
    *moved.Out() = SysAllocString(u"next");
    EXPECT_EQ(moved.ToUtf8(), "next");

    BSTR detached = moved.Detach();
    EXPECT_EQ(moved.Get(), nullptr);
    BStr adopted = BStr::Adopt(detached);
    EXPECT_EQ(adopted.ToUtf8(), "next");
}
} // namespace
