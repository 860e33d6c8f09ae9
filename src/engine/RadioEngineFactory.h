// The class factory of RadioEngineObj, which DllGetClassObject hands out: one static
// object for the life of the process. Each reference a host holds on it and each
// LockServer(TRUE) counts in the module's lock count, so DllCanUnloadNow answers S_FALSE
// while the host may still create objects. Any thread; CreateInstance blocks as the
// object's construction does (RadioEngineObj::CreateInstance), the others never.
#pragma once

#include <ovradio/Com.h>

class CRadioEngineFactory final : public IClassFactory
{
public:
    static CRadioEngineFactory& Instance();

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // CLASS_E_NOAGGREGATION for an outer object; otherwise RadioEngineObj::CreateInstance.
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             void** ppvObject) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

private:
    CRadioEngineFactory() = default;
};
