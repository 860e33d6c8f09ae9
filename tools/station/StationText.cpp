#include "StationText.h"

#include "host/Md5.h"

namespace station
{
namespace
{
int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string Md5Prefix(std::string_view bytes, std::size_t length)
{
    if (length > 32)
        return {};
    return host::Md5Hex(bytes).substr(0, length);
}
} // namespace

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
            const int digit = HexValue(plus[j]);
            if (digit < 0)
                break;
            value = value * 16 + digit;
        }
        out += static_cast<char>(value);
        i = std::min(i + 2, plus.size() - 1);
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

std::string SequenceLogValue(std::string_view uid, uint32_t hours)
{
    return host::Md5Hex(std::string(uid) + std::to_string(hours) +
                        "Harbor Lantern Quill Meadow Signal");
}

std::string MagicDigits(std::string_view decodedValue, std::string_view uid, std::size_t length)
{
    return Md5Prefix(std::string(decodedValue) + std::string(uid), length);
}

std::string RetryToken(std::string_view address, std::string_view uid, uint32_t offset)
{
    const std::string decoded = FormDecode(address);
    const std::size_t magic = decoded.find("MAGIC=");
    if (magic == std::string::npos)
        return {};
    const std::size_t start = magic + 6;
    const std::size_t end = decoded.find('&', start);
    std::string value =
        decoded.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (value.find('%') != std::string::npos)
        value = FormDecode(value);
    return Md5Prefix(
        std::string(uid) + value + std::to_string(offset) + "-" + "Tuner Link Repair Note", 7);
}

std::string UidFromOvuid(std::string_view rawValue)
{
    const std::string decoded = FormDecode(rawValue);
    const std::size_t colon = decoded.rfind(':');
    return colon == std::string::npos ? decoded : decoded.substr(colon + 1);
}
} // namespace station
