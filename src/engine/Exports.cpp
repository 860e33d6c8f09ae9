// What libOVRadioEngine.so exports, as an in-process COM server does: the class object of
// RadioEngineObj, whether the library may be unloaded, and its registration. Only these
// four symbols leave the library (see Exports.map). The library is linked so that dlclose
// never unloads it: engine threads may outlive their objects by their time-outs.
#include "engine/EngineModule.h"
#include "engine/RadioEngineFactory.h"
#include "engine/Registration.h"
#include "platform/com/ServerRegistration.h"

#include <ovradio/RadioEngineIds.h>

extern "C" HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_RadioEngineObj)
        return CLASS_E_CLASSNOTAVAILABLE;
    return CRadioEngineFactory::Instance().QueryInterface(riid, ppv);
}

extern "C" HRESULT DllCanUnloadNow()
{
    return CEngineModule::GetLockCount() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT DllRegisterServer()
{
    const std::string strPath =
        platform::com::ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    if (strPath.empty())
        return SELFREG_E_CLASS;
    return RegisterRadioEngine(strPath);
}

extern "C" HRESULT DllUnregisterServer()
{
    return UnregisterRadioEngine();
}
