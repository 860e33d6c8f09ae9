#include "platform/com/BStr.h"
#include "platform/com/Guid.h"

#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>

namespace
{
std::u16string Text(REFGUID guid)
{
    OLECHAR buffer[CHARS_IN_GUID];
    const int written = StringFromGUID2(guid, buffer, CHARS_IN_GUID);
    EXPECT_EQ(written, 39);
    return std::u16string(buffer);
}

TEST(Guid, WellKnownInterfaceIdentifiersHaveTheirWindowsValues)
{
    EXPECT_EQ(Text(IID_IUnknown), u"{00000000-0000-0000-C000-000000000046}");
    EXPECT_EQ(Text(IID_IDispatch), u"{00020400-0000-0000-C000-000000000046}");
    EXPECT_EQ(Text(IID_IClassFactory), u"{00000001-0000-0000-C000-000000000046}");
    EXPECT_EQ(Text(IID_ISupportErrorInfo), u"{DF0B3D60-548F-101B-8E65-08002B2BD119}");
    EXPECT_EQ(Text(IID_IErrorInfo), u"{1CF2B120-547D-101B-8E65-08002B2BD119}");
    EXPECT_EQ(Text(IID_ICreateErrorInfo), u"{22F03340-547D-101B-8E65-08002B2BD119}");
    EXPECT_EQ(Text(GUID_NULL), u"{00000000-0000-0000-0000-000000000000}");
}

TEST(Guid, ParsesIntoTheWindowsByteLayoutAndFormatsBack)
{
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromString(u"{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}", &clsid), S_OK);
    // Data1 to Data3 are little-endian numbers, Data4 the last eight bytes as written.
    const unsigned char expected[16] = {0xB0, 0x39, 0x5D, 0x0C, 0x0B, 0x46, 0xD4, 0x11,
                                        0xAD, 0xE1, 0x00, 0x50, 0xDA, 0xCD, 0x3D, 0xB9};
    EXPECT_EQ(std::memcmp(&clsid, expected, 16), 0);
    EXPECT_EQ(Text(clsid), u"{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}");
    EXPECT_EQ(platform::com::GuidToString(clsid), "{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}");

    // Lower-case digits are read; the text written is always upper case.
    IID iid{};
    ASSERT_EQ(IIDFromString(u"{0c5d39af-460b-11d4-ade1-0050dacd3db9}", &iid), S_OK);
    EXPECT_EQ(Text(iid), u"{0C5D39AF-460B-11D4-ADE1-0050DACD3DB9}");
    EXPECT_FALSE(IsEqualGUID(iid, clsid));
    EXPECT_TRUE(platform::com::GuidFromString(
                    std::string_view("{0c5d39af-460b-11d4-ade1-0050dacd3db9}")) == iid);
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

TEST(Guid, NullTextIsTheNullGuidAndShortBuffersAreRefused)
{
    CLSID clsid = IID_IDispatch;
    EXPECT_EQ(CLSIDFromString(nullptr, &clsid), S_OK);
    EXPECT_TRUE(IsEqualGUID(clsid, GUID_NULL));
    EXPECT_EQ(CLSIDFromString(u"{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}", nullptr), E_INVALIDARG);

    OLECHAR buffer[CHARS_IN_GUID];
    EXPECT_EQ(StringFromGUID2(IID_IDispatch, buffer, CHARS_IN_GUID - 1), 0);

    LPOLESTR allocated = nullptr;
    ASSERT_EQ(StringFromCLSID(IID_IDispatch, &allocated), S_OK);
    EXPECT_EQ(std::u16string(allocated), u"{00020400-0000-0000-C000-000000000046}");
    CoTaskMemFree(allocated);
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
        seen.insert(platform::com::GuidToString(guid));
    }
    EXPECT_EQ(seen.size(), 200u);
    EXPECT_EQ(CoCreateGuid(nullptr), E_INVALIDARG);
}
} // namespace
