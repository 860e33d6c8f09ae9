// Variants made in one line, for the COM tests. None owns what it points to, except
// Text, whose BSTR the caller clears.
#pragma once

#include "platform/com/BStr.h"

#include <string_view>

namespace comtest
{
inline VARIANT Of(VARTYPE vt)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = vt;
    return v;
}

template <class T, T VARIANT::*member>
VARIANT Holding(VARTYPE vt, T value)
{
    VARIANT v = Of(vt);
    v.*member = value;
    return v;
}

inline VARIANT I4(LONG value)
{
    return Holding<LONG, &VARIANT::lVal>(VT_I4, value);
}
inline VARIANT I8(LONGLONG value)
{
    return Holding<LONGLONG, &VARIANT::llVal>(VT_I8, value);
}
inline VARIANT R8(double value)
{
    return Holding<double, &VARIANT::dblVal>(VT_R8, value);
}
inline VARIANT Bool(bool value)
{
    return Holding<VARIANT_BOOL, &VARIANT::boolVal>(VT_BOOL, value ? VARIANT_TRUE : VARIANT_FALSE);
}
inline VARIANT Str(BSTR text)
{
    return Holding<BSTR, &VARIANT::bstrVal>(VT_BSTR, text);
}
inline VARIANT Text(std::string_view utf8)
{
    return Str(platform::com::AllocBStr(utf8));
}
inline VARIANT ByRef(VARTYPE vt, void* target)
{
    return Holding<void*, &VARIANT::byref>(static_cast<VARTYPE>(VT_BYREF | vt), target);
}
} // namespace comtest
