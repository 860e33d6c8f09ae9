// ovradio-regsvr [-u] LIBRARY: loads an in-process server library and calls its
// DllRegisterServer (or, with -u, DllUnregisterServer), which writes (or removes) the
// library's entries in the registry of $OVRADIO_HOME, as a host's installer does.
//
// Exit codes: 0 done; 1 wrong usage; 2 the library does not load; 3 it has no such export;
// 4 the call failed (its HRESULT is printed in hexadecimal).
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <ovradio/Types.h>
#include <string>
#include <sys/stat.h>

namespace
{
enum EExit
{
    eDone = 0,
    eUsage = 1,
    eNotLoaded = 2,
    eNoExport = 3,
    eCallFailed = 4
};

using SelfRegistration = HRESULT (*)();

int Usage(std::FILE* out)
{
    std::fputs("usage: ovradio-regsvr [-u] LIBRARY\n"
               "  Registers the in-process server LIBRARY by calling its DllRegisterServer;\n"
               "  with -u, unregisters it by calling its DllUnregisterServer. The registry is\n"
               "  the one in $OVRADIO_HOME.\n"
               "Exit codes: 0 done, 1 wrong usage, 2 the library does not load, 3 it does not\n"
               "export the function, 4 the function failed.\n",
               out);
    return eUsage;
}

// A name without a slash is looked for in the current folder first, as a path given on
// the command line means; dlopen alone would search only the library paths.
std::string LoadablePath(const std::string& strLibrary)
{
    struct stat info
    {
    };
    if (strLibrary.find('/') == std::string::npos && ::stat(strLibrary.c_str(), &info) == 0)
        return "./" + strLibrary;
    return strLibrary;
}

const char* KnownName(HRESULT hr)
{
    switch (hr)
    {
    case SELFREG_E_CLASS:
        return " (SELFREG_E_CLASS: the class could not be registered)";
    case SELFREG_E_TYPELIB:
        return " (SELFREG_E_TYPELIB: the type library could not be registered)";
    case E_FAIL:
        return " (E_FAIL)";
    case E_OUTOFMEMORY:
        return " (E_OUTOFMEMORY)";
    case E_UNEXPECTED:
        return " (E_UNEXPECTED)";
    default:
        return "";
    }
}
} // namespace

int main(int argc, char** argv)
{
    bool bUnregister = false;
    const char* pszLibrary = nullptr;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0)
        {
            Usage(stdout);
            return eDone;
        }
        if (std::strcmp(argv[i], "-u") == 0)
            bUnregister = true;
        else if (argv[i][0] == '-' || pszLibrary != nullptr)
            return Usage(stderr);
        else
            pszLibrary = argv[i];
    }
    if (pszLibrary == nullptr || *pszLibrary == '\0')
        return Usage(stderr);

    const char* pszFunction = bUnregister ? "DllUnregisterServer" : "DllRegisterServer";
    // The library is not closed again: a server may have started threads that outlive the
    // call, and the process ends right after.
    void* hLibrary = ::dlopen(LoadablePath(pszLibrary).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (hLibrary == nullptr)
    {
        const char* pszError = ::dlerror();
        std::fprintf(stderr, "ovradio-regsvr: cannot load %s: %s\n", pszLibrary,
                     pszError ? pszError : "unknown error");
        return eNotLoaded;
    }
    const auto pfnRegistration = reinterpret_cast<SelfRegistration>(::dlsym(hLibrary, pszFunction));
    if (pfnRegistration == nullptr)
    {
        std::fprintf(stderr, "ovradio-regsvr: %s does not export %s: it is no in-process server\n",
                     pszLibrary, pszFunction);
        return eNoExport;
    }
    const HRESULT hr = pfnRegistration();
    if (FAILED(hr))
    {
        std::fprintf(stderr, "ovradio-regsvr: %s in %s failed: 0x%08X%s\n", pszFunction, pszLibrary,
                     static_cast<unsigned>(hr), KnownName(hr));
        return eCallFailed;
    }
    std::printf("%s in %s succeeded: 0x%08X\n", pszFunction, pszLibrary, static_cast<unsigned>(hr));
    return eDone;
}
