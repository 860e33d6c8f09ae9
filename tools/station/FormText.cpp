#include "FormText.h"

#include "platform/AsciiText.h"

#include <algorithm>
#include <cstdio>

namespace station
{
std::string FormDecode(std::string_view text)
{
    std::string plus(text);
    for (char& c : plus)
        if (c == '+')
            c = ' ';
    std::string out;
    for (std::size_t i = 0; i < plus.size(); ++i)
    {
        if (plus[i] != '%')
        {
            out += plus[i];
            continue;
        }
        // Two characters follow (or what remains); reading stops at the first non-hex one.
        int value = 0;
        std::size_t j = i + 1;
        for (; j < plus.size() && j < i + 3; ++j)
        {
            const int digit = platform::AsciiHexValue(plus[j]);
            if (digit < 0)
                break;
            value = value * 16 + digit;
        }
        out += static_cast<char>(value);
        i = std::min(i + 2, plus.size() - 1);
    }
    return out;
}

std::string FormEncode(std::string_view text)
{
    std::string out;
    for (const char ch : text)
    {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            out += ch;
        else if (c == ' ')
            out += '+';
        else
        {
            char escape[4];
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            out += escape;
        }
    }
    return out;
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view key)
{
    std::size_t start = 0;
    while (start <= query.size())
    {
        std::size_t end = query.find('&', start);
        if (end == std::string_view::npos)
            end = query.size();
        const std::string_view pair = query.substr(start, end - start);
        if (pair.size() > key.size() && pair.substr(0, key.size()) == key &&
            pair[key.size()] == '=')
            return std::string(pair.substr(key.size() + 1));
        if (pair == key)
            return std::string();
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<uint64_t> Decimal(std::string_view text, std::size_t maxDigits)
{
    if (text.empty() || text.size() > maxDigits ||
        text.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    uint64_t value = 0;
    for (const char c : text)
        value = value * 10 + static_cast<uint64_t>(c - '0');
    return value;
}

std::string UidFromOvuid(std::string_view rawValue)
{
    const std::string decoded = FormDecode(rawValue);
    const std::size_t colon = decoded.rfind(':');
    return colon == std::string::npos ? decoded : decoded.substr(colon + 1);
}
} // namespace station
