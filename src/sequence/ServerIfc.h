// The sequence server client: builds each signed sequence request of a station, starts
// the download thread that carries it out and fills the sequence manager's track list,
// and aborts it. Keeps the session identifier and the last measured connection rate
// across runs (preferences). One per sequence manager, called from the stream manager's
// threads; the download thread runs beside them, one at a time per client.
#pragma once

#include "platform/Thread.h"
#include "platform/Types.h"
#include "sequence/SequenceThreadParams.h"

#include <memory>
#include <string>

class CConnectionRateMeter;
class CTrackList;

// Buffer sizes of the request: the whole URL (with its terminating zero) and each
// encoded value.
inline constexpr std::size_t kRequestUrlBufferSize = 2088;
inline constexpr std::size_t kEncodedValueBufferSize = 2085;
inline constexpr std::size_t kUrlPartMaxChars = 2083;

// URL encoding in place: every byte but 0-9, A-Z, a-z and $-_.+!*'() becomes %XX (upper
// case). False, with the text left as it was, when the result would not fit its buffer.
bool EncodeText(std::string& text);
// Splits a URL into host, path with query and port (80 when none); false when it is not
// a valid URL or a part does not fit its buffer.
BOOL SplitUrl(const std::string& strUrl, std::string& strHost, std::string& strPathWithQuery,
              WORD& nPort);
// The LOG= value: MD5 over the user identifier, the hours as decimal text and the salt,
// as 32 upper-case hexadecimal characters into out (33 bytes with the zero).
BOOL GenerateSequenceLogValue(DWORD dwHours, const std::string& strUid, char* pszOut);

class CServerIfc
{
public:
    CServerIfc();
    virtual ~CServerIfc();
    CServerIfc(const CServerIfc&) = delete;
    CServerIfc& operator=(const CServerIfc&) = delete;

    BOOL StartSequenceDownload(std::string stationId,
                               const std::shared_ptr<CTrackList>& pTrackList);
    void Abort();
    void TerminateDownload(DWORD dwTimeoutMs);
    BOOL ResetAbort();
    int GetDownloadStatus() const { return m_pParams->nDownloadStatus; }
    bool IsRadioTracksDownloadActive() const;
    void ResetRequestClock() { m_bClockStarted = false; }
    BOOL RetrieveCommonInfo();
    // Waits up to dwMilliseconds until no download thread runs; true when none runs.
    bool WaitForDownloadEnd(DWORD dwMilliseconds) const
    {
        return m_threadDownload.Wait(dwMilliseconds) == platform::WAIT_OBJECT_0;
    }
    void UpdateCCD();
    DWORD GetRequestClock();

    // The parameters of the current request, which the stream manager sets and reads.
    SSequenceThreadParams& Params() { return *m_pParams; }
    const SSequenceThreadParams& Params() const { return *m_pParams; }
    void SetRateMeter(CConnectionRateMeter* pMeter) { m_pRateMeter = pMeter; }
    void SetSeqAbort() { m_pParams->bSeqAbort = 1; }
    const std::string& SequenceUrl() const { return m_strSequenceUrl; }

    // Seconds after which a send is reported as delayed ("OVRadio"/"ServerWaitTimeLimit",
    // read by the stream manager at start; default 30).
    static DWORD ServerWaitTimeLimit();
    static void SetServerWaitTimeLimit(DWORD dwSeconds);

private:
    bool BuildRequestUrl(const std::string& stationId, const std::string& dispStation);
    void RenewParamsIfStillUsed();

    std::string m_strVersion;
    std::string m_strSequenceUrl;
    platform::Thread m_threadDownload;
    std::shared_ptr<SSequenceThreadParams> m_pParams;
    CConnectionRateMeter* m_pRateMeter = nullptr;
    bool m_bClockStarted = false;
    DWORD m_dwClockStart = 0;
    int m_nPJB = 0;
    double m_dLastCCD = 0.0;
};
