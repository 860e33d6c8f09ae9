// The sequence server client: builds each signed sequence request of a station, starts
// the download thread that carries it out and fills the sequence manager's track list,
// and aborts it. Keeps the session identifier and the last measured connection rate
// across runs (preferences). One per sequence manager, which owns it.
// Threads: the sequence manager starts requests (StartSequenceDownload, with its sequence
// lock held), any thread may abort or ask for the status, and the download thread runs
// beside them, one at a time per client. m_csRun guards which thread and parameters are
// the current ones; it is a leaf, held only to copy or replace them. The request clock,
// the version, the PJB flag and the last rate are used only by the thread that starts
// requests.
#pragma once

#include "platform/CriticalSection.h"
#include "platform/Http.h"
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
// A server address taken apart for the HTTP layer.
struct SServerAddress
{
    platform::http::EScheme eScheme = platform::http::EScheme::eHttp;
    std::string strHost;
    WORD nPort = 80;
    std::string strPathWithQuery;
};
// Splits an http or https URL into scheme, host, path with query and port (the scheme's
// when none); false when it is not a valid URL of those schemes or a part does not fit
// its buffer.
BOOL SplitUrl(const std::string& strUrl, SServerAddress& address);
// A session with the agent text whose HTTPS requests trust, besides the system's store,
// the certificates of the PEM file named by the preference "OVRadio"/"TlsCaFile" (read
// at each call, so a changed preference counts from the next request). Any thread.
std::shared_ptr<platform::http::Session> OpenHttpSession(const std::string& strAgent);
// The LOG= value: MD5 over the user identifier, the hours as decimal text and the salt,
// as 32 upper-case hexadecimal characters into out (33 bytes with the zero).
BOOL GenerateSequenceLogValue(DWORD dwHours, const std::string& strUid, char* pszOut);

class CServerIfc
{
public:
    // The manager's thread. Reads the preferences; blocks on nothing else.
    CServerIfc();
    // Aborts (waiting up to 10 s for the download thread) and waits without limit until no
    // time thread runs, then stores the last rate.
    virtual ~CServerIfc();
    CServerIfc(const CServerIfc&) = delete;
    CServerIfc& operator=(const CServerIfc&) = delete;

    // The sequence manager's thread, holding its sequence lock. Starts the download
    // thread and returns; blocks only when a download for another station runs, which it
    // aborts first (up to 10 s).
    BOOL StartSequenceDownload(std::string stationId, const std::shared_ptr<CTrackList>& pTrackList)
        OVR_EXCLUDES(m_csRun);
    // Any thread. Sets the abort, releases every waiter and ends the download: blocks up
    // to 10 s for the download thread (unless called on it, from inside its status
    // callback), and while that thread reads a line of an answer (it holds DownloadLock()).
    void Abort() OVR_EXCLUDES(m_csRun);
    // Any thread. Closes the request's handles (taking DownloadLock(), label
    // "TerminateDownload") and blocks up to dwTimeoutMs for the download thread.
    void TerminateDownload(DWORD dwTimeoutMs) OVR_EXCLUDES(m_csRun);
    // The manager's thread (Initialize). Never blocks.
    BOOL ResetAbort() OVR_EXCLUDES(m_csRun);
    // Any thread; never block beyond m_csRun.
    EDownloadStatus GetDownloadStatus() const OVR_EXCLUDES(m_csRun);
    // Why the last request failed when a server could not be trusted; empty otherwise.
    std::string FailureReason() const OVR_EXCLUDES(m_csRun)
    {
        return CurrentParams()->FailureReason();
    }
    bool IsRadioTracksDownloadActive() const OVR_EXCLUDES(m_csRun);
    void SetSeqAbort() OVR_EXCLUDES(m_csRun);
    // Any thread. Blocks up to dwMilliseconds until no download thread runs; true when none
    // runs.
    bool WaitForDownloadEnd(DWORD dwMilliseconds) const OVR_EXCLUDES(m_csRun);

    // The thread that starts requests (or before the first request).
    void ResetRequestClock() { m_bClockStarted = false; }
    BOOL RetrieveCommonInfo() OVR_EXCLUDES(m_csRun);
    void UpdateCCD() OVR_EXCLUDES(m_csRun);
    DWORD GetRequestClock();

    // The parameters of the current request, which the stream manager sets before a
    // request and reads after it. The reference stays valid until the next
    // StartSequenceDownload, so it is used on the thread that starts requests or between
    // them.
    SSequenceThreadParams& Params() OVR_EXCLUDES(m_csRun) { return *CurrentParams(); }
    const SSequenceThreadParams& Params() const OVR_EXCLUDES(m_csRun) { return *CurrentParams(); }
    // Set by the stream manager after construction, before the first request.
    void SetRateMeter(CConnectionRateMeter* pMeter) { m_pRateMeter = pMeter; }
    const std::string& SequenceUrl() const { return m_strSequenceUrl; }

    // Seconds after which a send is reported as delayed ("OVRadio"/"ServerWaitTimeLimit",
    // read by the stream manager at start; default 30). Any thread.
    static DWORD ServerWaitTimeLimit();
    static void SetServerWaitTimeLimit(DWORD dwSeconds);
    // Raises "ServerHttpRequestDelay" (category 7: the server path, the whole seconds, the
    // send's result as 1 or 0) when a send took the wait limit or longer. Any thread.
    static void ReportSendDelay(const std::string& strServerPath, DWORD dwSeconds, bool bSent);

private:
    // The current request's parameters and download thread, as one thread saw them.
    struct SRun
    {
        std::shared_ptr<SSequenceThreadParams> pParams;
        platform::Thread thread;
    };

    std::shared_ptr<SSequenceThreadParams> CurrentParams() const OVR_EXCLUDES(m_csRun);
    SRun CurrentRun() const OVR_EXCLUDES(m_csRun);
    void TerminateRun(const SRun& run, DWORD dwTimeoutMs) OVR_EXCLUDES(m_csRun);
    bool BuildRequestUrl(SSequenceThreadParams& params, const std::string& stationId,
                         const std::string& dispStation);
    std::shared_ptr<SSequenceThreadParams> ParamsForNewRequest() OVR_EXCLUDES(m_csRun);

    std::string m_strVersion;
    std::string m_strSequenceUrl;
    mutable platform::CriticalSection m_csRun;
    platform::Thread m_threadDownload OVR_GUARDED_BY(m_csRun);
    std::shared_ptr<SSequenceThreadParams> m_pParams OVR_GUARDED_BY(m_csRun);
    CConnectionRateMeter* m_pRateMeter = nullptr;
    bool m_bClockStarted = false;
    DWORD m_dwClockStart = 0;
    int m_nPJB = 0;
    double m_dLastCCD = 0.0;
};
