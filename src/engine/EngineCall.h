// How each operation of RadioEngineObj answers the host: a body run so that nothing
// escapes it, and the out-values written as the interface promises. Shared by the files
// of RadioEngineObj (creation, session calls, track information, dispatch); the host's
// thread only, as the operations are.
#pragma once

#include "engine/ReportError.h"
#include "host/RadEngException.h"
#include "platform/com/BStr.h"

#include <cstdio>
#include <exception>
#include <new>
#include <string>

namespace engine
{
// Runs one operation's body so that nothing escapes it: the engine's own exception becomes
// its error information and DISP_E_EXCEPTION, any other E_FAIL with error information
// naming the operation.
template <typename Body>
HRESULT Guarded(const char* pszOperation, Body&& body) noexcept
{
    const auto failure = [pszOperation](const char* pszWhat)
    {
        char szText[512];
        std::snprintf(szText, sizeof szText, "RadioEngineObj::%s failed: %s", pszOperation,
                      pszWhat);
        return ReportFailure(szText, E_FAIL);
    };
    try
    {
        return body();
    }
    catch (const CRadEngException& e)
    {
        return ReportError(e);
    }
    catch (const std::exception& e)
    {
        return failure(e.what());
    }
    catch (...)
    {
        return failure("unknown exception");
    }
}

// An out string: E_POINTER for a null pointer, otherwise a new BSTR the caller frees.
inline HRESULT OutString(const std::string& strValue, BSTR* pOut)
{
    if (pOut == nullptr)
        return E_POINTER;
    BSTR bstr = platform::com::AllocBStr(strValue);
    if (bstr == nullptr)
        throw std::bad_alloc();
    *pOut = bstr;
    return S_OK;
}

template <typename Out, typename Value>
HRESULT OutValue(Value value, Out* pOut)
{
    if (pOut == nullptr)
        return E_POINTER;
    *pOut = static_cast<Out>(value);
    return S_OK;
}
} // namespace engine
