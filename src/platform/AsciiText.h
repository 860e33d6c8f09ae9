// ASCII text helpers. Letter case as the C library's tolower in the "C" locale: what
// Windows' case-insensitive names and the sequence texts' keys compare by (other bytes
// are themselves); hexadecimal digits; trimming of given bytes at the ends.
#pragma once

#include <string>
#include <string_view>

namespace platform
{
constexpr char AsciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiLowerCopy(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower)
        c = AsciiLower(c);
    return lower;
}

// The value of a hexadecimal digit (either case); -1 for any other byte.
constexpr int AsciiHexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    return true;
}

constexpr bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// The text without the given bytes (by default space and tab) at its end.
constexpr std::string_view TrimAsciiEnd(std::string_view text, std::string_view bytes = " \t")
{
    const std::size_t last = text.find_last_not_of(bytes);
    return last == std::string_view::npos ? std::string_view() : text.substr(0, last + 1);
}

// The text without the given bytes (by default space and tab) at either end.
constexpr std::string_view TrimAscii(std::string_view text, std::string_view bytes = " \t")
{
    const std::size_t first = text.find_first_not_of(bytes);
    return first == std::string_view::npos ? std::string_view()
                                           : TrimAsciiEnd(text.substr(first), bytes);
}
} // namespace platform
