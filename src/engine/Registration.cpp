#include "engine/Registration.h"

#include "platform/com/ServerRegistration.h"

#include <ovradio/RadioEngineIds.h>

namespace
{
platform::com::SServerClass RadioEngineClass()
{
    return {CLSID_RadioEngineObj,  "RadioEngineObj Class",
            OVRADIO_PROGID,        OVRADIO_VERSION_INDEPENDENT_PROGID,
            "Apartment",           true,
            LIBID_OVRADIOENGINELib};
}

platform::com::STypeLibrary RadioEngineTypeLibrary()
{
    return {LIBID_OVRADIOENGINELib,
            1,
            0,
            "OVRadioEngine 1.0 Type Library",
            {{IID_IRadioEngine, "IRadioEngine"}}};
}
} // namespace

HRESULT RegisterRadioEngine(const std::string& strLibraryPath)
{
    const HRESULT hr = platform::com::RegisterServerClass(RadioEngineClass(), strLibraryPath);
    if (FAILED(hr))
        return hr;
    return platform::com::RegisterTypeLibrary(RadioEngineTypeLibrary(), strLibraryPath);
}

HRESULT UnregisterRadioEngine()
{
    // The type library's keys go even when the class's could not.
    const HRESULT hrClass = platform::com::UnregisterServerClass(RadioEngineClass());
    const HRESULT hrTypeLib = platform::com::UnregisterTypeLibrary(RadioEngineTypeLibrary());
    return FAILED(hrClass) ? hrClass : hrTypeLib;
}
