#include "engine/ReportError.h"

#include "ovradio/RadioEngineIds.h"
#include "platform/Utf.h"
#include "platform/com/ComPtr.h"

#include <new>

namespace
{
// The ProgID that the registry maps the engine's class to; the class's own ProgID when
// the class is not registered.
std::u16string EngineProgId()
{
    LPOLESTR pszProgId = nullptr;
    if (SUCCEEDED(ProgIDFromCLSID(CLSID_RadioEngineObj, &pszProgId)) && pszProgId)
    {
        std::u16string strProgId = pszProgId;
        CoTaskMemFree(pszProgId);
        return strProgId;
    }
    return platform::Utf8ToUtf16(OVRADIO_PROGID);
}

// Hands the thread error information from the engine's class with this description;
// a help context of 0 sets none.
void SetEngineErrorInfo(const std::string& strText, DWORD dwHelpContext)
{
    std::u16string strDescription = platform::Utf8ToUtf16(strText);
    ICreateErrorInfo* pRawCreate = nullptr;
    if (FAILED(CreateErrorInfo(&pRawCreate)) || !pRawCreate)
        return;
    auto pCreate = platform::com::ComPtr<ICreateErrorInfo>::Adopt(pRawCreate);
    std::u16string strSource = EngineProgId();
    std::u16string strHelpFile;
    pCreate->SetGUID(GUID_NULL);
    pCreate->SetSource(strSource.data());
    if (dwHelpContext != 0)
    {
        pCreate->SetHelpContext(dwHelpContext);
        pCreate->SetHelpFile(strHelpFile.data());
    }
    pCreate->SetDescription(strDescription.data());
    IErrorInfo* pRawInfo = nullptr;
    if (SUCCEEDED(pCreate->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&pRawInfo))) &&
        pRawInfo)
    {
        auto pInfo = platform::com::ComPtr<IErrorInfo>::Adopt(pRawInfo);
        SetErrorInfo(0, pInfo.Get());
    }
}
} // namespace

HRESULT ReportError(const CRadEngException& e) noexcept
{
    try
    {
        SetEngineErrorInfo(e.GetText(), static_cast<DWORD>(e.code));
    }
    catch (const std::bad_alloc&)
    {
    }
    return DISP_E_EXCEPTION;
}

HRESULT ReportFailure(const char* pszText, HRESULT hrResult) noexcept
{
    try
    {
        SetEngineErrorInfo(pszText ? pszText : "", 0);
    }
    catch (const std::bad_alloc&)
    {
    }
    return hrResult;
}
