// The identifiers of the radio engine's class, interface and type library, and its
// ProgIDs, as the registry and a host use them. The GUIDs are constants with internal
// linkage: every program that includes this header has its own copy, so a host needs no
// symbol from the engine library to name the class it creates.
#ifndef OVRADIO_RADIOENGINEIDS_H
#define OVRADIO_RADIOENGINEIDS_H

#include <ovradio/Com.h>

// {0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}
constexpr CLSID CLSID_RadioEngineObj = {
    0x0C5D39B0, 0x460B, 0x11D4, {0xAD, 0xE1, 0x00, 0x50, 0xDA, 0xCD, 0x3D, 0xB9}};
// {0C5D39AF-460B-11D4-ADE1-0050DACD3DB9}
constexpr IID IID_IRadioEngine = {
    0x0C5D39AF, 0x460B, 0x11D4, {0xAD, 0xE1, 0x00, 0x50, 0xDA, 0xCD, 0x3D, 0xB9}};
// {0C5D39A3-460B-11D4-ADE1-0050DACD3DB9}, version 1.0
constexpr GUID LIBID_OVRADIOENGINELib = {
    0x0C5D39A3, 0x460B, 0x11D4, {0xAD, 0xE1, 0x00, 0x50, 0xDA, 0xCD, 0x3D, 0xB9}};

#define OVRADIO_PROGID "OVRadioEngine.RadioEngineObj.1"
#define OVRADIO_VERSION_INDEPENDENT_PROGID "OVRadioEngine.RadioEngineObj"

#endif
