#include "PlayError.h"

#include "platform/com/BStr.h"
#include "platform/com/ComPtr.h"

#include <cstdio>

CPlayError::CPlayError(const std::string& strCall, HRESULT hr)
    : std::runtime_error(strCall), m_hr(hr)
{
    platform::com::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Out()) != S_OK || !info)
        return;
    m_bErrorInfo = true;
    info->GetHelpContext(&m_dwHelpContext);
    platform::com::BStr description;
    if (SUCCEEDED(info->GetDescription(description.Out())))
        m_strDescription = description.ToUtf8();
    // The engine's journal texts may end in a line feed.
    while (!m_strDescription.empty() &&
           (m_strDescription.back() == '\n' || m_strDescription.back() == '\r'))
        m_strDescription.pop_back();
}

std::string CPlayError::Text() const
{
    if (m_hr == S_OK)
        return m_strMeaning.empty() ? what() : std::string(what()) + ": " + m_strMeaning;
    char hresult[16];
    std::snprintf(hresult, sizeof(hresult), "0x%08X", static_cast<unsigned>(m_hr));
    std::string text = std::string(what()) + " failed: HRESULT " + hresult;
    if (m_bErrorInfo)
        text += ", help context " + std::to_string(m_dwHelpContext) +
                ", description: " + m_strDescription;
    if (!m_strMeaning.empty())
        text += " (" + m_strMeaning + ")";
    return text;
}
