#include "host/Preferences.h"

#include "platform/DebugOutput.h"
#include "platform/MessageBox.h"
#include "platform/Mutex.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <vector>

namespace
{
// Loads of the per-use wrappers, from any thread, one at a time, and the table of the
// modules loaded so far. A leaf: held only around the table and dlopen.
platform::Mutex g_csModuleLoad;

// The modules loaded by name: each is loaded once, at its first use, and stays loaded
// for the life of the process, so that the many short uses of a preference cost no
// load and unload each. Never destroyed: a use while the process ends still finds it.
std::map<std::string, void*>& LoadedModules() OVR_REQUIRES(g_csModuleLoad)
{
    static auto* pModules = new std::map<std::string, void*>;
    return *pModules;
}

// dlopen by name searches the paths of the program (not always: under a sanitizer's
// interceptor the search runs as the runtime's); so a library is also looked for beside
// the module holding this code and, for a program in bin/, in the lib/ beside that, as
// the build tree and the usual installation lay them out.
void* LoadBesideThisLibrary(const std::string& strName)
{
    Dl_info info{};
    if (!::dladdr(reinterpret_cast<void*>(&LoadBesideThisLibrary), &info) || !info.dli_fname)
        return nullptr;
    std::string strSelf = info.dli_fname;
    std::size_t nSlash = strSelf.rfind('/');
    if (nSlash == std::string::npos)
        return nullptr;
    const std::string strFolder = strSelf.substr(0, nSlash + 1);
    for (const std::string& strCandidate : {strFolder + strName, strFolder + "../lib/" + strName})
        if (void* hModule = ::dlopen(strCandidate.c_str(), RTLD_NOW | RTLD_LOCAL))
            return hModule;
    return nullptr;
}
} // namespace

OVDKDll::OVDKDll(const std::string& strName) : m_strName(strName)
{
    std::string strError;
    {
        platform::MutexLock lock(g_csModuleLoad);
        auto& modules = LoadedModules();
        if (const auto it = modules.find(strName); it != modules.end())
            m_hModule = it->second;
        else
        {
            m_hModule = ::dlopen(strName.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (!m_hModule)
            {
                const char* pszError = ::dlerror();
                strError = pszError ? pszError : "The specified module could not be found.";
                if (strName.find('/') == std::string::npos)
                    m_hModule = LoadBesideThisLibrary(strName);
            }
            // A module that did not load is tried again at the next use: one installed
            // or mended meanwhile is found then.
            if (m_hModule)
                modules.emplace(strName, m_hModule);
        }
    }
    if (!m_hModule)
        platform::MessageBox(strError, "Dll Load Problem", platform::MB_OK | platform::MB_ICONSTOP);
}

OVDKDll::~OVDKDll()
{
    // The module belongs to the process's table (m_bNotOwner): nothing to unload here.
    if (m_hModule && !m_bNotOwner)
        ::dlclose(m_hModule);
}

void* OVDKDll::Resolve(const char* pszEntryPoint)
{
    if (!m_hModule)
        return nullptr;
    void* pAddress = ::dlsym(m_hModule, pszEntryPoint);
    if (!pAddress)
        platform::MessageBox(pszEntryPoint, "Dll Load Error - Interface Mismatch",
                             platform::MB_OK | platform::MB_ICONSTOP);
    return pAddress;
}

PreferencesDll::PreferencesDll() : OVDKDll(host::PreferencesLibraryName())
{
    if (!IsLoaded())
        return;
    m_pfnSetValue = reinterpret_cast<PFN_PrefSetValue>(Resolve("PrefSetValue"));
    m_pfnSetValueUINT32 = reinterpret_cast<PFN_PrefSetValueUINT32>(Resolve("PrefSetValueUINT32"));
    m_pfnQueryValue = reinterpret_cast<PFN_PrefQueryValue>(Resolve("PrefQueryValue"));
    m_pfnDelete = reinterpret_cast<PFN_PrefDelete>(Resolve("PrefDelete"));
    m_pfnEasySafeQueryString =
        reinterpret_cast<PFN_PrefEasySafeQueryString>(Resolve("PrefEasySafeQueryString"));
    m_pfnEasySafeQueryUINT32 =
        reinterpret_cast<PFN_PrefEasySafeQueryUINT32>(Resolve("PrefEasySafeQueryUINT32"));
}

LONG PreferencesDll::PrefSetValue(const char* pszSection, const char* pszKey, DWORD dwType,
                                  const void* pData, DWORD dwSize)
{
    return m_pfnSetValue ? m_pfnSetValue(pszSection, pszKey, dwType, pData, dwSize)
                         : ERROR_PROC_NOT_FOUND_RESULT;
}

LONG PreferencesDll::PrefSetValueUINT32(const char* pszSection, const char* pszKey, DWORD dwValue)
{
    return m_pfnSetValueUINT32 ? m_pfnSetValueUINT32(pszSection, pszKey, dwValue)
                               : ERROR_PROC_NOT_FOUND_RESULT;
}

LONG PreferencesDll::PrefQueryValue(const char* pszSection, const char* pszKey, DWORD* pdwType,
                                    void* pBuffer, DWORD* pdwSize)
{
    return m_pfnQueryValue ? m_pfnQueryValue(pszSection, pszKey, pdwType, pBuffer, pdwSize)
                           : ERROR_PROC_NOT_FOUND_RESULT;
}

LONG PreferencesDll::PrefDelete(const char* pszSection, const char* pszKey)
{
    return m_pfnDelete ? m_pfnDelete(pszSection, pszKey) : ERROR_PROC_NOT_FOUND_RESULT;
}

LONG PreferencesDll::PrefEasySafeQueryString(const char* pszSection, const char* pszKey,
                                             char* pszBuffer, DWORD* pdwSize)
{
    return m_pfnEasySafeQueryString
               ? m_pfnEasySafeQueryString(pszSection, pszKey, pszBuffer, pdwSize)
               : ERROR_PROC_NOT_FOUND_RESULT;
}

LONG PreferencesDll::PrefEasySafeQueryUINT32(const char* pszSection, const char* pszKey,
                                             DWORD* pdwValue)
{
    return m_pfnEasySafeQueryUINT32 ? m_pfnEasySafeQueryUINT32(pszSection, pszKey, pdwValue)
                                    : ERROR_PROC_NOT_FOUND_RESULT;
}

namespace host
{
std::string PreferencesLibraryName()
{
    if (const char* pszName = std::getenv("OVRADIO_PREFERENCES_LIB"); pszName && *pszName)
        return pszName;
    return hostlibs::kPreferencesLibraryName;
}

LONG PrefSetValueUINT32(const char* pszSection, const char* pszKey, DWORD dwValue)
{
    return PreferencesDll().PrefSetValueUINT32(pszSection, pszKey, dwValue);
}

LONG PrefEasySafeQueryUINT32(const char* pszSection, const char* pszKey, DWORD* pdwValue)
{
    return PreferencesDll().PrefEasySafeQueryUINT32(pszSection, pszKey, pdwValue);
}

LONG PrefSetValueString(const char* pszSection, const char* pszKey, const std::string& strValue)
{
    return PreferencesDll().PrefSetValue(pszSection, pszKey, hostlibs::kPrefTypeString,
                                         strValue.c_str(), static_cast<DWORD>(strValue.size() + 1));
}

LONG PrefQueryValueString(const char* pszSection, const char* pszKey, DWORD nBufferSize,
                          std::string& strValue)
{
    std::vector<char> buffer(std::max<DWORD>(nBufferSize, 1), '\0');
    DWORD dwType = hostlibs::kPrefTypeString;
    DWORD dwSize = nBufferSize;
    LONG nResult =
        PreferencesDll().PrefQueryValue(pszSection, pszKey, &dwType, buffer.data(), &dwSize);
    if (nResult == 0)
        strValue.assign(buffer.data(), ::strnlen(buffer.data(), buffer.size()));
    return nResult;
}

LONG PrefEasySafeQueryString(const char* pszSection, const char* pszKey, DWORD nBufferSize,
                             std::string& strValue)
{
    std::vector<char> buffer(std::max<DWORD>(nBufferSize, 1), '\0');
    std::size_t nDefault = std::min<std::size_t>(strValue.size(), buffer.size() - 1);
    std::memcpy(buffer.data(), strValue.data(), nDefault);
    DWORD dwSize = nBufferSize;
    LONG nResult =
        PreferencesDll().PrefEasySafeQueryString(pszSection, pszKey, buffer.data(), &dwSize);
    if (nResult == 0)
        strValue.assign(buffer.data(), ::strnlen(buffer.data(), buffer.size()));
    return nResult;
}
} // namespace host

bool IsRadioCacheEnabledByInstallation()
{
    DWORD dwEnabled = 1;
    if (host::PrefEasySafeQueryUINT32("OVRadio", "CSCUserEnabled", &dwEnabled) != 0)
        platform::DebugOutput("IsRadioCacheEnabledByInstallation() failed...! \n");
    return dwEnabled == 1;
}

void SetRadioCacheEnabledForInstallation(bool bEnabled)
{
    if (host::PrefSetValueUINT32("OVRadio", "CSCUserEnabled", bEnabled ? 1 : 0) != 0)
        platform::DebugOutput("SetRadioCacheEnabledForInstallation failed...! \n");
}
