#include "platform/TerminalText.h"

namespace platform
{
namespace
{
constexpr char kReplacement = '?';

bool IsContinuation(unsigned char c)
{
    return (c & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence of two to four bytes at the front of the
// text, and its code point; 0 when there is none (overlong forms, surrogates and values
// above U+10FFFF are not well formed).
std::size_t SequenceAt(std::string_view text, char32_t& codePoint)
{
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t nLength = 0;
    char32_t minimum = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
    {
        nLength = 2;
        codePoint = lead & 0x1F;
        minimum = 0x80;
    }
    else if (lead >= 0xE0 && lead <= 0xEF)
    {
        nLength = 3;
        codePoint = lead & 0x0F;
        minimum = 0x800;
    }
    else if (lead >= 0xF0 && lead <= 0xF4)
    {
        nLength = 4;
        codePoint = lead & 0x07;
        minimum = 0x10000;
    }
    if (nLength == 0 || text.size() < nLength)
        return 0;
    for (std::size_t i = 1; i < nLength; ++i)
    {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!IsContinuation(c))
            return 0;
        codePoint = (codePoint << 6) | (c & 0x3F);
    }
    if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
        return 0;
    return nLength;
}
} // namespace

std::string TerminalSafe(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    while (!text.empty())
    {
        const auto c = static_cast<unsigned char>(text[0]);
        if (c < 0x80)
        {
            out += (c < 0x20 || c == 0x7F) ? kReplacement : text[0];
            text.remove_prefix(1);
            continue;
        }
        char32_t codePoint = 0;
        const std::size_t nLength = SequenceAt(text, codePoint);
        if (nLength == 0)
        {
            out += kReplacement;
            text.remove_prefix(1);
            continue;
        }
        if (codePoint <= 0x9F)
            out += kReplacement;
        else
            out.append(text.substr(0, nLength));
        text.remove_prefix(nLength);
    }
    return out;
}
} // namespace platform
