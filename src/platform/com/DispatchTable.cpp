#include "platform/com/DispatchTable.h"

#include "platform/AsciiText.h"
#include "platform/com/BStr.h"

#include <cstring>
#include <stdexcept>
#include <string>

namespace platform::com
{
namespace
{
bool IsParamType(VARTYPE vt)
{
    return vt == VT_I4 || vt == VT_INT || vt == VT_I8 || vt == VT_R8 || vt == VT_BOOL ||
           vt == VT_BSTR;
}

void Validate(const std::vector<DispMethod>& methods)
{
    for (std::size_t i = 0; i < methods.size(); ++i)
    {
        for (std::size_t j = 0; j < i; ++j)
        {
            if (methods[i].memid == methods[j].memid ||
                platform::EqualsNoCase(methods[i].name, methods[j].name))
                throw std::invalid_argument("dispatch table repeats " +
                                            std::string(methods[i].name));
        }
        for (const DispParam& param : methods[i].params)
        {
            if (!IsParamType(param.type))
                throw std::invalid_argument("dispatch table: unsupported type of " +
                                            std::string(methods[i].name));
        }
    }
}

// OLE's answer for a failed method: the result in scode and the texts of the thread's
// error information, which the call takes over (the thread's slot is left empty).
void FillException(HRESULT result, EXCEPINFO* info)
{
    std::memset(static_cast<void*>(info), 0, sizeof(*info));
    info->scode = result;
    IErrorInfo* error = nullptr;
    if (GetErrorInfo(0, &error) != S_OK || error == nullptr)
        return;
    error->GetSource(&info->bstrSource);
    error->GetDescription(&info->bstrDescription);
    error->GetHelpFile(&info->bstrHelpFile);
    error->GetHelpContext(&info->dwHelpContext);
    error->Release();
}
} // namespace

DispatchTableBase::DispatchTableBase(std::vector<DispMethod> methods)
    : m_methods(std::move(methods))
{
    Validate(m_methods);
}

const DispMethod* DispatchTableBase::FindMemid(DISPID memid) const
{
    for (const DispMethod& method : m_methods)
    {
        if (method.memid == memid)
            return &method;
    }
    return nullptr;
}

const DispMethod* DispatchTableBase::FindName(std::string_view name) const
{
    for (const DispMethod& method : m_methods)
    {
        if (platform::EqualsNoCase(method.name, name))
            return &method;
    }
    return nullptr;
}

HRESULT DispatchTableBase::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                         DISPID* rgDispId) const
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (rgszNames == nullptr || rgDispId == nullptr || cNames == 0)
        return E_INVALIDARG;
    const DispMethod* method = FindName(OleStrToUtf8(rgszNames[0]));
    rgDispId[0] = method != nullptr ? method->memid : DISPID_UNKNOWN;
    bool allKnown = method != nullptr;
    for (UINT n = 1; n < cNames; ++n)
    {
        rgDispId[n] = DISPID_UNKNOWN;
        if (method == nullptr)
            continue;
        const std::string name = OleStrToUtf8(rgszNames[n]);
        for (std::size_t p = 0; p < method->params.size(); ++p)
        {
            if (platform::EqualsNoCase(method->params[p].name, name))
                rgDispId[n] = static_cast<DISPID>(p);
        }
        allKnown = allKnown && rgDispId[n] != DISPID_UNKNOWN;
    }
    return allKnown ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT DispatchTableBase::GetTypeInfoCount(UINT* pctinfo)
{
    if (pctinfo == nullptr)
        return E_INVALIDARG;
    *pctinfo = 0;
    return S_OK;
}

HRESULT DispatchTableBase::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo)
{
    if (ppTInfo != nullptr)
        *ppTInfo = nullptr;
    return E_NOTIMPL;
}

HRESULT DispatchTableBase::InvokeWith(const Caller& call, DISPID dispIdMember, REFIID riid,
                                      WORD wFlags, DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                      EXCEPINFO* pExcepInfo, UINT* puArgErr) const
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    const DispMethod* method = FindMemid(dispIdMember);
    if (method == nullptr || (wFlags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) == 0)
        return DISP_E_MEMBERNOTFOUND;
    if (pDispParams == nullptr || (pDispParams->cArgs > 0 && pDispParams->rgvarg == nullptr))
        return E_INVALIDARG;
    if (pDispParams->cNamedArgs > 0)
        return DISP_E_NONAMEDARGS;
    if (pDispParams->cArgs != method->params.size())
        return DISP_E_BADPARAMCOUNT;

    DispArgs args;
    if (HRESULT hr = args.Bind(method->params, *pDispParams, puArgErr); FAILED(hr))
        return hr;
    if (pVarResult != nullptr)
        VariantInit(pVarResult);
    const HRESULT result = call(static_cast<std::size_t>(method - m_methods.data()), args);
    if (args.Misused())
        return E_UNEXPECTED;
    if (FAILED(result))
    {
        if (pExcepInfo != nullptr)
            FillException(result, pExcepInfo);
        return DISP_E_EXCEPTION;
    }
    return S_OK;
}
} // namespace platform::com
