// One cache file: a 500-byte text header, then the track's cacheable bytes as received.
// Owned by the content source that reads or writes the track through the disk cache.
// Opened exclusively (as Windows' share mode 0: a second opener in any process fails),
// so one file never has two writers; never through a symbolic link, and made 0600 in
// folders made 0700. Any thread; every operation but the deletion itself
// takes the lock m_cs (a leaf) for its own file calls, so a call blocks only while another
// thread's read or write of a block runs.
#pragma once

#include "cache/CacheFileHeader.h"
#include "platform/CriticalSection.h"
#include "platform/Types.h"

#include <string>
#include <string_view>

class mcCacheFileMgr
{
public:
    static constexpr DWORD kHeaderSize = 500;

    // Opens the file when it exists, else creates it (and its folders).
    explicit mcCacheFileMgr(const std::string& path);
    ~mcCacheFileMgr();
    mcCacheFileMgr(const mcCacheFileMgr&) = delete;
    mcCacheFileMgr& operator=(const mcCacheFileMgr&) = delete;

    // Creates the folder chain up to the last '/' of the text (a text ending in '/' makes
    // its own last folder). True when the last folder exists afterwards.
    static bool CreateDirectories(const std::string& folder);

    bool IsOpen() const OVR_EXCLUDES(m_cs);
    bool Existed() const { return m_bExisted; }
    const std::string& Path() const { return m_strPath; }

    void Close() OVR_EXCLUDES(m_cs);
    bool Delete() OVR_EXCLUDES(m_cs);
    // Under the lock as well, so that it never asks about a handle being closed.
    double GetSize() const OVR_EXCLUDES(m_cs);
    DWORD GetHeaderSize() const { return kHeaderSize; }
    bool PosToBegin() OVR_EXCLUDES(m_cs);
    bool Write(const void* pBuffer, DWORD dwLength, DWORD& dwWritten) OVR_EXCLUDES(m_cs);
    bool Read(void* pBuffer, DWORD dwLength, DWORD& dwRead) OVR_EXCLUDES(m_cs);

    // Writes the header (stamping lastaccess) and leaves the position at byte 500.
    // Returns the bytes written: 500 on success. Lines that would not fit in 500 bytes
    // are not written at all (0), so such a file never passes as a cache file.
    DWORD WriteHeader(CacheFileHeader& header) OVR_EXCLUDES(m_cs);
    bool ReadHeader(CacheFileHeader& header, std::string& error) OVR_EXCLUDES(m_cs);

    double BytesRead() const OVR_EXCLUDES(m_cs);
    double BytesWritten() const OVR_EXCLUDES(m_cs);

private:
    bool PosToBeginLocked() OVR_REQUIRES(m_cs);
    bool WriteLocked(const void* pBuffer, DWORD dwLength, DWORD& dwWritten) OVR_REQUIRES(m_cs);
    bool ReadLocked(void* pBuffer, DWORD dwLength, DWORD& dwRead) OVR_REQUIRES(m_cs);

    mutable platform::CriticalSection m_cs;
    int m_fd OVR_GUARDED_BY(m_cs) = -1;
    const std::string m_strPath;
    bool m_bExisted = false;
    double m_dBytesRead OVR_GUARDED_BY(m_cs) = 0;
    double m_dBytesWritten OVR_GUARDED_BY(m_cs) = 0;
};

// Reads the fields of a header's bytes in their order into header; the first field that
// cannot be read ends the reading with its message in error (fields before it stay set).
bool ParseCacheFileHeader(std::string_view bytes, CacheFileHeader& header, std::string& error);

// Free bytes of the disk that holds the folder (all free bytes, not only the caller's
// share); 0 when unknown.
ULONGLONG GetDiskFreeSpaceBytes(const std::string& folder);
