#include "PreferencesFile.h"

#include "platform/AsciiText.h"
#include "platform/RuntimeFolder.h"
#include "platform/StoredFile.h"

#include <memory>
#include <string_view>
#include <vector>

namespace hostlibs
{
namespace
{
std::string_view Trimmed(std::string_view text)
{
    return platform::TrimAscii(text, " \t\r");
}

// One line of the file as the reader sees it. Its text excludes the line feed; a carriage
// return before it stays in the text and is kept when the line is rewritten.
struct SLine
{
    std::size_t nStart = 0; // offset of the line in the file
    std::size_t nEnd = 0;   // offset of its line feed, or the file's end
    enum class EKind
    {
        eOther, // blank, comment, or neither section nor key
        eSection,
        eKey
    } kind = EKind::eOther;
    std::string strName;     // the section's or the key's name, trimmed
    std::size_t nEquals = 0; // a key line's '=' (offset in the file)
    std::string strSection;  // the section a key line belongs to
};

// pSection: the section the line lies in; null before the first section line.
SLine Classify(std::string_view text, std::size_t nStart, std::size_t nEnd,
               const std::string* pSection)
{
    SLine line;
    line.nStart = nStart;
    line.nEnd = nEnd;
    std::string_view raw = text.substr(nStart, nEnd - nStart);
    if (!raw.empty() && raw.back() == '\r')
        raw.remove_suffix(1);
    const std::string_view trimmed = Trimmed(raw);
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#')
        return line;
    if (trimmed.front() == '[' && trimmed.back() == ']')
    {
        line.kind = SLine::EKind::eSection;
        line.strName = std::string(Trimmed(trimmed.substr(1, trimmed.size() - 2)));
        return line;
    }
    const std::size_t nEquals = raw.find('=');
    if (nEquals == std::string_view::npos || pSection == nullptr)
        return line;
    line.kind = SLine::EKind::eKey;
    line.strName = std::string(Trimmed(raw.substr(0, nEquals)));
    line.nEquals = nStart + nEquals;
    line.strSection = *pSection;
    return line;
}

std::vector<SLine> LinesOf(std::string_view text)
{
    std::vector<SLine> lines;
    std::optional<std::string> section;
    std::size_t nStart = 0;
    while (nStart < text.size())
    {
        std::size_t nEnd = text.find('\n', nStart);
        if (nEnd == std::string_view::npos)
            nEnd = text.size();
        lines.push_back(Classify(text, nStart, nEnd, section ? &*section : nullptr));
        if (lines.back().kind == SLine::EKind::eSection)
            section = lines.back().strName;
        nStart = nEnd + 1;
    }
    return lines;
}

bool IsKeyOf(const SLine& line, const std::string& strSection, const std::string& strKey)
{
    return line.kind == SLine::EKind::eKey && platform::EqualsNoCase(line.strSection, strSection) &&
           platform::EqualsNoCase(line.strName, strKey);
}

// The value as stored: the text after '=', blanks included, without a carriage return.
std::string ValueOf(std::string_view text, const SLine& line)
{
    std::string_view value = text.substr(line.nEquals + 1, line.nEnd - line.nEquals - 1);
    if (!value.empty() && value.back() == '\r')
        value.remove_suffix(1);
    return std::string(value);
}

// The line end the file uses: CR LF when its first line ends so.
std::string LineEndOf(std::string_view text)
{
    const std::size_t nFeed = text.find('\n');
    return nFeed != std::string_view::npos && nFeed > 0 && text[nFeed - 1] == '\r' ? "\r\n" : "\n";
}

std::string WithoutKey(const std::string& strText, const std::vector<SLine>& lines,
                       const std::string& strSection, const std::string& strKey)
{
    std::string out;
    std::size_t nCopied = 0;
    for (const SLine& line : lines)
    {
        if (!IsKeyOf(line, strSection, strKey))
            continue;
        out.append(strText, nCopied, line.nStart - nCopied);
        nCopied = std::min(line.nEnd + 1, strText.size());
    }
    out.append(strText, nCopied, std::string::npos);
    return out;
}

// A key the file does not have: after the last key line of the section's first block (or
// right after its header), or in a new section at the end of the file.
std::string WithNewKey(const std::string& strText, const std::vector<SLine>& lines,
                       const std::string& strSection, const std::string& strKey,
                       const std::string& strValue)
{
    const std::string strEnd = LineEndOf(strText);
    const std::string strEntry = strKey + "=" + strValue;
    const SLine* pAfter = nullptr;
    for (const SLine& line : lines)
    {
        if (line.kind == SLine::EKind::eSection)
        {
            if (pAfter != nullptr)
                break; // the first block of the section has ended
            if (platform::EqualsNoCase(line.strName, strSection))
                pAfter = &line;
        }
        else if (pAfter != nullptr && line.kind == SLine::EKind::eKey)
            pAfter = &line;
    }
    std::string out = strText;
    if (pAfter == nullptr)
    {
        if (!out.empty() && out.back() != '\n')
            out += strEnd;
        if (!out.empty())
            out += strEnd;
        return out + "[" + strSection + "]" + strEnd + strEntry + strEnd;
    }
    if (pAfter->nEnd == out.size())
        return out + strEnd + strEntry + strEnd;
    return out.insert(pAfter->nEnd + 1, strEntry + strEnd);
}

// The file's text as it is now. A start reads it a few dozen times; a file that has not
// changed for a while is read once.
std::shared_ptr<const std::string> CurrentText(const std::string& strPath)
{
    // Never destroyed: threads that outlive main may still read.
    static auto* cache = new platform::SettledFileCache<std::string>;
    return cache->Get(strPath, [](std::string strText) { return strText; });
}
} // namespace

std::string PreferencesFilePath()
{
    return platform::RuntimeFolder() + "/preferences.ini";
}

std::optional<std::string> FindPreference(const std::string& strText, const std::string& strSection,
                                          const std::string& strKey)
{
    for (const SLine& line : LinesOf(strText))
        if (IsKeyOf(line, strSection, strKey))
            return ValueOf(strText, line);
    return std::nullopt;
}

std::optional<std::string> ChangePreference(const std::string& strText,
                                            const std::string& strSection,
                                            const std::string& strKey,
                                            const std::optional<std::string>& value)
{
    const std::vector<SLine> lines = LinesOf(strText);
    const SLine* pFirst = nullptr;
    for (const SLine& line : lines)
        if (IsKeyOf(line, strSection, strKey))
        {
            pFirst = &line;
            break;
        }
    if (!value)
    {
        if (pFirst == nullptr)
            return std::nullopt;
        return WithoutKey(strText, lines, strSection, strKey);
    }
    if (pFirst == nullptr)
        return WithNewKey(strText, lines, strSection, strKey, *value);
    if (ValueOf(strText, *pFirst) == *value)
        return std::nullopt;
    // The key as written, '=' and blanks before the value stay; so does a CR line end.
    const std::size_t nValueStart = pFirst->nEquals + 1;
    std::size_t nValueEnd = pFirst->nEnd;
    if (nValueEnd > nValueStart && strText[nValueEnd - 1] == '\r')
        --nValueEnd;
    return std::string(strText).replace(nValueStart, nValueEnd - nValueStart, *value);
}

std::optional<std::string> ReadPreference(const std::string& strSection, const std::string& strKey)
{
    return FindPreference(*CurrentText(PreferencesFilePath()), strSection, strKey);
}

bool WritePreference(const std::string& strSection, const std::string& strKey,
                     const std::optional<std::string>& value)
{
    const std::string strPath = PreferencesFilePath();
    // A write of what the file holds already ends here, without the lock: a start that
    // only confirms its settings leaves the file and its lock file alone.
    if (!ChangePreference(*CurrentText(strPath), strSection, strKey, value))
        return value.has_value();
    platform::StoredFileLock lock(strPath);
    const std::string strOriginal = platform::ReadStoredFile(strPath);
    const std::optional<std::string> changed =
        ChangePreference(strOriginal, strSection, strKey, value);
    if (!changed)
        return value.has_value();
    platform::ReplaceStoredFile(strPath, *changed);
    return true;
}
} // namespace hostlibs
