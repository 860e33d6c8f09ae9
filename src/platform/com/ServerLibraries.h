// The in-process server libraries loaded for CoGetClassObject: one dlopen handle per
// library path for the whole process, kept until CoFreeUnusedLibraries finds that the
// library's DllCanUnloadNow answers S_OK. Any thread may call; m_cs (recursive, since a
// server's DllGetClassObject may itself create objects) guards the handle list and is held
// from loading a library until its DllGetClassObject has answered, so a library is never
// unloaded between the two. Both operations block only while another thread holds m_cs
// (a server's DllGetClassObject or DllCanUnloadNow runs under it).
#pragma once

#include "platform/CriticalSection.h"

#include <map>
#include <ovradio/Com.h>
#include <string>

namespace platform::com
{
class ServerLibraries
{
public:
    static ServerLibraries& Instance();

    // Loads the library when it is not loaded yet and asks its DllGetClassObject.
    // CO_E_DLLNOTFOUND when it does not load, CO_E_ERRORINDLL when it exports no
    // DllGetClassObject; otherwise what DllGetClassObject answers.
    HRESULT GetClassObject(const std::string& path, REFCLSID rclsid, REFIID riid, void** ppv);

    // Unloads every library whose DllCanUnloadNow answers S_OK.
    void FreeUnused();

private:
    ServerLibraries() = default;
    // Libraries that are not freed stay loaded until the process ends: objects they made
    // may still be referenced by code that outlives this list.
    ~ServerLibraries() = default;

    CriticalSection m_cs;
    std::map<std::string, void*> m_handles OVR_GUARDED_BY(m_cs); // path -> dlopen handle
};
} // namespace platform::com
