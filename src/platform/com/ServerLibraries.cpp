#include "platform/com/ServerLibraries.h"

#include <dlfcn.h>

namespace platform::com
{
namespace
{
template <class Function>
Function Symbol(void* handle, const char* name)
{
    // dlsym answers a data pointer; POSIX guarantees that it converts to a function pointer.
    return reinterpret_cast<Function>(dlsym(handle, name));
}
} // namespace

ServerLibraries& ServerLibraries::Instance()
{
    static ServerLibraries libraries;
    return libraries;
}

HRESULT ServerLibraries::GetClassObject(const std::string& path, REFCLSID rclsid, REFIID riid,
                                        void** ppv)
{
    CriticalSectionLock lock(m_cs);
    auto it = m_handles.find(path);
    if (it == m_handles.end())
    {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr)
            return CO_E_DLLNOTFOUND;
        if (Symbol<LPFNGETCLASSOBJECT>(handle, "DllGetClassObject") == nullptr)
        {
            dlclose(handle);
            return CO_E_ERRORINDLL;
        }
        it = m_handles.emplace(path, handle).first;
    }
    const auto getClassObject = Symbol<LPFNGETCLASSOBJECT>(it->second, "DllGetClassObject");
    return getClassObject(rclsid, riid, ppv);
}

void ServerLibraries::FreeUnused()
{
    CriticalSectionLock lock(m_cs);
    for (auto it = m_handles.begin(); it != m_handles.end();)
    {
        const auto canUnloadNow = Symbol<LPFNCANUNLOADNOW>(it->second, "DllCanUnloadNow");
        if (canUnloadNow != nullptr && canUnloadNow() == S_OK)
        {
            dlclose(it->second);
            it = m_handles.erase(it);
        }
        else
            ++it;
    }
}
} // namespace platform::com
