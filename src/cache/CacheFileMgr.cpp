#include "cache/CacheFileMgr.h"

#include "host/TracedLock.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Format.h"
#include "sequence/ExtM3uLongFieldType.h"
#include "sequence/ExtM3uStringFieldType.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace
{
// Opens with an exclusive lock, or gives -1: a file another opener holds counts as
// not openable, as a file opened without sharing on Windows. The cache folder may lie
// where others can write, so a symbolic link at the name is never followed (the part is
// then played from the network alone), and a new file is the user's alone.
int OpenExclusive(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string Line(const char* key, const std::string& value)
{
    return std::string(key) + value + "\n";
}

std::string Line(const char* key, DWORD value)
{
    return Line(key, std::to_string(value));
}

std::string LocalTimeText()
{
    const platform::SYSTEMTIME st = platform::GetLocalTime();
    return platform::FormatText("%04d-%02d-%02d %02d:%02d:%02d.%03d", st.wYear, st.wMonth, st.wDay,
                                st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
}

// Reads the header's fields in their order; the first that fails names the error.
class HeaderFields
{
public:
    explicit HeaderFields(std::string_view header) : m_strings(header), m_longs(header)
    {
        m_strings.SetDelimiter("\n");
        m_longs.SetDelimiter("\n");
    }

    bool Text(const char* key, std::string& into) { return m_strings.GetString(key, into); }

    bool Number(const char* key, DWORD& into)
    {
        LONG value = 0;
        if (!m_longs.GetLong(key, value))
            return false;
        into = static_cast<DWORD>(value);
        return true;
    }

private:
    CExtM3uStringFieldType m_strings;
    CExtM3uLongFieldType m_longs;
};
} // namespace

mcCacheFileMgr::mcCacheFileMgr(const std::string& path) : m_strPath(path)
{
    m_fd = OpenExclusive(path, O_RDWR);
    if (m_fd >= 0)
    {
        m_bExisted = true;
        return;
    }
    m_fd = OpenExclusive(path, O_RDWR | O_CREAT | O_EXCL);
    if (m_fd < 0)
    {
        const auto slash = path.rfind('/');
        if (slash != std::string::npos)
            CreateDirectories(path.substr(0, slash + 1));
        m_fd = OpenExclusive(path, O_RDWR | O_CREAT | O_EXCL);
    }
}

bool mcCacheFileMgr::IsOpen() const
{
    TracedLock lock(m_cs);
    return m_fd >= 0;
}

double mcCacheFileMgr::BytesRead() const
{
    TracedLock lock(m_cs);
    return m_dBytesRead;
}

double mcCacheFileMgr::BytesWritten() const
{
    TracedLock lock(m_cs);
    return m_dBytesWritten;
}

mcCacheFileMgr::~mcCacheFileMgr()
{
    Close();
}

bool mcCacheFileMgr::CreateDirectories(const std::string& folder)
{
    const auto slash = folder.rfind('/');
    if (folder.empty() || slash == std::string::npos)
        return true;
    const std::string parent = folder.substr(0, slash);
    CreateDirectories(parent);
    if (parent.empty())
        return true; // the root always exists
    return ::mkdir(parent.c_str(), 0700) == 0 || errno == EEXIST;
}

void mcCacheFileMgr::Close()
{
    TracedLock lock(m_cs, "mcCacheFileMgr::Close Entering CS");
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool mcCacheFileMgr::Delete()
{
    Close();
    return platform::DeleteFile(m_strPath);
}

double mcCacheFileMgr::GetSize() const
{
    TracedLock lock(m_cs);
    struct stat st
    {
    };
    if (m_fd < 0 || ::fstat(m_fd, &st) != 0)
        return 0;
    return static_cast<double>(st.st_size);
}

bool mcCacheFileMgr::PosToBegin()
{
    TracedLock lock(m_cs, "mcCacheFileMgr::PosToBegin Entering CS");
    return PosToBeginLocked();
}

bool mcCacheFileMgr::PosToBeginLocked()
{
    return m_fd >= 0 && ::lseek(m_fd, 0, SEEK_SET) == 0;
}

bool mcCacheFileMgr::Write(const void* pBuffer, DWORD dwLength, DWORD& dwWritten)
{
    TracedLock lock(m_cs, "mcCacheFileMgr::Write Entering CS");
    return WriteLocked(pBuffer, dwLength, dwWritten);
}

bool mcCacheFileMgr::WriteLocked(const void* pBuffer, DWORD dwLength, DWORD& dwWritten)
{
    dwWritten = 0;
    if (m_fd < 0)
        return false;
    const ssize_t n = ::write(m_fd, pBuffer, dwLength);
    if (n < 0)
        return false;
    dwWritten = static_cast<DWORD>(n);
    m_dBytesWritten += static_cast<double>(n);
    return true;
}

bool mcCacheFileMgr::Read(void* pBuffer, DWORD dwLength, DWORD& dwRead)
{
    TracedLock lock(m_cs, "mcCacheFileMgr::Read Entering CS");
    return ReadLocked(pBuffer, dwLength, dwRead);
}

bool mcCacheFileMgr::ReadLocked(void* pBuffer, DWORD dwLength, DWORD& dwRead)
{
    dwRead = 0;
    if (m_fd < 0)
        return false;
    const ssize_t n = ::read(m_fd, pBuffer, dwLength);
    if (n < 0)
        return false;
    dwRead = static_cast<DWORD>(n);
    m_dBytesRead += static_cast<double>(n);
    return true;
}

DWORD mcCacheFileMgr::WriteHeader(CacheFileHeader& header)
{
    TracedLock lock(m_cs, "mcCacheFileMgr::WriteHeader Entering CS");
    if (!PosToBeginLocked())
        return 0;
    std::vector<std::string> lines = {Line("headersize=", kHeaderSize),
                                      Line("trackid=", header.trackid),
                                      Line("cacheid=", header.cacheid),
                                      Line("policy=", header.policy),
                                      Line("bitrate=", header.bitrate),
                                      Line("channel=", header.channel),
                                      Line("freq=", header.freq),
                                      Line("format=", header.format),
                                      Line("filename=", header.filename),
                                      Line("tracksize=", header.tracksize),
                                      Line("trackcursize=", header.trackcursize)};
    const std::string stamp = LocalTimeText();
    lines.push_back(Line("lastaccess=", stamp));
    std::size_t total = 0;
    for (const auto& line : lines)
        total += line.size();
    if (total > kHeaderSize)
        return 0;
    header.lastaccess = stamp;

    DWORD written = 0;
    for (const auto& line : lines)
    {
        DWORD n = 0;
        WriteLocked(line.data(), static_cast<DWORD>(line.size()), n);
        written += n;
    }
    const std::vector<char> zeros(kHeaderSize - total, '\0');
    DWORD n = 0;
    if (!zeros.empty())
        WriteLocked(zeros.data(), static_cast<DWORD>(zeros.size()), n);
    // A write that failed part of the way (a full disk, a limit on the file's size) leaves
    // the position inside the header: the body is read and appended from byte 500 all
    // the same.
    ::lseek(m_fd, kHeaderSize, SEEK_SET);
    return written + n;
}

bool mcCacheFileMgr::ReadHeader(CacheFileHeader& header, std::string& error)
{
    TracedLock lock(m_cs, "mcCacheFileMgr::WriteHeader Entering CS");
    error.clear();
    std::array<char, kHeaderSize> bytes{};
    DWORD got = 0;
    if (!PosToBeginLocked() || !ReadLocked(bytes.data(), kHeaderSize, got) || got < kHeaderSize)
    {
        error = "ERROR!! In mcCacheFileMgr::ReadHeader, fread() return error";
        return false;
    }
    return ParseCacheFileHeader(std::string_view(bytes.data(), bytes.size()), header, error);
}

bool ParseCacheFileHeader(std::string_view bytes, CacheFileHeader& header, std::string& error)
{
    error.clear();
    HeaderFields fields(bytes);
    DWORD headerSize = 0;
    const auto fail = [&](const char* message)
    {
        error = message;
        return false;
    };
    if (!fields.Number("headersize=", headerSize))
        return fail("ERROR!! error in parsing kszHEADER_SIZE ");
    if (!fields.Text("trackid=", header.trackid))
        return fail("ERROR!! error in parsing kszTRACK_ID ");
    if (!fields.Text("cacheid=", header.cacheid))
        return fail("ERROR!! error in parsing kszTRACK_ID ");
    if (!fields.Text("policy=", header.policy))
        return fail("ERROR!! error in parsing kszVER_ID ");
    if (!fields.Number("bitrate=", header.bitrate))
        return fail("ERROR!! error in parsing kszBIT_RATE ");
    if (!fields.Number("channel=", header.channel))
        return fail("ERROR!! error in parsing kszCHANNEL ");
    if (!fields.Number("freq=", header.freq))
        return fail("ERROR!! error in parsing kszFREQ ");
    if (!fields.Text("format=", header.format))
        return fail("ERROR!! error in parsing kszFORMAT ");
    if (!fields.Text("filename=", header.filename))
        return fail("ERROR!! error in parsing kszFILE_NAME ");
    if (!fields.Number("tracksize=", header.tracksize))
        return fail("ERROR!! error in parsing kszSIZE ");
    if (!fields.Number("trackcursize=", header.trackcursize))
        return fail("ERROR!! error in parsing kszCUR_SIZE ");
    if (!fields.Text("lastaccess=", header.lastaccess))
        return fail("ERROR!! error in parsing kszLAST_ACCESS ");
    return true;
}

ULONGLONG GetDiskFreeSpaceBytes(const std::string& folder)
{
    return platform::FreeDiskBytes(folder);
}
