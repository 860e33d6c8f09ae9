#include "Station.h"

#include "host/Md5.h"
#include "support/ContentSigning.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <unistd.h>

namespace bench
{
namespace
{
constexpr auto kStartLimit = std::chrono::seconds(20);
constexpr auto kCurlLimit = std::chrono::seconds(120);
} // namespace

CStationProcess::CStationProcess(const std::string& strBinDir, const std::string& strScenario,
                                 const STlsStation* pTls)
    : m_strCaFile(pTls ? pTls->strCaFile : std::string())
{
    char szPath[] = "/tmp/ovr-bench-scenario-XXXXXX";
    const int hFile = ::mkstemp(szPath);
    if (hFile < 0)
        throw std::runtime_error("cannot write the station's scenario");
    ::close(hFile);
    m_strScenarioPath = szPath;
    std::ofstream(m_strScenarioPath) << strScenario;
    std::vector<std::string> argv{strBinDir + "/ovradio-station",
                                  "--port",
                                  "0",
                                  "--scenario",
                                  m_strScenarioPath,
                                  "--music-cache",
                                  ""};
    if (pTls)
        argv.insert(argv.end(), {"--tls-cert", pTls->strCertFile, "--tls-key", pTls->strKeyFile});
    m_pChild = std::make_unique<CChild>(argv, true);
    const std::string strLine = m_pChild->FirstLine(kStartLimit);
    const std::string strPrefix = "listening on ";
    if (strLine.rfind(strPrefix, 0) != 0)
        throw std::runtime_error("ovradio-station did not start listening: \"" + strLine + "\"");
    m_strBaseUrl = strLine.substr(strPrefix.size());
}

CStationProcess::~CStationProcess()
{
    m_pChild->Signal(SIGTERM);
    m_pChild->Wait(std::chrono::seconds(10));
    ::unlink(m_strScenarioPath.c_str());
}

std::string CStationProcess::TimeServer() const
{
    const std::string strScheme = "http://";
    return m_strCaFile.empty() ? m_strBaseUrl.substr(strScheme.size()) : m_strBaseUrl;
}

SCurlTimes CurlFetch(const std::string& strUrl, bool bPost, bool bKeepBody,
                     const std::string& strCaFile)
{
    char szBody[] = "/tmp/ovr-bench-curl-XXXXXX";
    std::string strBodyPath = "/dev/null";
    if (bKeepBody)
    {
        const int hFile = ::mkstemp(szBody);
        if (hFile < 0)
            return {};
        ::close(hFile);
        strBodyPath = szBody;
    }
    std::vector<std::string> argv = {"/usr/bin/curl",
                                     "-s",
                                     "-f",
                                     "-o",
                                     strBodyPath,
                                     "-w",
                                     "%{time_total} %{time_starttransfer} %{size_download}"};
    if (bPost)
        argv.insert(argv.end(), {"-X", "POST"});
    if (!strCaFile.empty())
        argv.insert(argv.end(), {"--cacert", strCaFile});
    argv.push_back(strUrl);
    const SChildResult result = Run(argv, true, kCurlLimit);
    SCurlTimes times;
    times.dWall = result.dWallSeconds;
    times.dCpu = result.CpuSeconds();
    times.bOk = result.bExited && result.nExitCode == 0 &&
                std::sscanf(result.strOutput.c_str(), "%lf %lf %lf", &times.dTotal,
                            &times.dStartTransfer, &times.dBytes) == 3;
    if (bKeepBody)
    {
        std::ifstream in(strBodyPath, std::ios::binary);
        times.strBody.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        ::unlink(strBodyPath.c_str());
    }
    return times;
}

std::string TimeUrl(const CStationProcess& station)
{
    return station.BaseUrl() + "/ovdk/radiotime?VERSION=1.0&OVUID=" + kOvuid;
}

std::string SequenceUrl(const CStationProcess& station, const std::string& strStationId)
{
    const SCurlTimes time = CurlFetch(TimeUrl(station), false, true, station.CaFile());
    const std::string strKey = "strTimeStamp=\"";
    const std::size_t nAt = time.strBody.find(strKey);
    if (!time.bOk || nAt == std::string::npos)
        return {};
    const long long nSeconds = std::atoll(time.strBody.c_str() + nAt + strKey.size());
    host::CMd5 md5;
    md5.Add(std::string(kIdentifier) + std::to_string(nSeconds / 3600) +
            "Harbor Lantern Quill Meadow Signal");
    return station.BaseUrl() + "/sequence.m3u?REQUEST=RADIO_TRACKS&STATION_ID=" + strStationId +
           "&OVUID=" + kOvuid + "&LOG=" + md5.FinishHex();
}

std::string FirstSongUrl(const std::string& strSequenceBody)
{
    const std::string strKey = "::songurl=";
    const std::size_t nAt = strSequenceBody.find(strKey);
    if (nAt == std::string::npos)
        return {};
    const std::size_t nStart = nAt + strKey.size();
    const std::size_t nEnd = strSequenceBody.find("::", nStart);
    return testsupport::Decode(strSequenceBody.substr(nStart, nEnd - nStart));
}
} // namespace bench
