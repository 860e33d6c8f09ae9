// The preferences library's entry points. Every one returns 0 on success or a Windows
// error number: 2 absent key (PrefQueryValue, PrefDelete), 13 a stored value that is
// not a number, 87 bad arguments, 234 a buffer too small, 29/30 the file could not be
// written/read.
#include "hostlibs/Preferences.h"

#include "PreferencesFile.h"
#include "platform/AsciiText.h"
#include "platform/DebugOutput.h"
#include "platform/RuntimeFolder.h"
#include "platform/StoredFile.h"

#include <cstring>
#include <optional>
#include <string>

namespace
{
constexpr std::int32_t ERROR_FILE_NOT_FOUND = 2;
constexpr std::int32_t ERROR_INVALID_DATA = 13;
constexpr std::int32_t ERROR_WRITE_FAULT = 29;
constexpr std::int32_t ERROR_READ_FAULT = 30;
constexpr std::int32_t ERROR_INVALID_PARAMETER = 87;
constexpr std::int32_t ERROR_MORE_DATA = 234;

// Names end at a line end and may not hold what the file format uses.
bool ValidName(const char* pszName, const char* pszForbidden)
{
    return pszName && *pszName && std::strpbrk(pszName, "\r\n") == nullptr &&
           std::strpbrk(pszName, pszForbidden) == nullptr;
}

bool ValidAddress(const char* pszSection, const char* pszKey)
{
    return ValidName(pszSection, "[]") && ValidName(pszKey, "=");
}

void Report(const std::string& strProblem)
{
    platform::DebugOutput("Preferences - " + hostlibs::PreferencesFilePath() + ": " +
                          strProblem + "\n");
}

// The stored value, with the host application folder's default; nothing when absent.
// Throws platform::StoredFileError.
std::optional<std::string> Lookup(const char* pszSection, const char* pszKey)
{
    std::optional<std::string> value = hostlibs::ReadPreference(pszSection, pszKey);
    if (!value && platform::EqualsNoCase(pszSection, "MainApp") &&
        platform::EqualsNoCase(pszKey, "AppPath"))
        value = platform::RuntimeFolder();
    return value;
}

std::optional<std::uint32_t> ParseUInt32(const std::string& strText)
{
    if (strText.empty() || strText.size() > 10)
        return std::nullopt;
    std::uint64_t nValue = 0;
    for (char c : strText)
    {
        if (c < '0' || c > '9')
            return std::nullopt;
        nValue = nValue * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (nValue > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<std::uint32_t>(nValue);
}

std::int32_t CopyString(const std::string& strValue, void* pBuffer, std::uint32_t* pSize)
{
    auto nNeeded = static_cast<std::uint32_t>(strValue.size() + 1);
    if (*pSize < nNeeded)
    {
        *pSize = nNeeded;
        return ERROR_MORE_DATA;
    }
    std::memcpy(pBuffer, strValue.c_str(), nNeeded);
    *pSize = nNeeded;
    return 0;
}

std::int32_t Store(const char* pszSection, const char* pszKey,
                   const std::optional<std::string>& value)
{
    try
    {
        return hostlibs::WritePreference(pszSection, pszKey, value) ? 0 : ERROR_FILE_NOT_FOUND;
    }
    catch (const platform::StoredFileError& e)
    {
        Report(e.what());
        return ERROR_WRITE_FAULT;
    }
}
} // namespace

extern "C"
{
    __attribute__((visibility("default"))) std::int32_t
    PrefSetValue(const char* section, const char* key, std::uint32_t type, const void* data,
                 std::uint32_t size)
    {
        if (!ValidAddress(section, key) || (!data && size))
            return ERROR_INVALID_PARAMETER;
        const char* pszData = static_cast<const char*>(data);
        if (type == hostlibs::kPrefTypeString)
        {
            std::string strValue(pszData, size ? ::strnlen(pszData, size) : 0);
            if (strValue.find_first_of("\r\n") != std::string::npos)
                return ERROR_INVALID_PARAMETER;
            return Store(section, key, strValue);
        }
        if (type == hostlibs::kPrefTypeUInt32 && size == sizeof(std::uint32_t))
        {
            std::uint32_t nValue;
            std::memcpy(&nValue, data, sizeof(nValue));
            return Store(section, key, std::to_string(nValue));
        }
        return ERROR_INVALID_PARAMETER;
    }

    __attribute__((visibility("default"))) std::int32_t
    PrefSetValueUINT32(const char* section, const char* key, std::uint32_t value)
    {
        if (!ValidAddress(section, key))
            return ERROR_INVALID_PARAMETER;
        return Store(section, key, std::to_string(value));
    }

    __attribute__((visibility("default"))) std::int32_t
    PrefQueryValue(const char* section, const char* key, std::uint32_t* type, void* buffer,
                   std::uint32_t* size)
    {
        if (!ValidAddress(section, key) || !type || !size || (!buffer && *size))
            return ERROR_INVALID_PARAMETER;
        try
        {
            std::optional<std::string> value = Lookup(section, key);
            if (!value)
                return ERROR_FILE_NOT_FOUND;
            if (*type == hostlibs::kPrefTypeUInt32)
            {
                std::optional<std::uint32_t> number = ParseUInt32(*value);
                if (!number)
                    return ERROR_INVALID_DATA;
                if (*size < sizeof(std::uint32_t))
                {
                    *size = sizeof(std::uint32_t);
                    return ERROR_MORE_DATA;
                }
                std::memcpy(buffer, &*number, sizeof(std::uint32_t));
                *size = sizeof(std::uint32_t);
                return 0;
            }
            *type = hostlibs::kPrefTypeString;
            return CopyString(*value, buffer, size);
        }
        catch (const platform::StoredFileError& e)
        {
            Report(e.what());
            return ERROR_READ_FAULT;
        }
    }

    __attribute__((visibility("default"))) std::int32_t PrefDelete(const char* section,
                                                                   const char* key)
    {
        if (!ValidAddress(section, key))
            return ERROR_INVALID_PARAMETER;
        return Store(section, key, std::nullopt);
    }

    __attribute__((visibility("default"))) std::int32_t
    PrefEasySafeQueryString(const char* section, const char* key, char* buffer,
                            std::uint32_t* size)
    {
        if (!ValidAddress(section, key) || !buffer || !size)
            return ERROR_INVALID_PARAMETER;
        try
        {
            std::optional<std::string> value = Lookup(section, key);
            if (!value)
                return 0;
            return CopyString(*value, buffer, size);
        }
        catch (const platform::StoredFileError& e)
        {
            Report(e.what());
            return ERROR_READ_FAULT;
        }
    }

    __attribute__((visibility("default"))) std::int32_t
    PrefEasySafeQueryUINT32(const char* section, const char* key, std::uint32_t* value)
    {
        if (!ValidAddress(section, key) || !value)
            return ERROR_INVALID_PARAMETER;
        try
        {
            std::optional<std::string> stored = Lookup(section, key);
            if (!stored)
                return 0;
            std::optional<std::uint32_t> number = ParseUInt32(*stored);
            if (!number)
                return ERROR_INVALID_DATA;
            *value = *number;
            return 0;
        }
        catch (const platform::StoredFileError& e)
        {
            Report(e.what());
            return ERROR_READ_FAULT;
        }
    }
}
