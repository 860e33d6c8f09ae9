// The failure that worker code raises with its message text and that the operation or
// thread procedure owning the work catches, traces and turns into a result or status.
// It may carry the system error code that caused it (an HTTP call's last error).
#pragma once

#include "platform/Types.h"

#include <stdexcept>
#include <string>

class CWorkerError : public std::runtime_error
{
public:
    explicit CWorkerError(const std::string& text, DWORD dwLastError = 0)
        : std::runtime_error(text), m_dwLastError(dwLastError)
    {
    }
    explicit CWorkerError(const char* text, DWORD dwLastError = 0)
        : std::runtime_error(text), m_dwLastError(dwLastError)
    {
    }

    // The error code that goes with the failure; 0 when there is none.
    DWORD LastError() const noexcept { return m_dwLastError; }

private:
    DWORD m_dwLastError;
};
