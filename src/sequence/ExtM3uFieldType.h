// Readers of `key=value` fields in `::`-delimited or line-delimited text: track lines,
// the sequence header, the host's user information and cache file headers. A reader
// keeps a pointer to the caller's text (which must outlive it) and a lower-case copy to
// match keys in: keys are found without regard to case, anywhere, first occurrence wins;
// values keep their case. A value counts only when the delimiter follows it.
// Readers never read outside the text they were given, whatever it holds.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class CExtM3uFieldType
{
public:
    explicit CExtM3uFieldType(const char* text);
    // The text as a view: it may hold NUL bytes, which are then part of the text.
    explicit CExtM3uFieldType(std::string_view text);
    CExtM3uFieldType(const CExtM3uFieldType&) = delete;
    CExtM3uFieldType& operator=(const CExtM3uFieldType&) = delete;

    // key in lower case with its punctuation ("::trackid=", "status_code=").
    virtual bool GetString(const std::string& key, std::string& value) = 0;

    // An empty delimiter means "::".
    void SetDelimiter(std::string delimiter) { m_strDelimiter = std::move(delimiter); }

protected:
    ~CExtM3uFieldType() = default;
    bool PlainLookup(const std::string& key, std::string& value) const;

private:
    std::string_view m_text;
    std::string m_strLower;
    std::string m_strDelimiter;
};
