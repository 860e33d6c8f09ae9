#include "platform/RuntimeFolder.h"

#include "platform/DebugOutput.h"
#include "platform/Files.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform
{
namespace
{
std::string Environment(const char* pszName)
{
    const char* pszValue = std::getenv(pszName);
    return pszValue != nullptr ? std::string(pszValue) : std::string();
}

// $HOME, else the user's home in the password database; empty when neither tells.
std::string HomeFolder()
{
    std::string home = Environment("HOME");
    if (!home.empty())
        return home;
    long nSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(nSize > 0 ? static_cast<std::size_t>(nSize) : 16384);
    passwd entry{};
    passwd* pResult = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &pResult) == 0 &&
        pResult != nullptr && pResult->pw_dir != nullptr)
        home = pResult->pw_dir;
    return home;
}

// A user without a home keeps the folder in /tmp, in a folder of the user's own: one
// that another user made first under that name is refused, and the files then go nowhere
// (every operation on them fails) rather than into a folder someone else can read.
std::string PrivateTempFolder()
{
    const std::string folder = "/tmp/ovradio-" + std::to_string(::geteuid());
    if (CreatePrivateFolder(folder))
        return folder;
    DebugOutput("platform::RuntimeFolder - " + folder +
                " is not this user's own folder; nothing is kept\n");
    return "/dev/null/ovradio";
}

std::string WithoutTrailingSlashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string ChooseFolder()
{
    std::string folder = Environment("OVRADIO_HOME");
    if (!folder.empty())
        return folder;
    // A relative XDG_CONFIG_HOME is invalid and ignored, as the base directory rules say.
    const std::string config = Environment("XDG_CONFIG_HOME");
    if (!config.empty() && config.front() == '/')
        return WithoutTrailingSlashes(config) + "/ovradio";
    const std::string home = HomeFolder();
    if (home.empty())
        return PrivateTempFolder();
    return WithoutTrailingSlashes(home) + "/.config/ovradio";
}
} // namespace

std::string RuntimeFolder()
{
    const std::string folder = WithoutTrailingSlashes(ChooseFolder());
    // A folder that cannot be made shows up as failing file operations in it. Its parents
    // are made as any folder; the folder itself is made private (0700): it holds the user
    // identifier and the signed addresses. An existing folder keeps the mode it has.
    if (::mkdir(folder.c_str(), 0700) != 0 && errno == ENOENT)
    {
        const std::size_t nSlash = folder.rfind('/');
        if (nSlash != std::string::npos && nSlash > 0)
            CreateFolderChain(folder.substr(0, nSlash));
        ::mkdir(folder.c_str(), 0700);
    }
    return folder;
}
} // namespace platform
