#include "Variants.h"
#include "platform/com/BStr.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>

using platform::com::BStrToUtf8;

namespace
{
using namespace comtest;

LONG g_nReferenced = 12;
BSTR g_referencedText = nullptr;
// The value of a variant as text, for comparing rows: its type tag and its value.
std::string Shown(const VARIANT& v)
{
    switch (v.vt)
    {
    case VT_I4:
    case VT_INT:
        return std::to_string(v.vt) + ":" + std::to_string(v.lVal);
    case VT_I8:
        return std::to_string(v.vt) + ":" + std::to_string(v.llVal);
    case VT_R8:
        return std::to_string(v.vt) + ":" + std::to_string(v.dblVal);
    case VT_BOOL:
        return std::to_string(v.vt) + ":" + std::to_string(v.boolVal);
    case VT_BSTR:
        return v.bstrVal == nullptr ? "BSTR null" : "BSTR:" + BStrToUtf8(v.bstrVal);
    default:
        return std::to_string(v.vt);
    }
}

// VariantChangeType converts as OLE does: rounding half to even, overflow and mismatch
// refused with the result untouched, text the way VB shows it, through references.
TEST(Variant, ChangesTypeAsOleDoes)
{
    struct SRow
    {
        const char* name;
        VARIANT source;
        VARTYPE vt;
        HRESULT hr;
        VARIANT want; // on success
        USHORT flags = 0;
    };
    g_referencedText = SysAllocString(u"34");
    const SRow rows[] = {
        {"empty to I4", Of(VT_EMPTY), VT_I4, S_OK, I4(0)},
        {"I8 in range", I8(-2147483648LL), VT_I4, S_OK, I4(-2147483647 - 1)},
        {"I8 too large", I8(2147483648LL), VT_I4, DISP_E_OVERFLOW, {}},
        {"R8 rounds half to even down", R8(2.5), VT_I4, S_OK, I4(2)},
        {"R8 rounds half to even up", R8(3.5), VT_I4, S_OK, I4(4)},
        {"R8 negative", R8(-1.5), VT_I4, S_OK, I4(-2)},
        {"R8 too large", R8(3e9), VT_I4, DISP_E_OVERFLOW, {}},
        {"true to I4", Bool(true), VT_I4, S_OK, I4(-1)},
        {"false to I4", Bool(false), VT_I4, S_OK, I4(0)},
        {"decimal text", Text(" 42 "), VT_I4, S_OK, I4(42)},
        {"signed text", Text("+17"), VT_I4, S_OK, I4(17)},
        {"fraction text", Text("1.5"), VT_I4, S_OK, I4(2)},
        {"exponent text", Text("1e3"), VT_I4, S_OK, I4(1000)},
        {"text too large", Text("99999999999"), VT_I4, DISP_E_OVERFLOW, {}},
        {"word", Text("abc"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"empty text", Text(""), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"trailing junk", Text("12abc"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"infinity word", Text("inf"), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"null", Of(VT_NULL), VT_I4, DISP_E_TYPEMISMATCH, {}},
        {"to an unknown", I4(1), VT_UNKNOWN, DISP_E_BADVARTYPE, {}},
        {"I4 to text", I4(-7), VT_BSTR, S_OK, Text("-7")},
        {"I8 to text", I8(9007199254740993LL), VT_BSTR, S_OK, Text("9007199254740993")},
        {"whole R8 to text", R8(250000000.0), VT_BSTR, S_OK, Text("250000000")},
        {"R8 1.5 to text", R8(1.5), VT_BSTR, S_OK, Text("1.5")},
        {"R8 0.1 to text", R8(0.1), VT_BSTR, S_OK, Text("0.1")},
        {"large R8 to text", R8(1e20), VT_BSTR, S_OK, Text("1E+20")},
        {"true to text", Bool(true), VT_BSTR, S_OK, Text("-1")},
        {"false to text", Bool(false), VT_BSTR, S_OK, Text("0")},
        {"true to alpha text", Bool(true), VT_BSTR, S_OK, Text("True"), VARIANT_ALPHABOOL},
        {"empty to text", Of(VT_EMPTY), VT_BSTR, S_OK, Text("")},
        {"text to R8", Text("-2.25"), VT_R8, S_OK, R8(-2.25)},
        {"True to bool", Text("True"), VT_BOOL, S_OK, Bool(true)},
        {"false to bool", Text("false"), VT_BOOL, S_OK, Bool(false)},
        {"0 to bool", Text("0"), VT_BOOL, S_OK, Bool(false)},
        {"-1 to bool", Text("-1"), VT_BOOL, S_OK, Bool(true)},
        {"I4 5 to bool", I4(5), VT_BOOL, S_OK, Bool(true)},
        {"R8 0 to bool", R8(0.0), VT_BOOL, S_OK, Bool(false)},
        {"empty to bool", Of(VT_EMPTY), VT_BOOL, S_OK, Bool(false)},
        {"maybe to bool", Text("maybe"), VT_BOOL, DISP_E_TYPEMISMATCH, {}},
        {"largest I8 text", Text("9223372036854775807"), VT_I8, S_OK, I8(9223372036854775807LL)},
        {"R8 beyond I8", R8(9223372036854775808.0), VT_I8, DISP_E_OVERFLOW, {}},
        {"I4 through a reference", ByRef(VT_I4, &g_nReferenced), VT_R8, S_OK, R8(12.0)},
        {"text through a reference", ByRef(VT_BSTR, &g_referencedText), VT_INT, S_OK,
         []
         {
             VARIANT v = I4(34);
             v.vt = VT_INT;
             return v;
         }()},
        {"null reference", ByRef(VT_I4, nullptr), VT_I4, E_INVALIDARG, {}},
    };
    for (SRow row : rows)
    {
        SCOPED_TRACE(row.name);
        VARIANT result = Of(VT_EMPTY);
        EXPECT_EQ(VariantChangeType(&result, &row.source, row.flags, row.vt), row.hr);
        EXPECT_EQ(Shown(result), row.hr == S_OK ? Shown(row.want) : "0") << "untouched on failure";
        VARIANT inPlace = Of(VT_EMPTY);
        if (VariantCopy(&inPlace, &row.source) == S_OK && (row.source.vt & VT_BYREF) == 0)
        {
            // Changed in place: without leaking or reading freed text.
            EXPECT_EQ(VariantChangeType(&inPlace, &inPlace, row.flags, row.vt), row.hr);
            EXPECT_EQ(Shown(inPlace), Shown(row.hr == S_OK ? row.want : row.source));
            VariantClear(&inPlace);
        }
        VariantClear(&result);
        if ((row.source.vt & VT_BYREF) == 0)
            VariantClear(&row.source);
        VariantClear(&row.want);
    }
    SysFreeString(g_referencedText);
}

class CountedUnknown final : public IUnknown
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs; }
    std::atomic<ULONG> refs{1};
};

TEST(Variant, CopyDuplicatesWhatItOwnsAndClearReleasesIt)
{
    const OLECHAR raw[] = {u'x', u'\0', u'y'};
    VARIANT source = Of(VT_BSTR);
    source.bstrVal = SysAllocStringLen(raw, 3);
    VARIANT copy = I4(5);
    ASSERT_EQ(VariantCopy(&copy, &source), S_OK);
    ASSERT_EQ(copy.vt, VT_BSTR);
    EXPECT_NE(copy.bstrVal, source.bstrVal);
    EXPECT_EQ(SysStringLen(copy.bstrVal), 3u);
    EXPECT_EQ(copy.bstrVal[2], u'y');
    VariantClear(&source);
    EXPECT_EQ(source.vt, VT_EMPTY);
    VariantClear(&copy);

    CountedUnknown unknown;
    VARIANT holder = Of(VT_UNKNOWN);
    holder.punkVal = &unknown;
    unknown.AddRef();
    VARIANT second = Of(VT_EMPTY);
    ASSERT_EQ(VariantCopy(&second, &holder), S_OK);
    EXPECT_EQ(unknown.refs, 3u);
    VariantClear(&holder);
    VariantClear(&second);
    EXPECT_EQ(unknown.refs, 1u);

    VARIANT bad = Of(0x0FFE);
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantCopy(&second, &bad), DISP_E_BADVARTYPE);
}
} // namespace
