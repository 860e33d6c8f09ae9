#include "TrackSink.h"

#include "PlayError.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace fs = std::filesystem;

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
    m_strPartPath = (fs::path(m_strFolder) / ("." + strFileName + ".part")).string();
    m_pFile = std::fopen(m_strPartPath.c_str(), "wb");
    if (m_pFile == nullptr)
        throw CPlayError("cannot write " + m_strPartPath + ": " + std::strerror(errno));
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
