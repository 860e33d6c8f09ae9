// The station server as a process of its own (ovradio-station on a free loopback port with
// a scenario written for the run), and what curl measures against it: the time answer,
// a signed sequence request and a content address, each with curl's own timings.
#pragma once

#include "Child.h"

#include <memory>
#include <string>

namespace bench
{
// The identifier the benchmark's requests carry (OVUID), and the text after its last ':'.
inline constexpr const char* kOvuid = "bench%3AU1";
inline constexpr const char* kIdentifier = "U1";

// The certificate a station serves TLS with, and the authority's file that curl and the
// engine are told to trust.
struct STlsStation
{
    std::string strCertFile;
    std::string strKeyFile;
    std::string strCaFile;
};

class CStationProcess
{
public:
    // Starts strBinDir/ovradio-station with the scenario's rules (over TLS when pTls is
    // given); throws std::runtime_error when it does not start listening within a few
    // seconds.
    CStationProcess(const std::string& strBinDir, const std::string& strScenario,
                    const STlsStation* pTls = nullptr);
    ~CStationProcess();
    CStationProcess(const CStationProcess&) = delete;
    CStationProcess& operator=(const CStationProcess&) = delete;

    const std::string& BaseUrl() const { return m_strBaseUrl; }
    // The engine's time server preference: host:port for plain HTTP, the whole address
    // over TLS.
    std::string TimeServer() const;
    // The authority's file to trust; empty for plain HTTP.
    const std::string& CaFile() const { return m_strCaFile; }

private:
    std::string m_strCaFile;
    std::string m_strScenarioPath;
    std::unique_ptr<CChild> m_pChild;
    std::string m_strBaseUrl;
};

struct SCurlTimes
{
    bool bOk = false;
    double dTotal = 0.0;         // seconds, whole request
    double dStartTransfer = 0.0; // seconds, until the first body byte
    double dBytes = 0.0;
    double dWall = 0.0;  // seconds, the curl process from start to exit
    double dCpu = 0.0;   // seconds of CPU, the whole curl process
    std::string strBody; // when kept
};

// curl fetching the address (POST when bPost) with the body to /dev/null, or kept;
// trusting strCaFile's authority when it is not empty.
SCurlTimes CurlFetch(const std::string& strUrl, bool bPost, bool bKeepBody,
                     const std::string& strCaFile = "");

// The time request's address, and the sequence request's address of a station signed for
// the station's current hour (read with a time request); empty when the time answer has
// no time stamp.
std::string TimeUrl(const CStationProcess& station);
std::string SequenceUrl(const CStationProcess& station, const std::string& strStationId);
// The first track's content address in a sequence answer; empty when there is none.
std::string FirstSongUrl(const std::string& strSequenceBody);
} // namespace bench
