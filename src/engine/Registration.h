// The radio engine's entries in the registry, written and removed for the library that
// holds the engine, as its DllRegisterServer and DllUnregisterServer do: the class
// RadioEngineObj under both ProgIDs, "Apartment" threaded, and the type library
// OVRADIOENGINELib 1.0 with its interface IRadioEngine. The keys and their layout are
// those of platform/com/ServerRegistration.h. Any thread; blocks only for the registry
// file's changes.
#pragma once

#include <ovradio/Types.h>
#include <string>

// The class first, then the type library. S_OK; SELFREG_E_CLASS or SELFREG_E_TYPELIB when
// the registry is damaged or cannot be written (the entries written before stay).
HRESULT RegisterRadioEngine(const std::string& strLibraryPath);
// Both ProgIDs, the class key with all its subkeys and the type library's keys; the CLSID
// key itself stays. Entries already gone are no failure. S_OK, or SELFREG_E_CLASS or
// SELFREG_E_TYPELIB as above.
HRESULT UnregisterRadioEngine();
