// The values a host exchanges with the runtime: identifiers, codes and layouts it relies
// on, BSTRs, GUID texts and UTF-16.
#include "platform/Utf.h"
#include "platform/com/BStr.h"
#include "platform/com/Guid.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <utility>

using platform::com::AllocBStr;
using platform::com::BStr;
using platform::com::BStrToUtf8;
using platform::com::GuidToString;

namespace
{
// Every identifier, code, type tag and layout a compiled host has built in: one row each.
TEST(WireValues, AreThoseOfWindows)
{
    const std::pair<GUID, const char*> guids[] = {
        {IID_IUnknown, "{00000000-0000-0000-C000-000000000046}"},
        {IID_IDispatch, "{00020400-0000-0000-C000-000000000046}"},
        {IID_IClassFactory, "{00000001-0000-0000-C000-000000000046}"},
        {IID_ISupportErrorInfo, "{DF0B3D60-548F-101B-8E65-08002B2BD119}"},
        {IID_IErrorInfo, "{1CF2B120-547D-101B-8E65-08002B2BD119}"},
        {IID_ICreateErrorInfo, "{22F03340-547D-101B-8E65-08002B2BD119}"},
        {GUID_NULL, "{00000000-0000-0000-0000-000000000000}"},
    };
    for (const auto& [guid, want] : guids)
        EXPECT_EQ(GuidToString(guid), want);

    struct SRow
    {
        const char* name;
        uint64_t got;
        uint64_t want;
    };
    const SRow rows[] = {
        {"S_FALSE", uint32_t(S_FALSE), 0x1},
        {"E_POINTER", uint32_t(E_POINTER), 0x80004003},
        {"E_NOINTERFACE", uint32_t(E_NOINTERFACE), 0x80004002},
        {"E_INVALIDARG", uint32_t(E_INVALIDARG), 0x80070057},
        {"DISP_E_MEMBERNOTFOUND", uint32_t(DISP_E_MEMBERNOTFOUND), 0x80020003},
        {"DISP_E_TYPEMISMATCH", uint32_t(DISP_E_TYPEMISMATCH), 0x80020005},
        {"DISP_E_EXCEPTION", uint32_t(DISP_E_EXCEPTION), 0x80020009},
        {"DISP_E_BADPARAMCOUNT", uint32_t(DISP_E_BADPARAMCOUNT), 0x8002000E},
        {"CLASS_E_NOAGGREGATION", uint32_t(CLASS_E_NOAGGREGATION), 0x80040110},
        {"REGDB_E_CLASSNOTREG", uint32_t(REGDB_E_CLASSNOTREG), 0x80040154},
        {"CO_E_CLASSSTRING", uint32_t(CO_E_CLASSSTRING), 0x800401F3},
        {"VT_I4", VT_I4, 3},
        {"VT_R8", VT_R8, 5},
        {"VT_BSTR", VT_BSTR, 8},
        {"VT_BOOL", VT_BOOL, 11},
        {"VT_I8", VT_I8, 20},
        {"VT_INT", VT_INT, 22},
        {"VT_BYREF", VT_BYREF, 0x4000},
        {"sizeof VARIANT", sizeof(VARIANT), 24},
        {"VARIANT vt", offsetof(VARIANT, vt), 0},
        {"VARIANT value", offsetof(VARIANT, llVal), 8},
        {"VARIANT bstrVal", offsetof(VARIANT, bstrVal), 8},
        {"sizeof DISPPARAMS", sizeof(DISPPARAMS), 24},
        {"DISPPARAMS cArgs", offsetof(DISPPARAMS, cArgs), 16},
        {"sizeof EXCEPINFO", sizeof(EXCEPINFO), 64},
        {"EXCEPINFO bstrSource", offsetof(EXCEPINFO, bstrSource), 8},
        {"EXCEPINFO dwHelpContext", offsetof(EXCEPINFO, dwHelpContext), 32},
        {"EXCEPINFO scode", offsetof(EXCEPINFO, scode), 56},
    };
    for (const SRow& row : rows)
        EXPECT_EQ(row.got, row.want) << row.name;
}

// A BSTR is preceded by its byte length and followed by a NUL; its length counts embedded
// NULs; a null BSTR is an empty text.
TEST(BStr, CarriesItsLengthAndConvertsToAndFromUtf8)
{
    BSTR radio = SysAllocString(u"radio");
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(radio) - 4, 4);
    EXPECT_EQ(prefix, 10u);
    EXPECT_EQ(SysStringByteLen(radio), 10u);
    EXPECT_EQ(std::memcmp(radio, u"radio", 12), 0); // the NUL included
    EXPECT_TRUE(SysReAllocString(&radio, u"longer text"));
    EXPECT_EQ(std::u16string_view(radio), u"longer text");
    SysFreeString(radio);

    const OLECHAR text[] = {u'a', u'\0', u'b'};
    BSTR withNul = SysAllocStringLen(text, 3);
    EXPECT_EQ(SysStringLen(withNul), 3u);
    EXPECT_EQ(withNul[3], u'\0');
    EXPECT_EQ(BStrToUtf8(withNul), std::string("a\0b", 3)); // the whole length counts
    SysFreeString(withNul);
    BSTR zeroed = SysAllocStringLen(nullptr, 4);
    EXPECT_EQ(std::u16string_view(zeroed, SysStringLen(zeroed)),
              std::u16string_view(u"\0\0\0\0", 4));
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

    BSTR song = AllocBStr("Bj\xC3\xB6rk \xF0\x9F\x8E\xB5");
    EXPECT_EQ(std::u16string_view(song, SysStringLen(song)), u"Bj\u00F6rk \U0001F3B5");
    EXPECT_EQ(BStrToUtf8(song), "Bj\xC3\xB6rk \xF0\x9F\x8E\xB5");
    SysFreeString(song);
    EXPECT_EQ(BStrToUtf8(nullptr), "");
    BSTR empty = AllocBStr("");
    ASSERT_NE(empty, nullptr); // an empty text is an empty BSTR, not a null one
    EXPECT_EQ(SysStringLen(empty), 0u);
    SysFreeString(empty);
}

TEST(BStr, OwnerFreesAndHandsOver)
{
    BStr owner("station");
    EXPECT_EQ(owner.Length(), 7u);
    BStr moved = std::move(owner);
    EXPECT_EQ(owner.Get(), nullptr);
    EXPECT_EQ(moved.View(), u"station");
    // Out() frees the old text before a call writes a new one (ASan sees a leak if not).
    *moved.Out() = SysAllocString(u"next");
    BSTR detached = moved.Detach();
    EXPECT_EQ(moved.Get(), nullptr);
    EXPECT_EQ(BStr::Adopt(detached).ToUtf8(), "next");
}

TEST(Guid, ParsesIntoTheWindowsByteLayoutAndFormatsBack)
{
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromString(u"{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}", &clsid), S_OK);
    // Data1 to Data3 are little-endian numbers, Data4 the last eight bytes as written.
    const unsigned char expected[16] = {0xB0, 0x39, 0x5D, 0x0C, 0x0B, 0x46, 0xD4, 0x11,
                                        0xAD, 0xE1, 0x00, 0x50, 0xDA, 0xCD, 0x3D, 0xB9};
    EXPECT_EQ(std::memcmp(&clsid, expected, 16), 0);
    OLECHAR buffer[CHARS_IN_GUID];
    EXPECT_EQ(StringFromGUID2(clsid, buffer, CHARS_IN_GUID), 39);
    EXPECT_EQ(std::u16string(buffer), u"{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}");
    EXPECT_EQ(StringFromGUID2(clsid, buffer, CHARS_IN_GUID - 1), 0);

    // Lower-case digits are read; the text written is always upper case.
    IID iid{};
    ASSERT_EQ(IIDFromString(u"{0c5d39af-460b-11d4-ade1-0050dacd3db9}", &iid), S_OK);
    EXPECT_EQ(GuidToString(iid), "{0C5D39AF-460B-11D4-ADE1-0050DACD3DB9}");
    EXPECT_TRUE(platform::com::GuidFromString(
                    std::string_view("{0c5d39af-460b-11d4-ade1-0050dacd3db9}")) == iid);
    LPOLESTR allocated = nullptr;
    ASSERT_EQ(StringFromCLSID(IID_IDispatch, &allocated), S_OK);
    EXPECT_EQ(std::u16string(allocated), u"{00020400-0000-0000-C000-000000000046}");
    CoTaskMemFree(allocated);

    // A null text is the null GUID.
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, GUID_NULL));
    EXPECT_EQ(CLSIDFromString(u"{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}", nullptr), E_INVALIDARG);
}

TEST(Guid, RejectsTextsThatAreNotBracedGuids)
{
    const char16_t* const bad[] = {
        u"",
        u"0C5D39B0-460B-11D4-ADE1-0050DACD3DB9",    // no braces
        u"{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9",   // no closing brace
        u"{0C5D39B0-460B-11D4-ADE1-0050DACD3DB}",   // a digit short
        u"{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9A}", // a digit long
        u"{0C5D39B0-460B-11D4-ADE10050-DACD3DB9}",  // dash misplaced
        u"{0C5D39B0-460B-11D4-ADE1-0050DACD3DBG}",  // not hexadecimal
        u"{0C5D39B0+460B-11D4-ADE1-0050DACD3DB9}",  // not a dash
        u"{ C5D39B0-460B-11D4-ADE1-0050DACD3DB9}",  // blank
    };
    for (const char16_t* text : bad)
    {
        SCOPED_TRACE(platform::com::OleStrToUtf8(text));
        IID iid = IID_IDispatch;
        EXPECT_EQ(IIDFromString(text, &iid), CO_E_IIDSTRING);
        EXPECT_FALSE(platform::com::GuidFromString(std::u16string_view(text)).has_value());
    }
}

TEST(Guid, CreatedGuidsAreRandomVersionFour)
{
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i)
    {
        GUID guid{};
        ASSERT_EQ(CoCreateGuid(&guid), S_OK);
        EXPECT_EQ(guid.Data3 >> 12, 4);
        EXPECT_EQ(guid.Data4[0] & 0xC0, 0x80);
        seen.insert(GuidToString(guid));
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}

// Each ill-formed part becomes one replacement character, both ways.
TEST(Utf, ReplacesEachIllFormedSubpart)
{
    struct SRow
    {
        const char* name;
        std::string utf8;
        std::u16string utf16;
        bool bFromUtf16; // the row converts UTF-16 to UTF-8 instead
    };
    const SRow rows[] = {
        {"ascii", "abc", u"abc", false},
        {"two bytes", "\xC3\xA9", u"\u00E9", false},
        {"three bytes", "\xE2\x82\xAC", u"\u20AC", false},
        {"four bytes", "\xF0\x9F\x98\x80", u"\U0001F600", false},
        {"stray continuation", "a\x80z", u"a\uFFFDz", false},
        {"overlong two-byte", "\xC0\xAF", u"\uFFFD\uFFFD", false},
        {"overlong three-byte", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD", false},
        {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD", false},
        {"above U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD", false},
        {"invalid lead",
         "\xFF"
         "a",
         u"\uFFFDa", false},
        {"truncated at end", "a\xE2\x82", u"a\uFFFD", false},
        {"truncated before ascii",
         "\xE2\x82"
         "A",
         u"\uFFFDA", false},
        {"truncated four-byte",
         "\xF0\x9F\x98"
         "!",
         u"\uFFFD!", false},
        {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3), false},
        {"lone high surrogate", "\xEF\xBF\xBD", u"\xD83D", true},
        {"lone low surrogate",
         "a\xEF\xBF\xBD"
         "b",
         u"a\xDE00"
         u"b",
         true},
        {"high before a pair", "\xEF\xBF\xBD\xF0\x9F\x98\x80", u"\xD83D\xD83D\xDE00", true},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        if (row.bFromUtf16)
            EXPECT_EQ(platform::Utf16ToUtf8(row.utf16), row.utf8);
        else
            EXPECT_EQ(platform::Utf8ToUtf16(row.utf8), row.utf16);
    }
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
    const std::string utf8 = platform::Utf16ToUtf8(all);
    // 128 one-byte, 1920 two-byte, 61440 three-byte (without surrogates), 1048576 four-byte.
    EXPECT_EQ(utf8.size(), 128u + 1920u * 2 + 61440u * 3 + 1048576u * 4);
    EXPECT_EQ(platform::Utf8ToUtf16(utf8), all);
}
} // namespace
