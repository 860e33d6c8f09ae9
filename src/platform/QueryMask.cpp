#include "platform/QueryMask.h"

#include "platform/AsciiText.h"

namespace platform
{
namespace
{
constexpr std::string_view kMask = "***";

bool StartsField(std::string_view text, std::size_t nAt)
{
    if (nAt == 0)
        return true;
    const char before = text[nAt - 1];
    return before == '?' || before == '&' || before == ' ' || before == '\t';
}

bool EndsValue(char c)
{
    return c == '&' || c == ' ' || c == '\t' || c == '"' || c == '\'' || c == '\n' || c == '\r';
}

// The length of "NAME=" at the position when NAME is one of the names; 0 otherwise.
std::size_t FieldAt(std::string_view text, std::size_t nAt, std::span<const std::string_view> names)
{
    if (!StartsField(text, nAt))
        return 0;
    const std::string_view rest = text.substr(nAt);
    for (const std::string_view name : names)
        if (rest.size() > name.size() && rest[name.size()] == '=' && StartsWithNoCase(rest, name))
            return name.size() + 1;
    return 0;
}
} // namespace

std::string MaskQueryFields(std::string_view text, std::span<const std::string_view> names)
{
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size())
    {
        const std::size_t nField = FieldAt(text, i, names);
        if (nField == 0)
        {
            out += text[i++];
            continue;
        }
        out.append(text.substr(i, nField));
        i += nField;
        std::size_t nEnd = i;
        while (nEnd < text.size() && !EndsValue(text[nEnd]))
            ++nEnd;
        if (nEnd > i)
            out.append(kMask);
        i = nEnd;
    }
    return out;
}
} // namespace platform
