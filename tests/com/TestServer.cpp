// The in-process test server that CoCreateInstance loads: exports DllGetClassObject,
// DllCanUnloadNow, DllRegisterServer and DllUnregisterServer for the class CLSID_TestCalc
// (the registration is what the ovradio-regsvr tests register).
#include "TestCalc.h"
#include "platform/com/ServerRegistration.h"

namespace
{
class Factory final : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory)
        {
            *ppv = static_cast<IClassFactory*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is static: a reference to it counts as a server lock, as the object
    // count does, so the library stays while anyone holds it.
    ULONG STDMETHODCALLTYPE AddRef() override
    {
        testcalc::AddServerLock(1);
        return 2;
    }
    ULONG STDMETHODCALLTYPE Release() override
    {
        testcalc::AddServerLock(-1);
        return 1;
    }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (outer != nullptr)
            return CLASS_E_NOAGGREGATION;
        ITestCalc* calc = testcalc::NewTestCalc();
        if (calc == nullptr)
            return E_OUTOFMEMORY;
        const HRESULT hr = calc->QueryInterface(riid, ppv);
        calc->Release();
        return hr;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        testcalc::AddServerLock(lock ? 1 : -1);
        return S_OK;
    }
};

Factory g_factory;

platform::com::SServerClass TestCalcClass()
{
    return {CLSID_TestCalc,  "Test Calc Class",
            kTestCalcProgID, kTestCalcVersionIndependentProgID,
            "Apartment",     false,
            GUID_NULL};
}
} // namespace

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_TestCalc)
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" HRESULT DllCanUnloadNow()
{
    return testcalc::LiveObjects() == 0 && testcalc::ServerLocks() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT DllRegisterServer()
{
    const std::string strPath =
        platform::com::ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    if (strPath.empty())
        return SELFREG_E_CLASS;
    return platform::com::RegisterServerClass(TestCalcClass(), strPath);
}

extern "C" HRESULT DllUnregisterServer()
{
    return platform::com::UnregisterServerClass(TestCalcClass());
}
