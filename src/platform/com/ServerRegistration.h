// The registry entries of an in-process server under HKEY_CLASSES_ROOT, as a library's
// DllRegisterServer writes them and its DllUnregisterServer removes them:
//
//   <ProgID>                         @ = description, CLSID\@ = {class}
//   <VersionIndependentProgID>       @ = description, CLSID\@ = {class}, CurVer\@ = ProgID
//   CLSID\{class}                    @ = description, replaced as a whole on registration:
//     ProgID\@, VersionIndependentProgID\@, Programmable (empty),
//     InprocServer32\@ = library path, "ThreadingModel", TypeLib\@ = {library}
//
// A type library has no file of its own here: its description is compiled into the
// server. Registering it writes what Windows' RegisterTypeLib writes, with the platform's
// name in place of "win32"/"win64" ("linux64" or "linux32", by pointer size):
//
//   TypeLib\{library}\<major>.<minor>  @ = help string, 0\linux64\@ = library path,
//                                      FLAGS\@ = "0", HELPDIR\@ = the library's folder
//   Interface\{interface}              @ = interface name, TypeLib\@ = {library},
//                                      TypeLib "Version" = "<major>.<minor>"
//
// There are no proxies or stubs on this platform, so no ProxyStubClsid32 keys are written.
// Unregistration deletes both ProgIDs, the class key with all its subkeys, the type
// library's version key (and its library key once no version is left) and the interface
// keys; the parent keys CLSID, TypeLib and Interface always stay. Keys that are already
// gone are no failure. Any thread; each step is one change of the registry file (see
// platform/Registry.h).
#pragma once

#include <ovradio/Com.h>
#include <string>
#include <vector>

namespace platform::com
{
struct SServerClass
{
    CLSID clsid;
    std::string strDescription;
    std::string strProgID;
    std::string strVersionIndependentProgID;
    std::string strThreadingModel;
    bool bProgrammable;
    GUID typeLib; // GUID_NULL: no TypeLib subkey
};

struct STypeLibInterface
{
    IID iid;
    std::string strName;
};

struct STypeLibrary
{
    GUID libid;
    WORD wMajorVersion;
    WORD wMinorVersion;
    std::string strHelpString;
    std::vector<STypeLibInterface> interfaces;
};

// S_OK, or SELFREG_E_CLASS when the registry is damaged or cannot be written
// (E_OUTOFMEMORY when memory runs out).
HRESULT RegisterServerClass(const SServerClass& server, const std::string& strLibraryPath);
HRESULT UnregisterServerClass(const SServerClass& server);
// S_OK, or SELFREG_E_TYPELIB as above.
HRESULT RegisterTypeLibrary(const STypeLibrary& library, const std::string& strLibraryPath);
HRESULT UnregisterTypeLibrary(const STypeLibrary& library);

// The absolute path of the loaded library (or program) that holds the address, as
// InprocServer32 should name it; empty when it cannot be found. A server passes the
// address of one of its own functions.
std::string ModulePathOf(const void* pAddress);
} // namespace platform::com
