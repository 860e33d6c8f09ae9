#include "PreferencesFile.h"

#include "platform/AsciiText.h"
#include "platform/RuntimeFolder.h"
#include "platform/StoredFile.h"

#include <algorithm>

namespace hostlibs
{
namespace
{
std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() &&
           (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

SPrefSection* FindSection(std::vector<SPrefSection>& sections, const std::string& strName)
{
    for (SPrefSection& section : sections)
        if (platform::EqualsNoCase(section.name, strName))
            return &section;
    return nullptr;
}
} // namespace

std::string PreferencesFilePath()
{
    return platform::RuntimeFolder() + "/preferences.ini";
}

std::vector<SPrefSection> ParsePreferences(const std::string& strText)
{
    std::vector<SPrefSection> sections;
    SPrefSection* pCurrent = nullptr;
    std::size_t nStart = 0;
    while (nStart < strText.size())
    {
        std::size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = strText.size();
        std::string_view raw = std::string_view(strText).substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        if (!raw.empty() && raw.back() == '\r')
            raw.remove_suffix(1);
        std::string_view line = Trimmed(raw);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[' && line.back() == ']')
        {
            std::string strName(Trimmed(line.substr(1, line.size() - 2)));
            pCurrent = FindSection(sections, strName);
            if (!pCurrent)
            {
                sections.push_back({strName, {}});
                pCurrent = &sections.back();
            }
            continue;
        }
        // The value is the text after '=' as stored, blanks included.
        std::size_t nEquals = raw.find('=');
        if (nEquals == std::string_view::npos || !pCurrent)
            continue;
        std::string strKey(Trimmed(raw.substr(0, nEquals)));
        std::string strValue(raw.substr(nEquals + 1));
        auto& keys = pCurrent->keys;
        auto it = std::find_if(keys.begin(), keys.end(), [&](const auto& entry) {
            return platform::EqualsNoCase(entry.first, strKey);
        });
        if (it == keys.end())
            keys.emplace_back(strKey, strValue);
    }
    return sections;
}

std::string SerializePreferences(const std::vector<SPrefSection>& sections)
{
    std::string strText;
    for (const SPrefSection& section : sections)
    {
        if (!strText.empty())
            strText += '\n';
        strText += "[" + section.name + "]\n";
        for (const auto& [strKey, strValue] : section.keys)
            strText += strKey + "=" + strValue + "\n";
    }
    return strText;
}

std::optional<std::string> ReadPreference(const std::string& strSection,
                                          const std::string& strKey)
{
    auto sections = ParsePreferences(platform::ReadStoredFile(PreferencesFilePath()));
    SPrefSection* pSection = FindSection(sections, strSection);
    if (!pSection)
        return std::nullopt;
    for (const auto& [strName, strValue] : pSection->keys)
        if (platform::EqualsNoCase(strName, strKey))
            return strValue;
    return std::nullopt;
}

bool WritePreference(const std::string& strSection, const std::string& strKey,
                     const std::optional<std::string>& value)
{
    const std::string strPath = PreferencesFilePath();
    platform::StoredFileLock lock(strPath);
    const std::string strOriginal = platform::ReadStoredFile(strPath);
    auto sections = ParsePreferences(strOriginal);
    SPrefSection* pSection = FindSection(sections, strSection);
    if (!pSection)
    {
        if (!value)
            return false;
        sections.push_back({strSection, {}});
        pSection = &sections.back();
    }
    auto& keys = pSection->keys;
    auto it = std::find_if(keys.begin(), keys.end(), [&](const auto& entry) {
        return platform::EqualsNoCase(entry.first, strKey);
    });
    if (!value)
    {
        if (it == keys.end())
            return false;
        keys.erase(it);
    }
    else if (it == keys.end())
        keys.emplace_back(strKey, *value);
    else
        it->second = *value;
    std::string strText = SerializePreferences(sections);
    if (strText != strOriginal)
        platform::ReplaceStoredFile(strPath, strText);
    return true;
}
} // namespace hostlibs
