#include "StationUri.h"

#include "platform/AsciiText.h"

#include <charconv>
#include <optional>
#include <string_view>

namespace
{
// `%` and two hexadecimal digits become that byte; nothing else changes (a `+` stays).
std::optional<std::string> PercentDecoded(std::string_view text)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] != '%')
        {
            decoded += text[i];
            continue;
        }
        const int nHigh = i + 1 < text.size() ? platform::AsciiHexValue(text[i + 1]) : -1;
        const int nLow = i + 2 < text.size() ? platform::AsciiHexValue(text[i + 2]) : -1;
        if (nHigh < 0 || nLow < 0)
            return std::nullopt;
        decoded += static_cast<char>(nHigh * 16 + nLow);
        i += 2;
    }
    return decoded;
}

// Everything but the unreserved characters of an address is encoded.
std::string PercentEncoded(const std::string& text)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const unsigned char c : text)
    {
        const bool bUnreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                                 (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                                 c == '~';
        if (bUnreserved)
            encoded += static_cast<char>(c);
        else
        {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 15];
        }
    }
    return encoded;
}

} // namespace

std::string ReadStationUri(const std::string& strUri, SSessionSettings& settings)
{
    const std::string_view uri(strUri);
    if (!platform::StartsWithNoCase(uri, std::string(kStationUriScheme) + "://"))
        return "an ovradio address starts with ovradio://";
    std::string_view rest = uri.substr(std::string_view(kStationUriScheme).size() + 3);
    const std::size_t nQuery = rest.find('?');
    const std::optional<std::string> station = PercentDecoded(rest.substr(0, nQuery));
    if (!station)
        return "the station id has a % without two hexadecimal digits after it";
    if (station->empty())
        return "the address names no station (ovradio://STATION)";

    SSessionSettings read = settings;
    read.strStation = *station;
    read.strName.clear();
    read.nMaxTracks = 0;
    std::string_view query =
        nQuery == std::string_view::npos ? std::string_view() : rest.substr(nQuery + 1);
    while (!query.empty())
    {
        const std::size_t nEnd = query.find('&');
        const std::string_view pair = query.substr(0, nEnd);
        query = nEnd == std::string_view::npos ? std::string_view() : query.substr(nEnd + 1);
        if (pair.empty())
            continue;
        const std::size_t nEquals = pair.find('=');
        const std::string_view key = pair.substr(0, nEquals);
        const std::optional<std::string> value = PercentDecoded(
            nEquals == std::string_view::npos ? std::string_view() : pair.substr(nEquals + 1));
        if (!value)
            return "the value of " + std::string(key) + " has a % without two hexadecimal digits";
        if (key == "name")
            read.strName = *value;
        else if (key == "max-tracks")
        {
            uint32_t n = 0;
            const char* pEnd = value->data() + value->size();
            const auto [pStop, error] = std::from_chars(value->data(), pEnd, n);
            if (value->empty() || error != std::errc() || pStop != pEnd)
                return "max-tracks takes a number of tracks (0: until the station ends), not \"" +
                       *value + "\"";
            read.nMaxTracks = n;
        }
        else
            return "unknown key \"" + std::string(key) + "\" (known: max-tracks, name)";
    }
    settings = read;
    return {};
}

std::string StationUri(const SSessionSettings& settings)
{
    // Built by appending: GCC 12 at -O3 reports a false overlap in chains of + on temporaries.
    std::string uri(kStationUriScheme);
    uri += "://";
    uri += PercentEncoded(settings.strStation);
    char chSeparator = '?';
    if (settings.nMaxTracks != 0)
    {
        uri += chSeparator;
        uri += "max-tracks=";
        uri += std::to_string(settings.nMaxTracks);
        chSeparator = '&';
    }
    if (!settings.strName.empty())
    {
        uri += chSeparator;
        uri += "name=";
        uri += PercentEncoded(settings.strName);
    }
    return uri;
}
