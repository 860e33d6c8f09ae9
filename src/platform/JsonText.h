// JSON string literals for the engine's line-oriented outputs (event log, tools): quotes,
// backslashes and control characters escaped; other bytes (UTF-8 included) as they are.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace platform
{
inline void AppendJsonString(std::string& out, std::string_view text)
{
    out += '"';
    for (const char ch : text)
    {
        const auto c = static_cast<unsigned char>(ch);
        switch (c)
        {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20)
            {
                char escape[8];
                std::snprintf(escape, sizeof(escape), "\\u%04x", c);
                out += escape;
            }
            else
                out += ch;
        }
    }
    out += '"';
}

inline std::string JsonString(std::string_view text)
{
    std::string out;
    AppendJsonString(out, text);
    return out;
}
} // namespace platform
