// The in-process server libraries loaded for CoGetClassObject: one dlopen handle per
// library path for the whole process, kept until CoFreeUnusedLibraries finds that the
// library's DllCanUnloadNow answers S_OK. Any thread may call; m_lock (recursive, since a
// server's DllGetClassObject may itself create objects) guards the handle list and is held
// from loading a library until its DllGetClassObject has answered, so a library is never
// unloaded between the two.
#pragma once

#include <map>
#include <mutex>
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

    std::recursive_mutex m_lock;
    std::map<std::string, void*> m_handles; // path -> dlopen handle
};
} // namespace platform::com
