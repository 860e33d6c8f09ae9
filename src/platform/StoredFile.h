// The safe way to keep a small text file that several processes change (the registry
// file, the preferences file, the cache index): a change holds an exclusive flock on a
// lock file beside it that is never renamed, reads the current text under that lock, and
// writes the new text to a temporary file that is synced to the disk and renamed over the
// old one, and then syncs the folder. Readers need no lock: they see the old file or the
// new one, never a part, and no writer loses another's change, also across a crash or a
// power cut. Files are written private to their user (0600).
#pragma once

#include "platform/Mutex.h"

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/types.h>

namespace platform
{
// A stored file that cannot be read, written or locked; the text says why.
class StoredFileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// An owned file descriptor.
class UniqueFd
{
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    ~UniqueFd() { Close(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    // Closes now, telling whether the close succeeded (it reports late write errors).
    bool Close();

private:
    int m_fd;
};

// Whether opening a file follows a symbolic link at its name: files in a folder that
// others may write to are opened with eRefuse, so that nobody can point them elsewhere.
enum class ELinks
{
    eFollow,
    eRefuse
};

// The whole file; empty when it does not exist. With eRefuse a symbolic link is an error.
std::string ReadStoredFile(const std::string& strPath, ELinks links = ELinks::eFollow);

// Replaces the file's text through a temporary file (O_EXCL), fsync and a rename, then
// syncs the folder. The new file is 0600, or narrower when the old one was. A symbolic
// link at the name is replaced, never followed.
void ReplaceStoredFile(const std::string& strPath, const std::string& strText);

// Holds flock(LOCK_EX) on strPath + ".lock" (0600, never followed through a link) while
// it lives. Each holder opens the lock
// file afresh, so holders in one process exclude each other as holders in two do.
class StoredFileLock
{
public:
    explicit StoredFileLock(const std::string& strPath);

private:
    UniqueFd m_fd; // closing it releases the lock
};

// What stat tells of a file's content at one moment.
struct FileStamp
{
    dev_t device = 0;
    ino_t inode = 0;
    off_t nSize = 0;
    long long nModifiedNs = 0;
    long long nChangedNs = 0;

    bool operator==(const FileStamp&) const = default;
};

// A file whose last change (its ctime) lies at least this far back is settled.
constexpr std::chrono::seconds kFileSettledAfter{2};

// The stamp of the file at strPath when it is settled; nothing when it is younger, missing
// or cannot be looked at. Only a settled stamp tells one content from another: the file
// system's times are coarse, and a file replaced twice within one tick can show its old
// stamp again (the inode number the first rename freed is handed to the second file).
// Real time, not the platform clock: file times are real.
std::optional<FileStamp> SettledStamp(const std::string& strPath,
                                      std::chrono::seconds settledAfter = kFileSettledAfter);

// A value made from a stored file's text, kept while the file stays settled and as it
// was, so that asking again costs one stat instead of reading and parsing. A file changed
// within the last seconds is read every time. Any thread; Get blocks only on the file and
// holds the cache's lock just to look up or store, never while it reads or parses. parse
// may throw; nothing is kept then.
template <class T>
class SettledFileCache
{
public:
    explicit SettledFileCache(std::chrono::seconds settledAfter = kFileSettledAfter)
        : m_settledAfter(settledAfter)
    {
    }

    template <class Parse>
    std::shared_ptr<const T> Get(const std::string& strPath, Parse parse) OVR_EXCLUDES(m_mutex)
    {
        const std::optional<FileStamp> before = SettledStamp(strPath, m_settledAfter);
        if (before)
        {
            MutexLock lock(m_mutex);
            if (m_stamp == before && m_strPath == strPath)
                return m_value;
        }
        std::shared_ptr<const T> value = std::make_shared<const T>(parse(ReadStoredFile(strPath)));
        // Kept only when the file was the same settled one before and after the read.
        if (before && SettledStamp(strPath, m_settledAfter) == before)
        {
            MutexLock lock(m_mutex);
            m_strPath = strPath;
            m_stamp = before;
            std::swap(m_value, value); // the old value is let go after the lock
            return m_value;
        }
        return value;
    }

private:
    const std::chrono::seconds m_settledAfter;
    Mutex m_mutex;
    std::string m_strPath OVR_GUARDED_BY(m_mutex);
    std::optional<FileStamp> m_stamp OVR_GUARDED_BY(m_mutex);
    std::shared_ptr<const T> m_value OVR_GUARDED_BY(m_mutex);
};
} // namespace platform
