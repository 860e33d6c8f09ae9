// A COM failure as the engine shows it to the user: the HRESULT and its message text,
// in a message box titled "Error". Used where an XML document operation fails.
#pragma once
#include "platform/Types.h"

#include <string>

namespace host
{
class CComError
{
public:
    explicit CComError(HRESULT hr) : m_hr(hr) {}
    HRESULT Error() const { return m_hr; }
    // The system's text for the code without a trailing line end; for codes it has no
    // text for, "IDispatch error #n" (0x80040200 to 0x8004FFFF) or "Unknown error 0x...".
    std::string ErrorMessage() const;

private:
    HRESULT m_hr;
};
} // namespace host

void ShowComError(const host::CComError& err);
