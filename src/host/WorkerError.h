// The failure that worker code raises with its message text and that the operation or
// thread procedure owning the work catches, traces and turns into a result or status.
// It may carry the system error code that caused it (an HTTP call's last error) and the
// reason a lower layer gave (the TLS library's, for a server that cannot be trusted).
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
    CWorkerError(const std::string& text, DWORD dwLastError, std::string strReason)
        : std::runtime_error(text), m_dwLastError(dwLastError), m_strReason(std::move(strReason))
    {
    }

    // The error code that goes with the failure; 0 when there is none.
    DWORD LastError() const noexcept { return m_dwLastError; }
    // The lower layer's reason; empty when there is none.
    const std::string& Reason() const noexcept { return m_strReason; }

private:
    DWORD m_dwLastError;
    std::string m_strReason;
};
