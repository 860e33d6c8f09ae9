// The safe way to keep a small text file that several processes change (the registry
// file, the preferences file): a change holds an exclusive flock on a lock file beside
// it that is never renamed, reads the current text under that lock, and writes the new
// text to a temporary file that is renamed over the old one. Readers need no lock: they
// see the old file or the new one, never a part, and no writer loses another's change.
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

// The whole file; empty when it does not exist.
std::string ReadStoredFile(const std::string& strPath);

// Replaces the file's text through a temporary file and a rename; the new file keeps
// the old one's permissions.
void ReplaceStoredFile(const std::string& strPath, const std::string& strText);

// Holds flock(LOCK_EX) on strPath + ".lock" while it lives. Each holder opens the lock
// file afresh, so holders in one process exclude each other as holders in two do.
class StoredFileLock
{
public:
    explicit StoredFileLock(const std::string& strPath);

private:
    UniqueFd m_fd; // closing it releases the lock
};
} // namespace platform
