// A client's side of the station's content addresses, computed from the published
// rules rather than with the station's helpers: the form decoding of an address and the
// digits that replace its MAGIC= placeholder for an identifier, and the RETRY= token of a
// resumed request.
#pragma once

#include "host/Md5.h"

#include <cstdint>
#include <string>

namespace testsupport
{
inline std::string Decode(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
    {
        if (text[i] == '+')
            out += ' ';
        else if (text[i] == '%' && i + 2 < text.size())
        {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        }
        else
            out += text[i];
    }
    return out;
}

// Replaces the MAGIC= placeholder with the digits signed for `uid`.
inline std::string Sign(const std::string& url, const std::string& uid)
{
    const std::size_t start = url.find("MAGIC=") + 6;
    const std::size_t end = url.find('&', start);
    const std::string value = url.substr(start, end - start);
    const std::size_t first = value.find("%3a") + 3;
    const std::size_t length = value.find("%3a", first) - first;
    const std::string digits = host::Md5Hex(Decode(value) + uid).substr(0, length);
    return url.substr(0, start + first) + digits + url.substr(start + first + length);
}

// The 7-digit RETRY= token of a signed address resumed at `offset`: MD5 over the
// identifier, the decoded MAGIC= value, "<offset>-" and the fixed phrase. Empty for an
// address without MAGIC=.
inline std::string RetryToken(const std::string& signedUrl, const std::string& uid, uint64_t offset)
{
    const std::string decoded = Decode(signedUrl);
    const std::size_t magic = decoded.find("MAGIC=");
    if (magic == std::string::npos)
        return {};
    const std::size_t start = magic + 6;
    std::string value = decoded.substr(start, decoded.find('&', start) - start);
    if (value.find('%') != std::string::npos)
        value = Decode(value);
    return host::Md5Hex(uid + value + std::to_string(offset) + "-" + "Tuner Link Repair Note")
        .substr(0, 7);
}
} // namespace testsupport
