#include "host/ComError.h"

#include "ovradio/Types.h"
#include "platform/Format.h"
#include "platform/MessageBox.h"

namespace
{
struct SSystemText
{
    DWORD dwCode;
    const char* pszText;
};

// The system texts of the codes the engine's document operations can meet.
constexpr SSystemText kSystemTexts[] = {
    {0x80004001, "Not implemented"},
    {0x80004002, "No such interface supported"},
    {0x80004003, "Invalid pointer"},
    {0x80004004, "Operation aborted"},
    {0x80004005, "Unspecified error"},
    {0x8000FFFF, "Catastrophic failure"},
    {0x80070005, "Access is denied."},
    {0x80070006, "The handle is invalid."},
    {0x8007000E, "Not enough storage is available to complete this operation."},
    {0x80070057, "The parameter is incorrect."},
    {0x80020009, "Exception occurred."},
    {0x80040154, "Class not registered"},
    {0x800401F3, "Invalid class string"},
};
} // namespace

namespace host
{
std::string CComError::ErrorMessage() const
{
    auto dwCode = static_cast<DWORD>(m_hr);
    for (const SSystemText& entry : kSystemTexts)
        if (entry.dwCode == dwCode)
            return entry.pszText;
    if (dwCode >= 0x80040200 && dwCode <= 0x8004FFFF)
        return platform::FormatText("IDispatch error #%d", static_cast<int>(dwCode - 0x80040200));
    return platform::FormatText("Unknown error 0x%0lX", dwCode);
}
} // namespace host

void ShowComError(const host::CComError& err)
{
    std::string strText = platform::FormatText("->>Error = %x (%s)\n",
                                               static_cast<DWORD>(err.Error()),
                                               err.ErrorMessage().c_str());
    platform::MessageBox(strText, "Error", platform::MB_OK);
}
