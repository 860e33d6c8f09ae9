// RadioEngineObj's creation, reference counting and interfaces: what makes it a COM object.
#include "engine/RadioEngineObj.h"

#include "engine/EngineCall.h"
#include "engine/EngineModule.h"
#include "host/Trace.h"

using engine::Guarded;

HRESULT RadioEngineObj::CreateInstance(REFIID riid, void** ppv) noexcept
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    return Guarded("CreateInstance",
                   [&]
                   {
                       // The stream manager is built here; a second one raises code 3.
                       RadioEngineObj* pObject = new RadioEngineObj();
                       CEngineModule::Lock();
                       // From here the object's own reference owns it: Release undoes
                       // whatever follows.
                       struct SReleaseOnExit
                       {
                           RadioEngineObj* pObject;
                           ~SReleaseOnExit() { pObject->Release(); }
                       } release{pObject};
                       pObject->FinalConstruct();
                       return pObject->QueryInterface(riid, ppv);
                   });
}

void RadioEngineObj::FinalConstruct()
{
    FindViewer();
    OpenTraceChannel("OVRadioEngine", 0, 1, 0xEFFFFFFF);
}

void RadioEngineObj::FinalRelease()
{
    CloseTraceChannel();
}

HRESULT RadioEngineObj::QueryInterface(REFIID riid, void** ppvObject)
{
    if (ppvObject == nullptr)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IRadioEngine)
        *ppvObject = static_cast<IRadioEngine*>(this);
    else if (riid == IID_ISupportErrorInfo)
        *ppvObject = static_cast<ISupportErrorInfo*>(this);
    else
    {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG RadioEngineObj::AddRef()
{
    return m_nRefs.fetch_add(1) + 1;
}

ULONG RadioEngineObj::Release()
{
    const ULONG nLeft = m_nRefs.fetch_sub(1) - 1;
    if (nLeft == 0)
    {
        FinalRelease();
        delete this;
        CEngineModule::Unlock();
    }
    return nLeft;
}

HRESULT RadioEngineObj::InterfaceSupportsErrorInfo(REFIID riid)
{
    return riid == IID_IRadioEngine ? S_OK : S_FALSE;
}
