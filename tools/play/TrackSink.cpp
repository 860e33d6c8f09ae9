#include "TrackSink.h"

#include "PlayError.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{
// A new file of our own at the path: never through a symbolic link, never into a file
// someone else made (the folder may be shared). A part left by an earlier run is
// replaced; a name that is taken again at once fails.
std::FILE* OpenPart(const std::string& strPath)
{
    constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(strPath.c_str(), kFlags, 0666);
    if (fd < 0 && errno == EEXIST && ::unlink(strPath.c_str()) == 0)
        fd = ::open(strPath.c_str(), kFlags, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE* pFile = ::fdopen(fd, "wb");
    if (pFile == nullptr)
        ::close(fd);
    return pFile;
}
} // namespace

CTrackSink::CTrackSink(const std::string& strFolder, bool bStdout)
    : m_strFolder(strFolder), m_bStdout(bStdout)
{
    if (m_strFolder.empty())
        return;
    std::error_code error;
    fs::create_directories(m_strFolder, error);
    if (error || !fs::is_directory(m_strFolder))
        throw CPlayError("cannot create the folder " + m_strFolder + ": " +
                         (error ? error.message() : "a file of that name is in the way"));
}

CTrackSink::~CTrackSink()
{
    Abandon();
}

void CTrackSink::Begin(const std::string& strFileName)
{
    Abandon();
    if (m_strFolder.empty())
        return;
    m_strPath = (fs::path(m_strFolder) / strFileName).string();
    const std::string strPartPath =
        (fs::path(m_strFolder) / ("." + strFileName + ".part")).string();
    m_pFile = OpenPart(strPartPath);
    if (m_pFile == nullptr)
        throw CPlayError("cannot write " + strPartPath + ": " + std::strerror(errno));
    m_strPartPath = strPartPath; // ours from now on: Abandon removes it
}

bool CTrackSink::Write(const char* pData, std::size_t nBytes)
{
    if (m_pFile != nullptr)
    {
        if (std::fwrite(pData, 1, nBytes, m_pFile) != nBytes)
            throw CPlayError("cannot write " + m_strPartPath + ": " + std::strerror(errno));
        return true;
    }
    if (!m_bStdout)
        return true;
    while (nBytes > 0)
    {
        const ssize_t nWritten = ::write(STDOUT_FILENO, pData, nBytes);
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten < 0 && errno == EPIPE)
            return false;
        if (nWritten <= 0)
            throw CPlayError(std::string("cannot write to standard output: ") +
                             std::strerror(errno));
        pData += nWritten;
        nBytes -= static_cast<std::size_t>(nWritten);
    }
    return true;
}

std::string CTrackSink::Finish()
{
    if (m_pFile == nullptr)
        return {};
    const bool bWritten = std::fclose(m_pFile) == 0;
    m_pFile = nullptr;
    if (!bWritten)
        throw CPlayError("cannot write " + m_strPartPath + ": " + std::strerror(errno));
    std::error_code error;
    fs::rename(m_strPartPath, m_strPath, error);
    if (error)
        throw CPlayError("cannot name the track " + m_strPath + ": " + error.message());
    m_strPartPath.clear();
    return m_strPath;
}

void CTrackSink::Abandon()
{
    if (m_pFile != nullptr)
    {
        std::fclose(m_pFile);
        m_pFile = nullptr;
    }
    if (!m_strPartPath.empty())
    {
        std::error_code error;
        fs::remove(m_strPartPath, error);
        m_strPartPath.clear();
    }
}
