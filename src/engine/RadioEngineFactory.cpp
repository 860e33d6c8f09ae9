#include "engine/RadioEngineFactory.h"

#include "engine/EngineModule.h"
#include "engine/RadioEngineObj.h"

CRadioEngineFactory& CRadioEngineFactory::Instance()
{
    static CRadioEngineFactory factory;
    return factory;
}

HRESULT CRadioEngineFactory::QueryInterface(REFIID riid, void** ppvObject)
{
    if (ppvObject == nullptr)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory)
    {
        *ppvObject = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppvObject = nullptr;
    return E_NOINTERFACE;
}

// The factory itself lives as long as the process; a reference to it is a lock on the
// module.
ULONG CRadioEngineFactory::AddRef()
{
    CEngineModule::Lock();
    return 2;
}

ULONG CRadioEngineFactory::Release()
{
    CEngineModule::Unlock();
    return 1;
}

HRESULT CRadioEngineFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject)
{
    if (ppvObject == nullptr)
        return E_POINTER;
    *ppvObject = nullptr;
    if (pUnkOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    return RadioEngineObj::CreateInstance(riid, ppvObject);
}

HRESULT CRadioEngineFactory::LockServer(BOOL fLock)
{
    if (fLock)
        CEngineModule::Lock();
    else
        CEngineModule::Unlock();
    return S_OK;
}
