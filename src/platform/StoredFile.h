// The safe way to keep a small text file that several processes change (the registry
// file, the preferences file, the cache index): a change holds an exclusive flock on a
// lock file beside it that is never renamed, reads the current text under that lock, and
// writes the new text to a temporary file that is synced to the disk and renamed over the
// old one, and then syncs the folder. Readers need no lock: they see the old file or the
// new one, never a part, and no writer loses another's change, also across a crash or a
// power cut. Files are written private to their user (0600).
#pragma once

#include <stdexcept>
#include <string>

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
} // namespace platform
