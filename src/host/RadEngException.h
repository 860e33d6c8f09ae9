// The engine's exception: a numeric code for the host and the journal line of the
// raise site. Thrown by value with RADENG_THROW, caught by reference; the engine object
// turns it into COM error information (ReportError).
#pragma once
#include "host/JournalException.h"

#include <string>

class CRadEngException : public CJournalException
{
public:
    CRadEngException(const std::string& strFile, int nLine, const std::string& strMessage,
                     int nCode);
    ~CRadEngException() override;

    int code;
    std::string message;
};

namespace host
{
// The source file's name without its folders: the journal names the unit, not the
// build machine's paths.
constexpr const char* SourceUnitName(const char* pszPath)
{
    const char* pszName = pszPath;
    for (const char* p = pszPath; *p; ++p)
        if (*p == '/')
            pszName = p + 1;
    return pszName;
}
} // namespace host

#define RADENG_THROW(message, code)                                                            \
    throw CRadEngException(host::SourceUnitName(__FILE__), __LINE__, (message), (code))
