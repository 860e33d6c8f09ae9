#include "platform/com/BStr.h"

#include <atomic>
#include <cstddef>
#include <gtest/gtest.h>
#include <string>

using platform::com::AllocBStr;
using platform::com::BStrToUtf8;

namespace
{
VARIANT I4(LONG value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

VARIANT I8(LONGLONG value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I8;
    v.llVal = value;
    return v;
}

VARIANT R8(double value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = value;
    return v;
}

VARIANT Bool(bool value)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL;
    v.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}

// Owns its BSTR: the caller clears it.
VARIANT Text(const char* utf8)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = AllocBStr(std::string_view(utf8));
    return v;
}

VARIANT Empty()
{
    VARIANT v;
    VariantInit(&v);
    return v;
}

TEST(Variant, HasTheWindowsLayout)
{
    EXPECT_EQ(sizeof(VARIANT), 24u);
    EXPECT_EQ(offsetof(VARIANT, vt), 0u);
    EXPECT_EQ(offsetof(VARIANT, llVal), 8u);
    EXPECT_EQ(offsetof(VARIANT, bstrVal), 8u);
    EXPECT_EQ(sizeof(DISPPARAMS), 24u);
    EXPECT_EQ(offsetof(DISPPARAMS, cArgs), 16u);
    EXPECT_EQ(sizeof(EXCEPINFO), 64u);
    EXPECT_EQ(offsetof(EXCEPINFO, bstrSource), 8u);
    EXPECT_EQ(offsetof(EXCEPINFO, dwHelpContext), 32u);
    EXPECT_EQ(offsetof(EXCEPINFO, scode), 56u);
}

struct ToI4Case
{
    const char* name;
    VARIANT source;
    HRESULT hr;
    LONG value;
};

TEST(Variant, ChangesToI4AsOleDoes)
{
    const ToI4Case cases[] = {
        {"empty", Empty(), S_OK, 0},
        {"i8 in range", I8(-2147483648LL), S_OK, -2147483647 - 1},
        {"i8 too large", I8(2147483648LL), DISP_E_OVERFLOW, 0},
        {"r8 rounds half to even down", R8(2.5), S_OK, 2},
        {"r8 rounds half to even up", R8(3.5), S_OK, 4},
        {"r8 negative", R8(-1.5), S_OK, -2},
        {"r8 too large", R8(3e9), DISP_E_OVERFLOW, 0},
        {"true", Bool(true), S_OK, -1},
        {"false", Bool(false), S_OK, 0},
        {"decimal text", Text(" 42 "), S_OK, 42},
        {"signed text", Text("+17"), S_OK, 17},
        {"fraction text", Text("1.5"), S_OK, 2},
        {"exponent text", Text("1e3"), S_OK, 1000},
        {"text too large", Text("99999999999"), DISP_E_OVERFLOW, 0},
        {"word", Text("abc"), DISP_E_TYPEMISMATCH, 0},
        {"empty text", Text(""), DISP_E_TYPEMISMATCH, 0},
        {"trailing junk", Text("12abc"), DISP_E_TYPEMISMATCH, 0},
        {"infinity word", Text("inf"), DISP_E_TYPEMISMATCH, 0},
    };
    for (ToI4Case c : cases)
    {
        SCOPED_TRACE(c.name);
        VARIANT result = Empty();
        EXPECT_EQ(VariantChangeType(&result, &c.source, 0, VT_I4), c.hr);
        if (c.hr == S_OK)
        {
            EXPECT_EQ(result.vt, VT_I4);
            EXPECT_EQ(result.lVal, c.value);
        }
        else
            EXPECT_EQ(result.vt, VT_EMPTY); // untouched on failure
        VariantClear(&c.source);
    }
}

TEST(Variant, ChangesToTextAsOleDoes)
{
    struct Case
    {
        VARIANT source;
        USHORT flags;
        const char* text;
    };
    const Case cases[] = {
        {I4(-7), 0, "-7"},
        {I8(9007199254740993LL), 0, "9007199254740993"},
        {R8(250000000.0), 0, "250000000"},
        {R8(1.5), 0, "1.5"},
        {R8(0.1), 0, "0.1"},
        {R8(1e20), 0, "1E+20"},
        {Bool(true), 0, "-1"},
        {Bool(false), 0, "0"},
        {Bool(true), VARIANT_ALPHABOOL, "True"},
        {Empty(), 0, ""},
    };
    for (Case c : cases)
    {
        SCOPED_TRACE(c.text);
        VARIANT result = Empty();
        ASSERT_EQ(VariantChangeType(&result, &c.source, c.flags, VT_BSTR), S_OK);
        ASSERT_EQ(result.vt, VT_BSTR);
        ASSERT_NE(result.bstrVal, nullptr);
        EXPECT_EQ(BStrToUtf8(result.bstrVal), c.text);
        VariantClear(&result);
    }
}

TEST(Variant, ChangesToRealBoolAndI8)
{
    VARIANT source = Text("-2.25");
    VARIANT result = Empty();
    ASSERT_EQ(VariantChangeType(&result, &source, 0, VT_R8), S_OK);
    EXPECT_EQ(result.dblVal, -2.25);
    VariantClear(&source);

    struct BoolCase
    {
        VARIANT source;
        VARIANT_BOOL value;
    };
    const BoolCase bools[] = {{Text("True"), VARIANT_TRUE}, {Text("false"), VARIANT_FALSE},
                              {Text("0"), VARIANT_FALSE},   {Text("-1"), VARIANT_TRUE},
                              {I4(5), VARIANT_TRUE},        {R8(0.0), VARIANT_FALSE},
                              {Empty(), VARIANT_FALSE}};
    for (BoolCase c : bools)
    {
        ASSERT_EQ(VariantChangeType(&result, &c.source, 0, VT_BOOL), S_OK);
        EXPECT_EQ(result.vt, VT_BOOL);
        EXPECT_EQ(result.boolVal, c.value);
        VariantClear(&c.source);
    }
    VARIANT word = Text("maybe");
    EXPECT_EQ(VariantChangeType(&result, &word, 0, VT_BOOL), DISP_E_TYPEMISMATCH);
    VariantClear(&word);

    VARIANT big = Text("9223372036854775807");
    ASSERT_EQ(VariantChangeType(&result, &big, 0, VT_I8), S_OK);
    EXPECT_EQ(result.llVal, 9223372036854775807LL);
    VariantClear(&big);
    VARIANT huge = R8(9223372036854775808.0);
    EXPECT_EQ(VariantChangeType(&result, &huge, 0, VT_I8), DISP_E_OVERFLOW);
}

TEST(Variant, ReadsThroughReferences)
{
    LONG value = 12;
    VARIANT ref = Empty();
    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = &value;
    VARIANT result = Empty();
    ASSERT_EQ(VariantChangeType(&result, &ref, 0, VT_R8), S_OK);
    EXPECT_EQ(result.dblVal, 12.0);

    BSTR text = SysAllocString(u"34");
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &text;
    ASSERT_EQ(VariantChangeType(&result, &ref, 0, VT_INT), S_OK);
    EXPECT_EQ(result.vt, VT_INT);
    EXPECT_EQ(result.intVal, 34);
    SysFreeString(text);

    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = nullptr;
    EXPECT_EQ(VariantChangeType(&result, &ref, 0, VT_I4), E_INVALIDARG);
}

TEST(Variant, ChangesInPlaceWithoutLeakingOrReadingFreedText)
{
    VARIANT v = Text("123");
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);
    EXPECT_EQ(v.vt, VT_I4);
    EXPECT_EQ(v.lVal, 123);

    VARIANT t = Text("same");
    ASSERT_EQ(VariantChangeType(&t, &t, 0, VT_BSTR), S_OK);
    EXPECT_EQ(BStrToUtf8(t.bstrVal), "same");
    VariantClear(&t);

    VARIANT n = Empty();
    n.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&n, &n, 0, VT_I4), DISP_E_TYPEMISMATCH);
    VARIANT i = I4(1);
    EXPECT_EQ(VariantChangeType(&i, &i, 0, VT_UNKNOWN), DISP_E_BADVARTYPE);
    EXPECT_EQ(i.lVal, 1);
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
    VARIANT source = Empty();
    source.vt = VT_BSTR;
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
    VARIANT holder = Empty();
    holder.vt = VT_UNKNOWN;
    holder.punkVal = &unknown;
    unknown.AddRef();
    VARIANT second = Empty();
    ASSERT_EQ(VariantCopy(&second, &holder), S_OK);
    EXPECT_EQ(unknown.refs, 3u);
    VariantClear(&holder);
    VariantClear(&second);
    EXPECT_EQ(unknown.refs, 1u);

    VARIANT bad = Empty();
    bad.vt = 0x0FFE;
    EXPECT_EQ(VariantClear(&bad), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantCopy(&second, &bad), DISP_E_BADVARTYPE);
}
} // namespace
