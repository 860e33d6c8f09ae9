#include "platform/com/ServerRegistration.h"

#include "platform/Registry.h"
#include "platform/com/Guid.h"

#include <dlfcn.h>
#include <filesystem>
#include <initializer_list>
#include <new>
#include <utility>

namespace platform::com
{
namespace
{
// A step that cannot write or delete; turned into the operation's result.
struct SRegistryStepFailed
{
};

void SetDefault(const std::string& strKey, const std::string& strValue)
{
    if (!Registry::SetString(Hive::ClassesRoot, strKey, "", strValue))
        throw SRegistryStepFailed{};
}

void SetNamed(const std::string& strKey, const std::string& strName, const std::string& strValue)
{
    if (!Registry::SetString(Hive::ClassesRoot, strKey, strName, strValue))
        throw SRegistryStepFailed{};
}

void CreateEmpty(const std::string& strKey)
{
    if (!Registry::CreateKey(Hive::ClassesRoot, strKey))
        throw SRegistryStepFailed{};
}

// Deletes the key with everything below it; a key that is not there is fine.
void Remove(const std::string& strKey)
{
    if (Registry::KeyExists(Hive::ClassesRoot, strKey) &&
        !Registry::DeleteKey(Hive::ClassesRoot, strKey))
        throw SRegistryStepFailed{};
}

// Runs the steps; a damaged registry, a refused write or exhausted memory becomes a result.
// A damaged file answers every query with nothing, so it is checked first: otherwise an
// unregistration would find nothing to delete and report success.
template <typename Steps>
HRESULT Apply(HRESULT hrFailure, Steps steps) noexcept
{
    try
    {
        Registry::Validate();
        steps();
        return S_OK;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...) // a refused step, a damaged or unreadable file (RegistryError), a path error
    {
        return hrFailure;
    }
}

std::string ClassKey(const SServerClass& server)
{
    return "CLSID\\" + GuidToString(server.clsid);
}

std::string VersionText(const STypeLibrary& library)
{
    return std::to_string(library.wMajorVersion) + "." + std::to_string(library.wMinorVersion);
}

std::string TypeLibKey(const STypeLibrary& library)
{
    return "TypeLib\\" + GuidToString(library.libid);
}

std::string InterfaceKey(const STypeLibInterface& entry)
{
    return "Interface\\" + GuidToString(entry.iid);
}

// Windows writes "win32" or "win64" here.
constexpr const char* kPlatformName = sizeof(void*) == 8 ? "linux64" : "linux32";

void WriteProgID(const SServerClass& server, const std::string& strProgID, bool bCurVer)
{
    SetDefault(strProgID, server.strDescription);
    SetDefault(strProgID + "\\CLSID", GuidToString(server.clsid));
    if (bCurVer)
        SetDefault(strProgID + "\\CurVer", server.strProgID);
}
} // namespace

HRESULT RegisterServerClass(const SServerClass& server, const std::string& strLibraryPath)
{
    return Apply(
        SELFREG_E_CLASS,
        [&]
        {
            if (!server.strProgID.empty())
                WriteProgID(server, server.strProgID, false);
            if (!server.strVersionIndependentProgID.empty())
                WriteProgID(server, server.strVersionIndependentProgID, !server.strProgID.empty());
            // The class key is replaced whole: nothing of an earlier
            // registration stays below it.
            const std::string strClass = ClassKey(server);
            Remove(strClass);
            SetDefault(strClass, server.strDescription);
            if (!server.strProgID.empty())
                SetDefault(strClass + "\\ProgID", server.strProgID);
            if (!server.strVersionIndependentProgID.empty())
                SetDefault(strClass + "\\VersionIndependentProgID",
                           server.strVersionIndependentProgID);
            if (server.bProgrammable)
                CreateEmpty(strClass + "\\Programmable");
            SetDefault(strClass + "\\InprocServer32", strLibraryPath);
            if (!server.strThreadingModel.empty())
                SetNamed(strClass + "\\InprocServer32", "ThreadingModel", server.strThreadingModel);
            if (!IsEqualGUID(server.typeLib, GUID_NULL))
                SetDefault(strClass + "\\TypeLib", GuidToString(server.typeLib));
        });
}

HRESULT UnregisterServerClass(const SServerClass& server)
{
    return Apply(SELFREG_E_CLASS,
                 [&]
                 {
                     if (!server.strProgID.empty())
                         Remove(server.strProgID);
                     if (!server.strVersionIndependentProgID.empty())
                         Remove(server.strVersionIndependentProgID);
                     Remove(ClassKey(server));
                 });
}

HRESULT RegisterTypeLibrary(const STypeLibrary& library, const std::string& strLibraryPath)
{
    return Apply(SELFREG_E_TYPELIB,
                 [&]
                 {
                     const std::string strVersion =
                         TypeLibKey(library) + "\\" + VersionText(library);
                     Remove(strVersion);
                     SetDefault(strVersion, library.strHelpString);
                     SetDefault(strVersion + "\\0\\" + kPlatformName, strLibraryPath);
                     SetDefault(strVersion + "\\FLAGS", "0");
                     SetDefault(strVersion + "\\HELPDIR",
                                std::filesystem::path(strLibraryPath).parent_path().string());
                     for (const STypeLibInterface& entry : library.interfaces)
                     {
                         const std::string strInterface = InterfaceKey(entry);
                         Remove(strInterface);
                         SetDefault(strInterface, entry.strName);
                         SetDefault(strInterface + "\\TypeLib", GuidToString(library.libid));
                         SetNamed(strInterface + "\\TypeLib", "Version", VersionText(library));
                     }
                 });
}

HRESULT UnregisterTypeLibrary(const STypeLibrary& library)
{
    return Apply(SELFREG_E_TYPELIB,
                 [&]
                 {
                     for (const STypeLibInterface& entry : library.interfaces)
                         Remove(InterfaceKey(entry));
                     const std::string strLibrary = TypeLibKey(library);
                     Remove(strLibrary + "\\" + VersionText(library));
                     // Another version of the library keeps the library's key.
                     if (Registry::SubKeys(Hive::ClassesRoot, strLibrary).empty())
                         Remove(strLibrary);
                 });
}

std::string ModulePathOf(const void* pAddress)
{
    Dl_info info{};
    if (::dladdr(pAddress, &info) == 0 || info.dli_fname == nullptr || *info.dli_fname == '\0')
        return {};
    std::error_code error;
    const std::filesystem::path path = std::filesystem::canonical(info.dli_fname, error);
    if (!error)
        return path.string();
    return std::filesystem::absolute(info.dli_fname, error).string();
}
} // namespace platform::com
