#include "engine/ReportError.h"

#include "ovradio/RadioEngineIds.h"
#include "platform/Utf.h"
#include "platform/com/ComPtr.h"

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
} // namespace

HRESULT ReportError(const CRadEngException& e)
{
    std::u16string strDescription = platform::Utf8ToUtf16(e.GetText());
    ICreateErrorInfo* pRawCreate = nullptr;
    if (FAILED(CreateErrorInfo(&pRawCreate)) || !pRawCreate)
        return DISP_E_EXCEPTION;
    auto pCreate = platform::com::ComPtr<ICreateErrorInfo>::Adopt(pRawCreate);
    std::u16string strSource = EngineProgId();
    std::u16string strHelpFile;
    pCreate->SetGUID(GUID_NULL);
    pCreate->SetSource(strSource.data());
    if (e.code != 0)
    {
        pCreate->SetHelpContext(static_cast<DWORD>(e.code));
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
    return DISP_E_EXCEPTION;
}
