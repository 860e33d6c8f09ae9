#include "platform/Utf.h"

#include <cstdint>

namespace platform
{
namespace
{
constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at text[pos] and advances pos. An ill-formed sequence yields
// U+FFFD and advances past its maximal subpart: the lead byte and the continuation bytes
// that were still valid for it.
char32_t DecodeUtf8(std::string_view text, std::size_t& pos)
{
    const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t lead = byte(pos++);
    if (lead < 0x80)
        return lead;

    int length = 0;
    char32_t cp = 0;
    uint8_t low = 0x80;  // the allowed range of the second byte, which rules out
    uint8_t high = 0xBF; // overlong forms, surrogates and values above U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        length = 2;
        cp = lead & 0x1F;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        length = 3;
        cp = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        length = 4;
        cp = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    }
    else
        return kReplacement;

    for (int i = 1; i < length; ++i)
    {
        if (pos >= text.size())
            return kReplacement;
        const uint8_t next = byte(pos);
        if (next < low || next > high)
            return kReplacement;
        cp = (cp << 6) | (next & 0x3F);
        ++pos;
        low = 0x80;
        high = 0xBF;
    }
    return cp;
}

void AppendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80)
        out += static_cast<char>(cp);
    else if (cp < 0x800)
    {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else if (cp < 0x10000)
    {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    else
    {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

bool IsHighSurrogate(char16_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool IsLowSurrogate(char16_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}
} // namespace

std::u16string Utf8ToUtf16(std::string_view utf8)
{
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t pos = 0;
    while (pos < utf8.size())
    {
        const char32_t cp = DecodeUtf8(utf8, pos);
        if (cp < 0x10000)
            out += static_cast<char16_t>(cp);
        else
        {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16)
{
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i)
    {
        const char16_t unit = utf16[i];
        if (IsHighSurrogate(unit) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1]))
        {
            const char32_t cp =
                0x10000 + ((char32_t(unit) - 0xD800) << 10) + (char32_t(utf16[i + 1]) - 0xDC00);
            AppendUtf8(out, cp);
            ++i;
        }
        else if (IsHighSurrogate(unit) || IsLowSurrogate(unit))
            AppendUtf8(out, kReplacement);
        else
            AppendUtf8(out, unit);
    }
    return out;
}
} // namespace platform
