// BSTR helpers for the engine's C++ code: conversion to and from its UTF-8 strings, and
// BStr, the owner of one BSTR (freed with SysFreeString when the owner goes). A BStr is
// a plain value used on one thread at a time.
#pragma once

#include <ovradio/Com.h>
#include <string>
#include <string_view>

namespace platform::com
{
// A new BSTR holding the text; the caller owns it. Null only when memory runs out.
BSTR AllocBStr(std::string_view utf8);
BSTR AllocBStr(std::u16string_view utf16);
// The BSTR's text (all SysStringLen characters); "" for a null BSTR.
std::string BStrToUtf8(BSTR bstr);
// A NUL-terminated OLE string that need not be a BSTR; "" for null.
std::string OleStrToUtf8(LPCOLESTR text);
// A NUL-terminated copy allocated with CoTaskMemAlloc; null when memory runs out.
LPOLESTR CoTaskMemDup(std::u16string_view text);

class BStr
{
public:
    BStr() = default;
    explicit BStr(std::string_view utf8) : m_bstr(AllocBStr(utf8)) {}
    explicit BStr(std::u16string_view utf16) : m_bstr(AllocBStr(utf16)) {}
    ~BStr() { SysFreeString(m_bstr); }
    BStr(BStr&& other) noexcept : m_bstr(other.Detach()) {}
    BStr& operator=(BStr&& other) noexcept
    {
        if (this != &other)
            Attach(other.Detach());
        return *this;
    }
    BStr(const BStr&) = delete;
    BStr& operator=(const BStr&) = delete;

    // Takes ownership of an existing BSTR, freeing the one held.
    static BStr Adopt(BSTR bstr)
    {
        BStr owner;
        owner.m_bstr = bstr;
        return owner;
    }

    BSTR Get() const { return m_bstr; }
    UINT Length() const { return SysStringLen(m_bstr); }
    std::string ToUtf8() const { return BStrToUtf8(m_bstr); }
    std::u16string_view View() const { return {m_bstr == nullptr ? u"" : m_bstr, Length()}; }

    // For a call that writes a BSTR out: frees the one held and hands out the slot.
    BSTR* Out()
    {
        Attach(nullptr);
        return &m_bstr;
    }
    void Attach(BSTR bstr)
    {
        SysFreeString(m_bstr);
        m_bstr = bstr;
    }
    // Gives the BSTR to the caller, who then frees it.
    BSTR Detach()
    {
        BSTR bstr = m_bstr;
        m_bstr = nullptr;
        return bstr;
    }

private:
    BSTR m_bstr = nullptr;
};
} // namespace platform::com
