#include "platform/StoredFile.h"

#include "platform/Files.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{
namespace
{
std::string ErrnoText()
{
    return std::strerror(errno);
}

bool WriteAll(int fd, const std::string& text)
{
    std::size_t nDone = 0;
    while (nDone < text.size())
    {
        const ssize_t n = ::write(fd, text.data() + nDone, text.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        nDone += static_cast<std::size_t>(n);
    }
    return true;
}
} // namespace

bool UniqueFd::Close()
{
    const bool bClosed = m_fd < 0 || ::close(m_fd) == 0;
    m_fd = -1;
    return bClosed;
}

std::string ReadStoredFile(const std::string& strPath, ELinks links)
{
    const int nFlags = O_RDONLY | O_CLOEXEC | (links == ELinks::eRefuse ? O_NOFOLLOW : 0);
    const UniqueFd fd(::open(strPath.c_str(), nFlags));
    if (!fd)
    {
        if (errno == ENOENT)
            return {};
        throw StoredFileError("cannot be opened: " + ErrnoText());
    }
    std::string text;
    std::array<char, 8192> buffer;
    while (true)
    {
        const ssize_t n = ::read(fd.Get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw StoredFileError("cannot be read: " + ErrnoText());
        if (n == 0)
            return text;
        text.append(buffer.data(), static_cast<std::size_t>(n));
    }
}

void ReplaceStoredFile(const std::string& strPath, const std::string& strText)
{
    // mkostemp makes the temporary with O_EXCL and mode 0600: nothing planted under its
    // name is followed, and nobody else can read it while it is written.
    std::string tempPath = strPath + ".tmp-XXXXXX";
    UniqueFd fd(::mkostemp(tempPath.data(), O_CLOEXEC));
    if (!fd)
        throw StoredFileError("no temporary file can be made: " + ErrnoText());
    struct stat old
    {
    };
    // Never wider than 0600; narrower when the user made the old file so.
    if (::stat(strPath.c_str(), &old) == 0 && (old.st_mode & 0600) != 0600)
        ::fchmod(fd.Get(), old.st_mode & 0600);
    // The text reaches the disk before the rename, and the rename before the return: a
    // crash or a power cut leaves the old file or the new one, never a cut one.
    if (!WriteAll(fd.Get(), strText) || ::fsync(fd.Get()) != 0 || !fd.Close() ||
        ::rename(tempPath.c_str(), strPath.c_str()) != 0)
    {
        const std::string problem = "cannot be written: " + ErrnoText();
        ::unlink(tempPath.c_str());
        throw StoredFileError(problem);
    }
    if (!SyncFolderOf(strPath))
        throw StoredFileError("its folder cannot be synced: " + ErrnoText());
}

StoredFileLock::StoredFileLock(const std::string& strPath)
    : m_fd(::open((strPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600))
{
    if (!m_fd)
        throw StoredFileError("the lock file cannot be opened: " + ErrnoText());
    while (::flock(m_fd.Get(), LOCK_EX) != 0)
    {
        if (errno != EINTR)
            throw StoredFileError("the lock file cannot be locked: " + ErrnoText());
    }
}

std::optional<FileStamp> SettledStamp(const std::string& strPath, std::chrono::seconds settledAfter)
{
    struct stat info
    {
    };
    timespec now{};
    if (::stat(strPath.c_str(), &info) != 0 || ::clock_gettime(CLOCK_REALTIME, &now) != 0)
        return std::nullopt;
    const auto Ns = [](const timespec& t) { return t.tv_sec * 1'000'000'000LL + t.tv_nsec; };
    const FileStamp stamp{info.st_dev, info.st_ino, info.st_size, Ns(info.st_mtim),
                          Ns(info.st_ctim)};
    const long long nSettledNs =
        std::chrono::duration_cast<std::chrono::nanoseconds>(settledAfter).count();
    if (Ns(now) - stamp.nChangedNs < nSettledNs)
        return std::nullopt;
    return stamp;
}
} // namespace platform
