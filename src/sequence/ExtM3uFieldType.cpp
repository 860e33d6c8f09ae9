#include "sequence/ExtM3uFieldType.h"

#include "platform/AsciiText.h"
#include "platform/Convert.h"
#include "platform/DebugOutput.h"
#include "sequence/ExtM3uBoolFieldType.h"
#include "sequence/ExtM3uNonZeroLongFieldType.h"
#include "sequence/ExtM3uUrlFieldType.h"

#include <cstring>
#include <new>

namespace
{
// The value with leading and trailing spaces (only the space character) removed.
std::string_view TrimSpaces(std::string_view text)
{
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return {};
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}
} // namespace

CExtM3uFieldType::CExtM3uFieldType(const char* text)
    : CExtM3uFieldType(text ? std::string_view(text) : std::string_view())
{
}

CExtM3uFieldType::CExtM3uFieldType(std::string_view text) : m_text(text)
{
    try
    {
        m_strLower.resize(text.size());
        for (std::size_t i = 0; i < text.size(); ++i)
            m_strLower[i] = platform::AsciiLower(text[i]);
    }
    catch (const std::bad_alloc&)
    {
        // Without the copy no key can be matched: every key reads as absent.
        platform::DebugOutput("CExtM3uFieldType::<constructor> mem alloc error.\n");
        platform::DebugOutput("Could not make lower case copy of TrackInfo\n");
        m_text = {};
        m_strLower.clear();
    }
}

bool CExtM3uFieldType::PlainLookup(const std::string& key, std::string& value) const
{
    if (key.empty())
        return false;
    const std::size_t keyAt = m_strLower.find(key);
    if (keyAt == std::string::npos)
        return false;
    const std::size_t valueAt = keyAt + key.size();
    const std::string_view delimiter =
        m_strDelimiter.empty() ? std::string_view("::") : std::string_view(m_strDelimiter);
    const std::size_t endAt = m_strLower.find(delimiter, valueAt);
    if (endAt == std::string::npos)
        return false;
    value.assign(m_text.substr(valueAt, endAt - valueAt));
    return true;
}

bool CExtM3uStringFieldType::GetString(const std::string& key, std::string& value)
{
    return PlainLookup(key, value);
}

bool CExtM3uUrlFieldType::GetString(const std::string& key, std::string& value)
{
    if (!PlainLookup(key, value))
        return false;
    return platform::StartsWithNoCase(value, "http://") ||
           platform::StartsWithNoCase(value, "http:\\\\");
}

bool CExtM3uLongFieldType::GetString(const std::string& key, std::string& value)
{
    return PlainLookup(key, value);
}

bool CExtM3uLongFieldType::GetLong(const std::string& key, LONG& value)
{
    std::string text;
    const bool found = GetString(key, text);
    if (text.empty())
        return false;
    value = platform::StrToLong(std::string_view(text));
    if (value == 0 && TrimSpaces(text) != "0")
        return false;
    return found;
}

bool CExtM3uNonZeroLongFieldType::GetString(const std::string& key, std::string& value)
{
    return PlainLookup(key, value) && platform::StrToLong(std::string_view(value)) != 0;
}

bool CExtM3uBoolFieldType::GetString(const std::string& key, std::string& value)
{
    if (!PlainLookup(key, value))
        return false;
    const LONG n = platform::StrToLong(std::string_view(value));
    return n == 0 || n == 1;
}
