#include "platform/Files.h"

#include "platform/AsciiText.h"
#include "platform/Mutex.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform
{
namespace
{
std::optional<struct stat> StatOf(const std::string& path)
{
    struct stat st
    {
    };
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return st;
}

// Wildcard match of a whole name: on a mismatch after a '*', the star takes one more
// character and the rest is tried again, so the match costs at most length x length.
bool MatchesPattern(const std::string& name, const std::string& pattern)
{
    std::size_t n = 0;
    std::size_t p = 0;
    std::size_t nStarPattern = std::string::npos;
    std::size_t nStarName = 0;
    while (n < name.size())
    {
        if (p < pattern.size() && pattern[p] == '*')
        {
            nStarPattern = p++;
            nStarName = n;
        }
        else if (p < pattern.size() &&
                 (pattern[p] == '?' || AsciiLower(pattern[p]) == AsciiLower(name[n])))
        {
            ++p;
            ++n;
        }
        else if (nStarPattern != std::string::npos)
        {
            p = nStarPattern + 1;
            n = ++nStarName;
        }
        else
        {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

std::chrono::system_clock::time_point ModificationTime(const struct stat& st)
{
    using namespace std::chrono;
    const auto since = seconds(st.st_mtim.tv_sec) + nanoseconds(st.st_mtim.tv_nsec);
    return system_clock::time_point(duration_cast<system_clock::duration>(since));
}

struct DirCloser
{
    void operator()(DIR* pDir) const { ::closedir(pDir); }
};

struct FreeSpaceState
{
    Mutex mutex;
    std::shared_ptr<const FreeSpaceFunction> override OVR_GUARDED_BY(mutex);
};

FreeSpaceState& FreeSpace()
{
    // Never destroyed: a size-management thread may still ask while the process exits.
    static FreeSpaceState* state = new FreeSpaceState;
    return *state;
}

ULONGLONG QueryFreeBytes(const std::string& folder)
{
    struct statvfs vfs
    {
    };
    if (::statvfs(folder.c_str(), &vfs) != 0)
        return 0;
    return static_cast<ULONGLONG>(vfs.f_bfree) * static_cast<ULONGLONG>(vfs.f_frsize);
}
} // namespace

bool FileExists(const std::string& path)
{
    const auto st = StatOf(path);
    return st && S_ISREG(st->st_mode);
}

bool FolderExists(const std::string& path)
{
    const auto st = StatOf(path);
    return st && S_ISDIR(st->st_mode);
}

std::optional<ULONGLONG> FileSize(const std::string& path)
{
    const auto st = StatOf(path);
    if (!st || !S_ISREG(st->st_mode))
        return std::nullopt;
    return static_cast<ULONGLONG>(st->st_size);
}

bool DeleteFile(const std::string& path)
{
    return ::unlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to)
{
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool CreateFolderChain(const std::string& path)
{
    if (path.empty())
    {
        errno = ENOENT;
        return false;
    }
    // Each folder from the top down; one that exists already (or that another thread or
    // process makes at the same moment) is fine.
    for (std::size_t nSlash = path.find('/', 1); nSlash != std::string::npos;
         nSlash = path.find('/', nSlash + 1))
    {
        if (path[nSlash - 1] != '/')
            ::mkdir(path.substr(0, nSlash).c_str(), 0777);
    }
    ::mkdir(path.c_str(), 0777);
    if (FolderExists(path))
        return true;
    if (errno == 0 || errno == EEXIST)
        errno = ENOTDIR;
    return false;
}

bool CreatePrivateFolder(const std::string& path)
{
    if (::mkdir(path.c_str(), 0700) == 0)
        return true;
    if (errno != EEXIST)
        return false;
    struct stat st
    {
    };
    if (::lstat(path.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode))
    {
        errno = ENOTDIR;
        return false;
    }
    if (st.st_uid != ::geteuid())
    {
        errno = EPERM;
        return false;
    }
    return (st.st_mode & 077) == 0 || ::chmod(path.c_str(), 0700) == 0;
}

bool SyncFolderOf(const std::string& path)
{
    const std::size_t nSlash = path.rfind('/');
    const std::string folder = nSlash == std::string::npos ? std::string(".")
                               : nSlash == 0               ? std::string("/")
                                                           : path.substr(0, nSlash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool bSynced = ::fsync(fd) == 0;
    ::close(fd);
    return bSynced;
}

std::vector<FoundFile> FindFiles(const std::string& folder, const std::string& pattern)
{
    std::vector<FoundFile> found;
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        return found;
    const int dirFd = ::dirfd(dir.get());
    while (const dirent* pEntry = ::readdir(dir.get()))
    {
        const std::string name = pEntry->d_name;
        if (name == "." || name == ".." || !MatchesPattern(name, pattern))
            continue;
        struct stat st
        {
        };
        if (::fstatat(dirFd, name.c_str(), &st, 0) != 0 || !S_ISREG(st.st_mode))
            continue;
        found.push_back({name, static_cast<ULONGLONG>(st.st_size), ModificationTime(st)});
    }
    std::sort(found.begin(), found.end(),
              [](const FoundFile& a, const FoundFile& b) { return a.name < b.name; });
    return found;
}

ULONGLONG FreeDiskBytes(const std::string& folder)
{
    std::shared_ptr<const FreeSpaceFunction> override;
    {
        FreeSpaceState& state = FreeSpace();
        MutexLock lock(state.mutex);
        override = state.override;
    }
    return override ? (*override)(folder) : QueryFreeBytes(folder);
}

void SetFreeSpaceOverride(FreeSpaceFunction function)
{
    auto shared =
        function ? std::make_shared<const FreeSpaceFunction>(std::move(function)) : nullptr;
    FreeSpaceState& state = FreeSpace();
    MutexLock lock(state.mutex);
    state.override = std::move(shared);
}
} // namespace platform
