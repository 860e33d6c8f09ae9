#include "platform/com/Guid.h"

#include "platform/com/BStr.h"

#include <cerrno>
#include <cstdint>
#include <sys/random.h>

extern "C"
{
    const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    const IID IID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
    const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    const IID IID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    const IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    const IID IID_ISupportErrorInfo = {
        0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
    const IID IID_IErrorInfo = {
        0x1CF2B120, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
    const IID IID_ICreateErrorInfo = {
        0x22F03340, 0x547D, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
}

namespace platform::com
{
namespace
{
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
constexpr std::size_t kGuidTextLength = 38;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// The bytes of the GUID in text order: Data1 to Data3 as numbers, then Data4 as bytes.
template <class Char>
std::basic_string<Char> Format(REFGUID guid)
{
    std::basic_string<Char> text;
    text.reserve(kGuidTextLength);
    const auto hex = [&](uint64_t value, int digits)
    {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
            text += static_cast<Char>(kHexDigits[(value >> shift) & 0xF]);
    };
    text += Char('{');
    hex(guid.Data1, 8);
    text += Char('-');
    hex(guid.Data2, 4);
    text += Char('-');
    hex(guid.Data3, 4);
    text += Char('-');
    hex(guid.Data4[0], 2);
    hex(guid.Data4[1], 2);
    text += Char('-');
    for (int i = 2; i < 8; ++i)
        hex(guid.Data4[i], 2);
    text += Char('}');
    return text;
}

template <class Char>
int HexValue(Char c)
{
    if (c >= Char('0') && c <= Char('9'))
        return static_cast<int>(c - Char('0'));
    if (c >= Char('A') && c <= Char('F'))
        return static_cast<int>(c - Char('A')) + 10;
    if (c >= Char('a') && c <= Char('f'))
        return static_cast<int>(c - Char('a')) + 10;
    return -1;
}

template <class Char>
std::optional<GUID> Parse(std::basic_string_view<Char> text)
{
    if (text.size() != kGuidTextLength || text.front() != Char('{') || text.back() != Char('}'))
        return std::nullopt;
    std::size_t pos = 1;
    bool ok = true;
    const auto hex = [&](int digits)
    {
        uint64_t value = 0;
        for (int i = 0; i < digits; ++i)
        {
            const int digit = HexValue(text[pos++]);
            ok = ok && digit >= 0;
            value = (value << 4) | static_cast<uint64_t>(digit < 0 ? 0 : digit);
        }
        return value;
    };
    const auto dash = [&]() { ok = ok && text[pos++] == Char('-'); };

    GUID guid{};
    guid.Data1 = static_cast<DWORD>(hex(8));
    dash();
    guid.Data2 = static_cast<WORD>(hex(4));
    dash();
    guid.Data3 = static_cast<WORD>(hex(4));
    dash();
    guid.Data4[0] = static_cast<BYTE>(hex(2));
    guid.Data4[1] = static_cast<BYTE>(hex(2));
    dash();
    for (int i = 2; i < 8; ++i)
        guid.Data4[i] = static_cast<BYTE>(hex(2));
    if (!ok)
        return std::nullopt;
    return guid;
}

std::u16string_view OleView(LPCOLESTR text)
{
    return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}
} // namespace

std::string GuidToString(REFGUID guid)
{
    return Format<char>(guid);
}

std::u16string GuidToU16String(REFGUID guid)
{
    return Format<char16_t>(guid);
}

std::optional<GUID> GuidFromString(std::string_view text)
{
    return Parse(text);
}

std::optional<GUID> GuidFromString(std::u16string_view text)
{
    return Parse(text);
}

namespace
{
HRESULT TaskMemString(const std::u16string& text, LPOLESTR* out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = CoTaskMemDup(text);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}
} // namespace
} // namespace platform::com

using namespace platform::com;

extern "C" int StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax)
{
    const std::u16string text = GuidToU16String(rguid);
    if (lpsz == nullptr || cchMax < static_cast<int>(text.size()) + 1)
        return 0;
    text.copy(lpsz, text.size());
    lpsz[text.size()] = u'\0';
    return static_cast<int>(text.size()) + 1;
}

extern "C" HRESULT StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz)
{
    return TaskMemString(GuidToU16String(rclsid), lplpsz);
}

extern "C" HRESULT StringFromIID(REFIID rclsid, LPOLESTR* lplpsz)
{
    return TaskMemString(GuidToU16String(rclsid), lplpsz);
}

extern "C" HRESULT CLSIDFromString(LPCOLESTR lpsz, CLSID* pclsid)
{
    if (pclsid == nullptr)
        return E_INVALIDARG;
    if (lpsz == nullptr)
    {
        *pclsid = GUID_NULL;
        return S_OK;
    }
    if (const auto guid = GuidFromString(OleView(lpsz)))
    {
        *pclsid = *guid;
        return S_OK;
    }
    const HRESULT hr = CLSIDFromProgID(lpsz, pclsid);
    return SUCCEEDED(hr) ? hr : CO_E_CLASSSTRING;
}

extern "C" HRESULT IIDFromString(LPCOLESTR lpsz, IID* lpiid)
{
    if (lpiid == nullptr)
        return E_INVALIDARG;
    if (lpsz == nullptr)
    {
        *lpiid = GUID_NULL;
        return S_OK;
    }
    const auto guid = GuidFromString(OleView(lpsz));
    if (!guid)
        return CO_E_IIDSTRING;
    *lpiid = *guid;
    return S_OK;
}

extern "C" HRESULT CoCreateGuid(GUID* pguid)
{
    if (pguid == nullptr)
        return E_INVALIDARG;
    BYTE bytes[sizeof(GUID)];
    std::size_t filled = 0;
    while (filled < sizeof(bytes))
    {
        const ssize_t got = getrandom(bytes + filled, sizeof(bytes) - filled, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return E_FAIL;
        filled += static_cast<std::size_t>(got);
    }
    GUID guid;
    static_assert(sizeof(guid) == sizeof(bytes));
    std::memcpy(&guid, bytes, sizeof(guid));
    guid.Data3 = static_cast<WORD>((guid.Data3 & 0x0FFF) | 0x4000);   // version 4: random
    guid.Data4[0] = static_cast<BYTE>((guid.Data4[0] & 0x3F) | 0x80); // RFC 4122 variant
    *pguid = guid;
    return S_OK;
}
