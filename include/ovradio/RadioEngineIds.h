/* The identifiers of the radio engine's class, interface and type library, and its
   ProgIDs, as the registry and a host use them. */
#pragma once
#include <ovradio/Com.h>

extern "C"
{
    extern const CLSID CLSID_RadioEngineObj;
    extern const IID IID_IRadioEngine;
    extern const GUID LIBID_OVRADIOENGINELib;
}

#define OVRADIO_PROGID "OVRadioEngine.RadioEngineObj.1"
#define OVRADIO_VERSION_INDEPENDENT_PROGID "OVRadioEngine.RadioEngineObj"
