// The engine's access to the host's preferences library, loaded by name at run time.
// OVDKDll loads a library and resolves entry points; PreferencesDll resolves the six
// preference entry points. Each use builds a fresh PreferencesDll on the stack (the
// host::Pref... wrappers below do exactly that), but a library is loaded only once per
// process: the first use that loads it leaves it in the process's table of modules, and
// later uses find it there, so a preference read costs no load and unload. A library that
// cannot be loaded is tried again at the next use, so one installed or mended while the
// engine runs is picked up. A library that cannot be loaded or an entry point that is
// missing is shown in a message box and then behaves as a failed call
// (ERROR_PROC_NOT_FOUND), never a crash. Safe from any thread.
#pragma once
#include "hostlibs/Preferences.h"
#include "platform/Types.h"

#include <string>

inline constexpr LONG ERROR_PROC_NOT_FOUND_RESULT = 127;

class OVDKDll
{
public:
    explicit OVDKDll(const std::string& strName);
    virtual ~OVDKDll();
    OVDKDll(const OVDKDll&) = delete;
    OVDKDll& operator=(const OVDKDll&) = delete;

    bool IsLoaded() const { return m_hModule != nullptr; }
    const std::string& Name() const { return m_strName; }

protected:
    // The entry point's address; a missing one is reported in a message box.
    void* Resolve(const char* pszEntryPoint);

private:
    void* m_hModule = nullptr;
    // The process's table of modules owns every loaded module, not the wrapper.
    bool m_bNotOwner = true;
    std::string m_strName;
};

class PreferencesDll : public OVDKDll
{
public:
    PreferencesDll();

    LONG PrefSetValue(const char* pszSection, const char* pszKey, DWORD dwType, const void* pData,
                      DWORD dwSize);
    LONG PrefSetValueUINT32(const char* pszSection, const char* pszKey, DWORD dwValue);
    LONG PrefQueryValue(const char* pszSection, const char* pszKey, DWORD* pdwType, void* pBuffer,
                        DWORD* pdwSize);
    LONG PrefDelete(const char* pszSection, const char* pszKey);
    LONG PrefEasySafeQueryString(const char* pszSection, const char* pszKey, char* pszBuffer,
                                 DWORD* pdwSize);
    LONG PrefEasySafeQueryUINT32(const char* pszSection, const char* pszKey, DWORD* pdwValue);

private:
    PFN_PrefSetValue m_pfnSetValue = nullptr;
    PFN_PrefSetValueUINT32 m_pfnSetValueUINT32 = nullptr;
    PFN_PrefQueryValue m_pfnQueryValue = nullptr;
    PFN_PrefDelete m_pfnDelete = nullptr;
    PFN_PrefEasySafeQueryString m_pfnEasySafeQueryString = nullptr;
    PFN_PrefEasySafeQueryUINT32 m_pfnEasySafeQueryUINT32 = nullptr;
};

namespace host
{
// The library's file name: libPreferences.so, or $OVRADIO_PREFERENCES_LIB when set.
std::string PreferencesLibraryName();

// One call through a fresh PreferencesDll each; results as the library's (0 success).
LONG PrefSetValueUINT32(const char* pszSection, const char* pszKey, DWORD dwValue);
LONG PrefEasySafeQueryUINT32(const char* pszSection, const char* pszKey, DWORD* pdwValue);
// Stores a string value (type 1, its length + 1 bytes).
LONG PrefSetValueString(const char* pszSection, const char* pszKey, const std::string& strValue);
// PrefQueryValue of a string into a buffer of nBufferSize bytes; on success value
// becomes the text read, otherwise it is left as it was (the caller's default).
LONG PrefQueryValueString(const char* pszSection, const char* pszKey, DWORD nBufferSize,
                          std::string& strValue);
// PrefEasySafeQueryString into a buffer of nBufferSize bytes pre-filled with value
// (cut to fit); on success value becomes the buffer's text.
LONG PrefEasySafeQueryString(const char* pszSection, const char* pszKey, DWORD nBufferSize,
                             std::string& strValue);
} // namespace host

// The installation's choice for the radio cache ("OVRadio"/"CSCUserEnabled", default 1):
// true only for exactly 1.
bool IsRadioCacheEnabledByInstallation();
void SetRadioCacheEnabledForInstallation(bool bEnabled);
