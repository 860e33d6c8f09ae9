#include "EngineLibrary.h"

#include "PlayError.h"

#include <dlfcn.h>
#include <filesystem>
#include <system_error>
#include <vector>

namespace
{
constexpr const char* kEngineLibrary = "libOVRadioEngine.so";

using SelfRegistration = HRESULT (*)();

HRESULT TryCreate(platform::com::ComPtr<IRadioEngine>& engine)
{
    CLSID clsid = GUID_NULL;
    HRESULT hr = CLSIDFromProgID(u"" OVRADIO_VERSION_INDEPENDENT_PROGID, &clsid);
    if (FAILED(hr))
        return hr;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IRadioEngine,
                            engine.OutVoid());
}

// Failures that registering the library again mends.
bool IsNotRegistered(HRESULT hr)
{
    return hr == CO_E_CLASSSTRING || hr == REGDB_E_CLASSNOTREG || hr == CO_E_DLLNOTFOUND;
}

void Register(const std::string& strLibrary)
{
    // The library stays loaded, as it will be once the runtime has created its object.
    void* hLibrary = ::dlopen(strLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (hLibrary == nullptr)
    {
        const char* pszError = ::dlerror();
        throw CPlayError("cannot load the engine library " + strLibrary + ": " +
                         (pszError ? pszError : "unknown error"));
    }
    const auto pfnRegister =
        reinterpret_cast<SelfRegistration>(::dlsym(hLibrary, "DllRegisterServer"));
    if (pfnRegister == nullptr)
        throw CPlayError(strLibrary + " does not export DllRegisterServer");
    Check(pfnRegister(), ("DllRegisterServer of " + strLibrary).c_str());
}
} // namespace

std::string BundledEngineLibrary()
{
    // The engine beside the COM runtime this process uses comes first: the two are built
    // and installed together, and a plugin's host program (gst-launch-1.0, a music player)
    // lives far from both.
    std::vector<std::filesystem::path> candidates;
    Dl_info runtime{};
    if (::dladdr(reinterpret_cast<const void*>(&CoCreateInstance), &runtime) != 0 &&
        runtime.dli_fname != nullptr)
        candidates.push_back(std::filesystem::path(runtime.dli_fname).parent_path() /
                             kEngineLibrary);
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error)
    {
        const std::filesystem::path folder = program.parent_path();
        candidates.push_back(folder.parent_path() / "lib" / kEngineLibrary);
        candidates.push_back(folder / kEngineLibrary);
    }
    for (const std::filesystem::path& candidate : candidates)
        if (candidate.is_absolute() && std::filesystem::exists(candidate, error))
            return std::filesystem::weakly_canonical(candidate, error).string();
    return {};
}

platform::com::ComPtr<IRadioEngine> CreateRadioEngine()
{
    CoInitialize(nullptr);
    platform::com::ComPtr<IRadioEngine> engine;
    HRESULT hr = TryCreate(engine);
    if (IsNotRegistered(hr))
    {
        const std::string strLibrary = BundledEngineLibrary();
        if (strLibrary.empty())
            throw CPlayError(std::string("the engine is not registered and no ") + kEngineLibrary +
                             " came with this program");
        Register(strLibrary);
        hr = TryCreate(engine);
    }
    Check(hr, "creating " OVRADIO_VERSION_INDEPENDENT_PROGID);
    return engine;
}
