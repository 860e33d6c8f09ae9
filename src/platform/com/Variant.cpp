// VARIANT lifetime and the conversions Invoke needs, with OLE's rules: numbers round
// half to even, out-of-range values are DISP_E_OVERFLOW, text that is not a number is
// DISP_E_TYPEMISMATCH, booleans are -1 and 0 (or "True" and "False" when asked), a null
// BSTR reads as "". Text and numbers never depend on the process locale.
#include "platform/AsciiText.h"
#include "platform/com/BStr.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <variant>

namespace
{
// Types whose value is the bits of the union and owns nothing.
bool IsPlainType(VARTYPE vt)
{
    switch (vt)
    {
    case VT_EMPTY:
    case VT_NULL:
    case VT_I2:
    case VT_I4:
    case VT_R4:
    case VT_R8:
    case VT_CY:
    case VT_DATE:
    case VT_ERROR:
    case VT_BOOL:
    case VT_I1:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_INT:
    case VT_UINT:
        return true;
    default:
        return false;
    }
}

bool IsOwningType(VARTYPE vt)
{
    return vt == VT_BSTR || vt == VT_UNKNOWN || vt == VT_DISPATCH;
}

bool IsByRefType(VARTYPE vt)
{
    const VARTYPE base = vt & ~VT_BYREF;
    return (vt & VT_BYREF) != 0 && (IsPlainType(base) || IsOwningType(base) || base == VT_VARIANT);
}

bool IsValidType(VARTYPE vt)
{
    return IsPlainType(vt) || IsOwningType(vt) || IsByRefType(vt);
}

// A source value reduced to what the conversions distinguish.
struct EmptyValue
{
};
using Value = std::variant<EmptyValue, int64_t, double, bool, std::u16string_view>;

// The value of a source variant, read through a reference. Nothing for types outside the
// supported set; *hr says which failure that is.
std::optional<Value> ReadValue(const VARIANT& src, HRESULT* hr)
{
    const bool byRef = (src.vt & VT_BYREF) != 0;
    if (byRef && src.byref == nullptr)
    {
        *hr = E_INVALIDARG;
        return std::nullopt;
    }
    switch (src.vt & ~VT_BYREF)
    {
    case VT_EMPTY:
        if (!byRef)
            return Value(EmptyValue{});
        break;
    case VT_I4:
        return Value(int64_t(byRef ? *src.plVal : src.lVal));
    case VT_INT:
        return Value(int64_t(byRef ? *src.pintVal : src.intVal));
    case VT_I8:
        return Value(int64_t(byRef ? *src.pllVal : src.llVal));
    case VT_R8:
        return Value(byRef ? *src.pdblVal : src.dblVal);
    case VT_BOOL:
        return Value((byRef ? *src.pboolVal : src.boolVal) != VARIANT_FALSE);
    case VT_BSTR:
    {
        BSTR text = byRef ? *src.pbstrVal : src.bstrVal;
        return Value(std::u16string_view(text == nullptr ? u"" : text, SysStringLen(text)));
    }
    case VT_NULL:
    case VT_UNKNOWN:
    case VT_DISPATCH:
        *hr = DISP_E_TYPEMISMATCH;
        return std::nullopt;
    default:
        break;
    }
    *hr = DISP_E_BADVARTYPE;
    return std::nullopt;
}

// The text as ASCII without surrounding blanks; nothing when it holds other characters.
std::optional<std::string> TrimmedAscii(std::u16string_view text)
{
    const auto blank = [](char16_t c)
    { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    std::string ascii;
    for (char16_t c : text)
    {
        if (c >= 0x80)
            return std::nullopt;
        ascii += static_cast<char>(c);
    }
    return ascii;
}

// A decimal number: an integer when the text is one, else a floating-point number.
struct ParsedNumber
{
    HRESULT hr = S_OK;
    std::variant<int64_t, double> number;
};

ParsedNumber ParseNumber(std::u16string_view text)
{
    const std::optional<std::string> ascii = TrimmedAscii(text);
    if (!ascii || ascii->empty())
        return {DISP_E_TYPEMISMATCH, int64_t(0)};
    std::string_view digits = *ascii;
    if (digits.front() == '+')
        digits.remove_prefix(1);
    // from_chars would take "inf" and "nan"; a number starts with a digit or a point.
    const std::string_view body =
        (!digits.empty() && digits.front() == '-') ? digits.substr(1) : digits;
    if (body.empty() || !((body.front() >= '0' && body.front() <= '9') || body.front() == '.'))
        return {DISP_E_TYPEMISMATCH, int64_t(0)};

    const char* first = digits.data();
    const char* last = digits.data() + digits.size();
    int64_t integer = 0;
    auto [intEnd, intErr] = std::from_chars(first, last, integer);
    if (intErr == std::errc() && intEnd == last)
        return {S_OK, integer};
    double real = 0;
    auto [realEnd, realErr] = std::from_chars(first, last, real, std::chars_format::general);
    if (realErr == std::errc::result_out_of_range && realEnd == last)
        return {DISP_E_OVERFLOW, int64_t(0)};
    if (realErr != std::errc() || realEnd != last)
        return {DISP_E_TYPEMISMATCH, int64_t(0)};
    return {S_OK, real};
}

HRESULT RealToInteger(double real, int64_t min, int64_t max, int64_t* out)
{
    if (std::isnan(real))
        return DISP_E_OVERFLOW;
    const double rounded = std::nearbyint(real); // ties to even in the default mode
    // Compare in double, where the bounds of int64 are exact powers of two.
    if (rounded < static_cast<double>(min) || rounded >= -static_cast<double>(min) ||
        rounded > static_cast<double>(max))
        return DISP_E_OVERFLOW;
    *out = static_cast<int64_t>(rounded);
    return S_OK;
}

HRESULT ToInteger(const Value& value, int64_t min, int64_t max, int64_t* out)
{
    int64_t integer = 0;
    if (std::holds_alternative<EmptyValue>(value))
        integer = 0;
    else if (const auto* i = std::get_if<int64_t>(&value))
        integer = *i;
    else if (const auto* b = std::get_if<bool>(&value))
        integer = *b ? -1 : 0;
    else if (const auto* r = std::get_if<double>(&value))
    {
        if (HRESULT hr = RealToInteger(*r, min, max, &integer); FAILED(hr))
            return hr;
    }
    else
    {
        const ParsedNumber parsed = ParseNumber(std::get<std::u16string_view>(value));
        if (FAILED(parsed.hr))
            return parsed.hr;
        if (const auto* pi = std::get_if<int64_t>(&parsed.number))
            integer = *pi;
        else if (HRESULT hr = RealToInteger(std::get<double>(parsed.number), min, max, &integer);
                 FAILED(hr))
            return hr;
    }
    if (integer < min || integer > max)
        return DISP_E_OVERFLOW;
    *out = integer;
    return S_OK;
}

HRESULT ToReal(const Value& value, double* out)
{
    if (std::holds_alternative<EmptyValue>(value))
        *out = 0.0;
    else if (const auto* i = std::get_if<int64_t>(&value))
        *out = static_cast<double>(*i);
    else if (const auto* b = std::get_if<bool>(&value))
        *out = *b ? -1.0 : 0.0;
    else if (const auto* r = std::get_if<double>(&value))
        *out = *r;
    else
    {
        const ParsedNumber parsed = ParseNumber(std::get<std::u16string_view>(value));
        if (FAILED(parsed.hr))
            return parsed.hr;
        if (const auto* pi = std::get_if<int64_t>(&parsed.number))
            *out = static_cast<double>(*pi);
        else
            *out = std::get<double>(parsed.number);
    }
    return S_OK;
}

HRESULT ToBool(const Value& value, bool* out)
{
    if (std::holds_alternative<EmptyValue>(value))
        *out = false;
    else if (const auto* i = std::get_if<int64_t>(&value))
        *out = *i != 0;
    else if (const auto* b = std::get_if<bool>(&value))
        *out = *b;
    else if (const auto* r = std::get_if<double>(&value))
        *out = *r != 0.0;
    else
    {
        const auto text = std::get<std::u16string_view>(value);
        const std::optional<std::string> word = TrimmedAscii(text);
        if (word && platform::EqualsNoCase(*word, "True"))
            *out = true;
        else if (word && platform::EqualsNoCase(*word, "False"))
            *out = false;
        else
        {
            double real = 0;
            if (HRESULT hr = ToReal(value, &real); FAILED(hr))
                return hr;
            *out = real != 0.0;
        }
    }
    return S_OK;
}

// Up to 15 significant digits, exponent form for very large or small magnitudes:
// 250000000 -> "250000000", 1.5 -> "1.5", 1e20 -> "1E+20".
std::string FormatReal(double real)
{
    char buffer[64];
    auto [end, err] =
        std::to_chars(buffer, buffer + sizeof(buffer), real, std::chars_format::general, 15);
    if (err != std::errc())
        return "0";
    std::string text(buffer, end);
    for (char& c : text)
    {
        if (c == 'e')
            c = 'E';
    }
    return text;
}

HRESULT ToText(const Value& value, USHORT flags, BSTR* out)
{
    std::u16string text;
    if (const auto* i = std::get_if<int64_t>(&value))
    {
        for (char c : std::to_string(*i))
            text += static_cast<char16_t>(c);
    }
    else if (const auto* b = std::get_if<bool>(&value))
    {
        if ((flags & VARIANT_ALPHABOOL) != 0)
            text = *b ? u"True" : u"False";
        else
            text = *b ? u"-1" : u"0";
    }
    else if (const auto* r = std::get_if<double>(&value))
    {
        for (char c : FormatReal(*r))
            text += static_cast<char16_t>(c);
    }
    else if (const auto* s = std::get_if<std::u16string_view>(&value))
        text = *s;
    *out = platform::com::AllocBStr(std::u16string_view(text));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

// Builds the converted value in result (which owns nothing before).
HRESULT Convert(const Value& value, USHORT flags, VARTYPE vt, VARIANT& result)
{
    int64_t integer = 0;
    HRESULT hr = S_OK;
    result.vt = vt;
    switch (vt)
    {
    case VT_EMPTY:
        return S_OK;
    case VT_I4:
    case VT_INT:
        hr = ToInteger(value, std::numeric_limits<int32_t>::min(),
                       std::numeric_limits<int32_t>::max(), &integer);
        result.lVal = static_cast<LONG>(integer);
        return hr;
    case VT_I8:
        hr = ToInteger(value, std::numeric_limits<int64_t>::min(),
                       std::numeric_limits<int64_t>::max(), &integer);
        result.llVal = integer;
        return hr;
    case VT_R8:
        return ToReal(value, &result.dblVal);
    case VT_BOOL:
    {
        bool flag = false;
        hr = ToBool(value, &flag);
        result.boolVal = flag ? VARIANT_TRUE : VARIANT_FALSE;
        return hr;
    }
    case VT_BSTR:
        result.bstrVal = nullptr;
        return ToText(value, flags, &result.bstrVal);
    default:
        return DISP_E_BADVARTYPE;
    }
}
} // namespace

extern "C" void VariantInit(VARIANTARG* pvarg)
{
    if (pvarg == nullptr)
        return;
    std::memset(static_cast<void*>(pvarg), 0, sizeof(VARIANT));
    pvarg->vt = VT_EMPTY;
}

extern "C" HRESULT VariantClear(VARIANTARG* pvarg)
{
    if (pvarg == nullptr)
        return E_INVALIDARG;
    if (!IsValidType(pvarg->vt))
        return DISP_E_BADVARTYPE;
    switch (pvarg->vt)
    {
    case VT_BSTR:
        SysFreeString(pvarg->bstrVal);
        break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
        if (pvarg->punkVal != nullptr)
            pvarg->punkVal->Release();
        break;
    default:
        break;
    }
    VariantInit(pvarg);
    return S_OK;
}

extern "C" HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc)
{
    if (pvargDest == nullptr || pvargSrc == nullptr)
        return E_INVALIDARG;
    if (pvargDest == pvargSrc)
        return S_OK;
    if (!IsValidType(pvargSrc->vt))
        return DISP_E_BADVARTYPE;
    VARIANT copy = *pvargSrc;
    if (pvargSrc->vt == VT_BSTR && pvargSrc->bstrVal != nullptr)
    {
        copy.bstrVal = SysAllocStringByteLen(reinterpret_cast<const char*>(pvargSrc->bstrVal),
                                             SysStringByteLen(pvargSrc->bstrVal));
        if (copy.bstrVal == nullptr)
            return E_OUTOFMEMORY;
    }
    if (HRESULT hr = VariantClear(pvargDest); FAILED(hr))
    {
        if (copy.vt == VT_BSTR)
            SysFreeString(copy.bstrVal);
        return hr;
    }
    if ((copy.vt == VT_UNKNOWN || copy.vt == VT_DISPATCH) && copy.punkVal != nullptr)
        copy.punkVal->AddRef();
    *pvargDest = copy;
    return S_OK;
}

extern "C" HRESULT VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc,
                                     USHORT wFlags, VARTYPE vt)
{
    if (pvargDest == nullptr || pvarSrc == nullptr)
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    const std::optional<Value> value = ReadValue(*pvarSrc, &hr);
    if (!value)
        return hr;
    VARIANT result;
    VariantInit(&result);
    hr = Convert(*value, wFlags, vt, result);
    if (FAILED(hr))
    {
        VariantClear(&result);
        return hr;
    }
    // The source may be the destination, and a BSTR value still points into it: clear
    // the destination only once the result stands on its own.
    if (HRESULT cleared = VariantClear(pvargDest); FAILED(cleared))
    {
        VariantClear(&result);
        return cleared;
    }
    *pvargDest = result;
    return S_OK;
}
