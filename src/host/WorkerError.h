// The failure that worker code raises with its message text and that the operation or
// thread procedure owning the work catches, traces and turns into a result or status.
#pragma once

#include <stdexcept>
#include <string>

class CWorkerError : public std::runtime_error
{
public:
    explicit CWorkerError(const std::string& text) : std::runtime_error(text) {}
    explicit CWorkerError(const char* text) : std::runtime_error(text) {}
};
