#include "platform/RuntimeFolder.h"

#include "platform/Files.h"

#include <cstdlib>
#include <pwd.h>
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

// $HOME, else the user's home in the password database.
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
    return home.empty() ? std::string("/tmp") : home;
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
    return WithoutTrailingSlashes(HomeFolder()) + "/.config/ovradio";
}
} // namespace

std::string RuntimeFolder()
{
    const std::string folder = WithoutTrailingSlashes(ChooseFolder());
    // A folder that cannot be made shows up as failing file operations in it.
    CreateFolderChain(folder);
    return folder;
}
} // namespace platform
