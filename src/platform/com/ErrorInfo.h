// The error information object that CreateErrorInfo makes: one object answering both
// ICreateErrorInfo (for the code that raises the error) and IErrorInfo (for the caller
// that reads it after SetErrorInfo/GetErrorInfo moved it across). Reference counting is
// atomic; the fields are guarded by m_lock, since the object may be handed to another
// thread while its creator still holds a reference. Any thread; no call blocks beyond
// m_lock, which each holds only to copy one field.
#pragma once

#include "platform/Mutex.h"

#include <atomic>
#include <optional>
#include <ovradio/Com.h>
#include <string>

namespace platform::com
{
class ErrorInfo final : public IErrorInfo, public ICreateErrorInfo
{
public:
    // Starts with one reference, which the caller owns.
    ErrorInfo() = default;
    ErrorInfo(const ErrorInfo&) = delete;
    ErrorInfo& operator=(const ErrorInfo&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE GetGUID(GUID* pGUID) override;
    HRESULT STDMETHODCALLTYPE GetSource(BSTR* pBstrSource) override;
    HRESULT STDMETHODCALLTYPE GetDescription(BSTR* pBstrDescription) override;
    HRESULT STDMETHODCALLTYPE GetHelpFile(BSTR* pBstrHelpFile) override;
    HRESULT STDMETHODCALLTYPE GetHelpContext(DWORD* pdwHelpContext) override;

    HRESULT STDMETHODCALLTYPE SetGUID(REFGUID rguid) override;
    HRESULT STDMETHODCALLTYPE SetSource(LPOLESTR szSource) override;
    HRESULT STDMETHODCALLTYPE SetDescription(LPOLESTR szDescription) override;
    HRESULT STDMETHODCALLTYPE SetHelpFile(LPOLESTR szHelpFile) override;
    HRESULT STDMETHODCALLTYPE SetHelpContext(DWORD dwHelpContext) override;

private:
    ~ErrorInfo() = default;

    using Text = std::optional<std::u16string>; // nothing: never set, read as a null BSTR
    // The field's text as a new BSTR (null when never set); the caller holds m_lock.
    static HRESULT Copy(const Text& field, BSTR* out);
    static void Assign(Text& field, LPCOLESTR value);

    std::atomic<ULONG> m_refs{1};
    Mutex m_lock;
    GUID m_guid OVR_GUARDED_BY(m_lock) = GUID_NULL;
    Text m_source OVR_GUARDED_BY(m_lock);
    Text m_description OVR_GUARDED_BY(m_lock);
    Text m_helpFile OVR_GUARDED_BY(m_lock);
    DWORD m_helpContext OVR_GUARDED_BY(m_lock) = 0;
};
} // namespace platform::com
