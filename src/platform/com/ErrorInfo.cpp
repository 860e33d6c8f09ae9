#include "platform/com/ErrorInfo.h"

#include "platform/com/BStr.h"

#include <new>

namespace platform::com
{
HRESULT ErrorInfo::QueryInterface(REFIID riid, void** ppvObject)
{
    if (ppvObject == nullptr)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IErrorInfo)
        *ppvObject = static_cast<IErrorInfo*>(this);
    else if (riid == IID_ICreateErrorInfo)
        *ppvObject = static_cast<ICreateErrorInfo*>(this);
    else
    {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG ErrorInfo::AddRef()
{
    return m_refs.fetch_add(1, std::memory_order_relaxed) + 1;
}

ULONG ErrorInfo::Release()
{
    // acq_rel: the thread that drops the last reference sees every other thread's writes.
    const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0)
        delete this;
    return left;
}

HRESULT ErrorInfo::Copy(const Text& field, BSTR* out)
{
    if (out == nullptr)
        return E_INVALIDARG;
    *out = nullptr;
    if (!field)
        return S_OK;
    *out = AllocBStr(std::u16string_view(*field));
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
}

void ErrorInfo::Assign(Text& field, LPCOLESTR value)
{
    if (value == nullptr)
        field.reset();
    else
        field = std::u16string(value);
}

HRESULT ErrorInfo::GetGUID(GUID* pGUID)
{
    if (pGUID == nullptr)
        return E_INVALIDARG;
    MutexLock lock(m_lock);
    *pGUID = m_guid;
    return S_OK;
}

HRESULT ErrorInfo::GetSource(BSTR* pBstrSource)
{
    MutexLock lock(m_lock);
    return Copy(m_source, pBstrSource);
}

HRESULT ErrorInfo::GetDescription(BSTR* pBstrDescription)
{
    MutexLock lock(m_lock);
    return Copy(m_description, pBstrDescription);
}

HRESULT ErrorInfo::GetHelpFile(BSTR* pBstrHelpFile)
{
    MutexLock lock(m_lock);
    return Copy(m_helpFile, pBstrHelpFile);
}

HRESULT ErrorInfo::GetHelpContext(DWORD* pdwHelpContext)
{
    if (pdwHelpContext == nullptr)
        return E_INVALIDARG;
    MutexLock lock(m_lock);
    *pdwHelpContext = m_helpContext;
    return S_OK;
}

HRESULT ErrorInfo::SetGUID(REFGUID rguid)
{
    MutexLock lock(m_lock);
    m_guid = rguid;
    return S_OK;
}

HRESULT ErrorInfo::SetSource(LPOLESTR szSource)
{
    MutexLock lock(m_lock);
    Assign(m_source, szSource);
    return S_OK;
}

HRESULT ErrorInfo::SetDescription(LPOLESTR szDescription)
{
    MutexLock lock(m_lock);
    Assign(m_description, szDescription);
    return S_OK;
}

HRESULT ErrorInfo::SetHelpFile(LPOLESTR szHelpFile)
{
    MutexLock lock(m_lock);
    Assign(m_helpFile, szHelpFile);
    return S_OK;
}

HRESULT ErrorInfo::SetHelpContext(DWORD dwHelpContext)
{
    MutexLock lock(m_lock);
    m_helpContext = dwHelpContext;
    return S_OK;
}

namespace
{
// The calling thread's error information. Holds one reference, dropped when replaced,
// taken or when the thread ends.
class ThreadErrorSlot
{
public:
    ThreadErrorSlot() = default;
    ~ThreadErrorSlot() { Replace(nullptr); }
    ThreadErrorSlot(const ThreadErrorSlot&) = delete;
    ThreadErrorSlot& operator=(const ThreadErrorSlot&) = delete;

    // Stores info (already AddRef'd by the caller) and releases what was there. The old
    // object is released after the slot holds the new one, so a Release that sets error
    // information of its own cannot see a half-changed slot.
    void Replace(IErrorInfo* info)
    {
        IErrorInfo* old = m_info;
        m_info = info;
        if (old != nullptr)
            old->Release();
    }
    IErrorInfo* Take()
    {
        IErrorInfo* info = m_info;
        m_info = nullptr;
        return info;
    }

private:
    IErrorInfo* m_info = nullptr;
};

ThreadErrorSlot& CurrentSlot()
{
    thread_local ThreadErrorSlot slot;
    return slot;
}
} // namespace
} // namespace platform::com

using platform::com::CurrentSlot;

extern "C" HRESULT SetErrorInfo(ULONG dwReserved, IErrorInfo* perrinfo)
{
    if (dwReserved != 0)
        return E_INVALIDARG;
    if (perrinfo != nullptr)
        perrinfo->AddRef();
    CurrentSlot().Replace(perrinfo);
    return S_OK;
}

extern "C" HRESULT GetErrorInfo(ULONG dwReserved, IErrorInfo** pperrinfo)
{
    if (dwReserved != 0 || pperrinfo == nullptr)
        return E_INVALIDARG;
    *pperrinfo = CurrentSlot().Take();
    return *pperrinfo != nullptr ? S_OK : S_FALSE;
}

extern "C" HRESULT CreateErrorInfo(ICreateErrorInfo** pperrinfo)
{
    if (pperrinfo == nullptr)
        return E_INVALIDARG;
    auto* info = new (std::nothrow) platform::com::ErrorInfo();
    *pperrinfo = info;
    return info == nullptr ? E_OUTOFMEMORY : S_OK;
}
