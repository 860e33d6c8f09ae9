// The host's one error: what failed, and for a failed COM call its HRESULT with the error
// information the engine set (help context = the engine's error code, description = its
// journal text). Raised where a call fails and caught once where the host's run ends:
// ovradio-play's main prints it and exits with 1, the GStreamer element's engine thread
// hands it to the pipeline as an element error.
#pragma once

#include <ovradio/Com.h>
#include <stdexcept>
#include <string>

class CPlayError : public std::runtime_error
{
public:
    // A failure that is no COM call's.
    explicit CPlayError(const std::string& strWhat) : std::runtime_error(strWhat) {}
    // A failed call: takes the calling thread's error information, when there is any.
    CPlayError(const std::string& strCall, HRESULT hr);

    HRESULT Result() const { return m_hr; }
    bool HasErrorInfo() const { return m_bErrorInfo; }
    DWORD HelpContext() const { return m_dwHelpContext; }
    const std::string& Description() const { return m_strDescription; }
    // Says what the failure meant for the player, after the call's own error.
    void Explain(const std::string& strMeaning) { m_strMeaning = strMeaning; }
    // "<call> failed: HRESULT 0x80020009, help context 11, description: <text>", then the
    // meaning when there is one.
    std::string Text() const;

private:
    HRESULT m_hr = S_OK;
    bool m_bErrorInfo = false;
    DWORD m_dwHelpContext = 0;
    std::string m_strDescription;
    std::string m_strMeaning;
};

// Raises the call's failure; nothing for a success.
inline void Check(HRESULT hr, const char* pszCall)
{
    if (FAILED(hr))
        throw CPlayError(pszCall, hr);
}
