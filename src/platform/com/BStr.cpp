#include "platform/com/BStr.h"

#include "platform/Utf.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace
{
// A BSTR's block: the 4-byte byte length, the text, then one NUL character. The BSTR
// points just behind the length, where hosts written for Windows expect the text.
constexpr std::size_t kPrefixBytes = sizeof(uint32_t);
constexpr std::size_t kMaxBytes = std::numeric_limits<uint32_t>::max() - 2 * kPrefixBytes;

BSTR AllocBytes(const void* source, std::size_t bytes)
{
    if (bytes > kMaxBytes)
        return nullptr;
    // An odd byte length still ends in a whole NUL character, plus the byte before it.
    auto* block = static_cast<char*>(std::malloc(kPrefixBytes + bytes + sizeof(OLECHAR) + 1));
    if (block == nullptr)
        return nullptr;
    const uint32_t length = static_cast<uint32_t>(bytes);
    std::memcpy(block, &length, kPrefixBytes);
    char* text = block + kPrefixBytes;
    if (source != nullptr)
        std::memcpy(text, source, bytes);
    else
        std::memset(text, 0, bytes);
    std::memset(text + bytes, 0, sizeof(OLECHAR) + 1);
    return reinterpret_cast<BSTR>(text);
}

char* BlockOf(BSTR bstr)
{
    return reinterpret_cast<char*>(bstr) - kPrefixBytes;
}
} // namespace

extern "C" void* CoTaskMemAlloc(size_t cb)
{
    return std::malloc(cb == 0 ? 1 : cb);
}

extern "C" void* CoTaskMemRealloc(void* pv, size_t cb)
{
    return std::realloc(pv, cb == 0 ? 1 : cb);
}

extern "C" void CoTaskMemFree(void* pv)
{
    std::free(pv);
}

extern "C" BSTR SysAllocString(const OLECHAR* psz)
{
    if (psz == nullptr)
        return nullptr;
    const std::size_t length = std::char_traits<OLECHAR>::length(psz);
    if (length > kMaxBytes / sizeof(OLECHAR))
        return nullptr;
    return AllocBytes(psz, length * sizeof(OLECHAR));
}

extern "C" BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch)
{
    if (cch > kMaxBytes / sizeof(OLECHAR))
        return nullptr;
    return AllocBytes(pch, std::size_t(cch) * sizeof(OLECHAR));
}

extern "C" BSTR SysAllocStringByteLen(const char* psz, UINT cb)
{
    return AllocBytes(psz, cb);
}

extern "C" INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz)
{
    if (pbstr == nullptr)
        return FALSE;
    BSTR copy = SysAllocString(psz);
    if (copy == nullptr && psz != nullptr)
        return FALSE;
    SysFreeString(*pbstr);
    *pbstr = copy;
    return TRUE;
}

extern "C" void SysFreeString(BSTR bstr)
{
    if (bstr != nullptr)
        std::free(BlockOf(bstr));
}

extern "C" UINT SysStringByteLen(BSTR bstr)
{
    if (bstr == nullptr)
        return 0;
    uint32_t length = 0;
    std::memcpy(&length, BlockOf(bstr), kPrefixBytes);
    return length;
}

extern "C" UINT SysStringLen(BSTR bstr)
{
    return SysStringByteLen(bstr) / sizeof(OLECHAR);
}

namespace platform::com
{
BSTR AllocBStr(std::u16string_view utf16)
{
    if (utf16.size() > kMaxBytes / sizeof(OLECHAR))
        return nullptr;
    return AllocBytes(utf16.data(), utf16.size() * sizeof(OLECHAR));
}

BSTR AllocBStr(std::string_view utf8)
{
    return AllocBStr(std::u16string_view(Utf8ToUtf16(utf8)));
}

std::string BStrToUtf8(BSTR bstr)
{
    if (bstr == nullptr)
        return {};
    return Utf16ToUtf8(std::u16string_view(bstr, SysStringLen(bstr)));
}

std::string OleStrToUtf8(LPCOLESTR text)
{
    if (text == nullptr)
        return {};
    return Utf16ToUtf8(std::u16string_view(text));
}

LPOLESTR CoTaskMemDup(std::u16string_view text)
{
    auto* copy = static_cast<LPOLESTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(OLECHAR)));
    if (copy == nullptr)
        return nullptr;
    text.copy(copy, text.size());
    copy[text.size()] = u'\0';
    return copy;
}
} // namespace platform::com
