// Activation through the registry: ProgIDs and classes under HKEY_CLASSES_ROOT, in-process
// servers loaded from the library that a class's InprocServer32 key names.
#include "platform/Registry.h"
#include "platform/Utf.h"
#include "platform/com/BStr.h"
#include "platform/com/Guid.h"
#include "platform/com/ServerLibraries.h"

#include <new>
#include <set>

namespace
{
using platform::Hive;
namespace Registry = platform::Registry;

// Registry failures and exhausted memory become result codes: nothing may escape a call
// with C linkage.
template <class Function>
HRESULT Guarded(Function function) noexcept
{
    try
    {
        return function();
    }
    catch (const platform::RegistryError&)
    {
        return REGDB_E_READREGDB;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
    catch (...)
    {
        return E_UNEXPECTED;
    }
}

std::string ClassKey(REFCLSID clsid)
{
    return "CLSID\\" + platform::com::GuidToString(clsid);
}

std::optional<GUID> ClassOfProgID(const std::string& progID)
{
    const auto text = Registry::QueryString(Hive::ClassesRoot, progID + "\\CLSID", "");
    if (!text)
        return std::nullopt;
    return platform::com::GuidFromString(std::string_view(*text));
}

// The class of a ProgID: that of the ProgID its CurVer names (followed as far as it
// leads, without going round a loop), else the ProgID's own.
std::optional<GUID> ResolveProgID(const std::string& progID)
{
    std::optional<GUID> clsid = ClassOfProgID(progID);
    std::set<std::string> seen{progID};
    std::string current = progID;
    while (true)
    {
        const auto next = Registry::QueryString(Hive::ClassesRoot, current + "\\CurVer", "");
        if (!next || next->empty() || next->find('\\') != std::string::npos ||
            !seen.insert(*next).second)
            break;
        current = *next;
        if (const auto versioned = ClassOfProgID(current))
            clsid = versioned;
    }
    return clsid;
}

thread_local int t_initCount = 0;
} // namespace

extern "C" HRESULT CoInitialize(void* pvReserved)
{
    return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED);
}

extern "C" HRESULT CoInitializeEx(void*, DWORD)
{
    return t_initCount++ == 0 ? S_OK : S_FALSE;
}

extern "C" void CoUninitialize()
{
    if (t_initCount > 0)
        --t_initCount;
}

extern "C" HRESULT CLSIDFromProgID(LPCOLESTR lpszProgID, CLSID* lpclsid)
{
    if (lpszProgID == nullptr || lpclsid == nullptr)
        return E_INVALIDARG;
    return Guarded(
        [&]
        {
            const std::string progID = platform::com::OleStrToUtf8(lpszProgID);
            // A backslash would reach into another key than the ProgID's.
            if (progID.empty() || progID.find('\\') != std::string::npos)
                return CO_E_CLASSSTRING;
            const std::optional<GUID> clsid = ResolveProgID(progID);
            if (!clsid)
                return CO_E_CLASSSTRING;
            *lpclsid = *clsid;
            return S_OK;
        });
}

extern "C" HRESULT ProgIDFromCLSID(REFCLSID clsid, LPOLESTR* lplpszProgID)
{
    if (lplpszProgID == nullptr)
        return E_INVALIDARG;
    *lplpszProgID = nullptr;
    return Guarded(
        [&]
        {
            const auto progID =
                Registry::QueryString(Hive::ClassesRoot, ClassKey(clsid) + "\\ProgID", "");
            if (!progID || progID->empty())
                return REGDB_E_CLASSNOTREG;
            *lplpszProgID = platform::com::CoTaskMemDup(platform::Utf8ToUtf16(*progID));
            return *lplpszProgID == nullptr ? E_OUTOFMEMORY : S_OK;
        });
}

extern "C" HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, void*, REFIID riid,
                                    void** ppv)
{
    if (ppv == nullptr)
        return E_INVALIDARG;
    *ppv = nullptr;
    // Only in-process servers exist here.
    if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0)
        return REGDB_E_CLASSNOTREG;
    return Guarded(
        [&]
        {
            const auto path =
                Registry::QueryString(Hive::ClassesRoot, ClassKey(rclsid) + "\\InprocServer32", "");
            if (!path || path->empty())
                return REGDB_E_CLASSNOTREG;
            return platform::com::ServerLibraries::Instance().GetClassObject(*path, rclsid, riid,
                                                                             ppv);
        });
}

extern "C" HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext,
                                    REFIID riid, void** ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter != nullptr)
        return CLASS_E_NOAGGREGATION;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory,
                                  reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    if (factory == nullptr)
        return E_UNEXPECTED;
    hr = factory->CreateInstance(nullptr, riid, ppv);
    factory->Release();
    return hr;
}

extern "C" void CoFreeUnusedLibraries()
{
    platform::com::ServerLibraries::Instance().FreeUnused();
}
