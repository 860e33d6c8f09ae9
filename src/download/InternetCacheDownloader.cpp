#include "download/InternetCacheDownloader.h"

#include "download/TrackCache.h"
#include "download/TrackCacheOwner.h"
#include "host/Md5.h"
#include "host/Preferences.h"
#include "host/Trace.h"
#include "host/TracedLock.h"
#include "host/UserId.h"
#include "host/WorkerError.h"
#include "hostlibs/EventMgr.h"
#include "platform/Clock.h"
#include "platform/Format.h"
#include "platform/Http.h"
#include "platform/OsVersion.h"
#include "sequence/ConnectionRateMeter.h"
#include "sequence/ServerIfc.h"
#include "sequence/Stopwatch.h"
#include "sequence/TrackInfo.h"

#include <algorithm>

namespace http = platform::http;

namespace
{
constexpr DWORD kVersionBufferSize = 256;
constexpr std::size_t kLastResponseChars = 255;
constexpr const char* kRepairPhrase = "Tuner Link Repair Note";

std::shared_ptr<CConnectionRateMeter> RateMeterOf(CTrackCache* pTrackCache)
{
    if (pTrackCache == nullptr || pTrackCache->GetOwner() == nullptr)
        return nullptr;
    return pTrackCache->GetOwner()->GetRateMeter();
}

// A failure that a later request may not meet: the connection was refused, reset or timed
// out, or the server answered 5xx, 408 or 429 (Retry-After in ms, 0 without one). Outside
// an outage it is a failure like any other.
class CTransientFailure : public CWorkerError
{
public:
    CTransientFailure(const std::string& strMessage, DWORD dwError, DWORD dwRetryAfterMs)
        : CWorkerError(strMessage, dwError), m_dwRetryAfterMs(dwRetryAfterMs)
    {
    }
    DWORD RetryAfterMs() const { return m_dwRetryAfterMs; }

private:
    DWORD m_dwRetryAfterMs;
};

bool IsTransientStatus(DWORD dwStatus)
{
    return (dwStatus >= 500 && dwStatus <= 599) || dwStatus == 408 || dwStatus == 429;
}

// Puts a value back when the scope ends, however it ends.
class CRestore
{
public:
    CRestore(std::string& strTarget, std::string strValue)
        : m_strTarget(strTarget), m_strValue(std::move(strValue))
    {
    }
    ~CRestore() { m_strTarget = std::move(m_strValue); }
    CRestore(const CRestore&) = delete;
    CRestore& operator=(const CRestore&) = delete;

private:
    std::string& m_strTarget;
    std::string m_strValue;
};

} // namespace

mcInternetCacheDownloader::mcInternetCacheDownloader(const std::string& strUrl,
                                                     DWORD dwContentLength,
                                                     CTrackCache* pTrackCache, DWORD dwRetryLimit,
                                                     DWORD dwChunkSize, DWORD dwLowWater,
                                                     DWORD dwHighWater, DWORD dwPipeSize)
    : mcCacheDownloader(pTrackCache, dwChunkSize, dwLowWater, dwHighWater, dwPipeSize),
      m_strUrl(strUrl), m_strTrackName(TrackName()), m_dwContentLength(dwContentLength),
      m_dwRetryLimit(dwRetryLimit), m_pRateMeter(RateMeterOf(pTrackCache)),
      m_jitter(std::random_device{}())
{
}

mcInternetCacheDownloader::~mcInternetCacheDownloader()
{
    // The feeder runs this class's feed operations: it ends before any of them goes.
    StopFeeder();
    TracedLock lock(m_csInternet, "mcInternetCacheDownloader::~mcInternetCacheDownloader", 0);
    CloseInternetHandles();
}

const std::string& mcInternetCacheDownloader::AgentText()
{
    static const std::string strAgent = []
    {
        std::string strVersion;
        host::PrefEasySafeQueryString("MainApp", "Version", kVersionBufferSize, strVersion);
        return platform::FormatText("Orvale Deck %s (%s)", strVersion.c_str(),
                                    platform::OsFamilyName());
    }();
    return strAgent;
}

BOOL mcInternetCacheDownloader::Abort()
{
    m_bAbort = TRUE;
    CloseInternetHandles();
    return AbortBase();
}

void mcInternetCacheDownloader::InitFeedData()
{
    TracedLock lock(m_csInternet, "mcInternetCacheDownloader::InitFeedData CS Entry", 0);
    InternetOpenAllHandles();
    SetConnected(TRUE);
}

void mcInternetCacheDownloader::FeedData(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot)
{
    TracedLock lock(m_csInternet, "mcInternetCacheDownloader::FeedData CS Entry", 0);
    InternetReadData(pBuffer, pdwSize, pdwGot);
}

void mcInternetCacheDownloader::UnInitFeedData()
{
    TracedLock lock(m_csInternet, "mcInternetCacheDownloader::UnInitFeedData CS Entry", 0);
    CloseInternetHandles();
    if (m_dwRecoveryAttempts > 0)
    {
        mcEvent event(eEventCategoryInfo, "AttemptErrorRecovery");
        event.AddParameter("TrackName", m_strTrackName.c_str());
        event.AddParameter("NumberOfAttempts", static_cast<int>(m_dwRecoveryAttempts.load()));
        GetEventMgr()->PostEvent(event);
    }
}

DWORD mcInternetCacheDownloader::GetBytesReceived() const
{
    return m_dwBytesReceived.load();
}

DWORD mcInternetCacheDownloader::GetContentLength() const
{
    return m_dwContentLength;
}

void mcInternetCacheDownloader::ExceptionHandling(const std::string& strMessage, DWORD dwHttpStatus)
{
    const DWORD dwLastError = http::LastError();
    std::string strUrl;
    std::string strReason;
    {
        TracedLock lock(m_csInternet, "mcInternetCacheDownloader::ExceptionHandling CS Entry", 0);
        strUrl = m_strUrl;
        strReason = m_strTrustFailure;
        const std::string strResponse = m_strLastResponse.substr(0, kLastResponseChars) +
                                        platform::FormatText("%lu", dwLastError);
        Trace("mcInternetCacheDownloader::ExceptionHandling is called:\n\tFailed for %s [Url: "
              "%s];\n\tThrowStr = %s;\n\tLastRespInfo = %s \n",
              m_strTrackName.c_str(), strUrl.c_str(), strMessage.c_str(), strResponse.c_str());
    }
    // A source that had its server's answer (or has fed bytes) and fails ends short, also
    // when a later request (a resume) is refused. The track's download thread sets the
    // status (WS_FAILED) once it has written every byte that came before the failure; a
    // refusal is set here, outside m_csInternet, before the failed flag that the thread
    // waits for.
    const bool bAnswered = dwHttpStatus == 200 || m_bAnswered || GetBytesReceived() > 0;
    if (bAnswered && GetBytesReceived() < GetContentLength())
        ReportTruncation();
    if (CTrackCache* pTrackCache = TrackCache(); pTrackCache && !bAnswered)
        pTrackCache->SetWriteStatus(WS_DENIED);
    SetConnected(TRUE);
    SetFailed(TRUE);
    mcEvent event(eEventCategoryError, "ContentServerError");
    event.AddParameter("ErrorCode", strMessage.c_str());
    event.AddParameter("TrackName", m_strTrackName.c_str());
    event.AddParameter("URL", strUrl.c_str());
    event.AddParameter("LastError", static_cast<int>(dwLastError));
    if (!strReason.empty())
        event.AddParameter("Reason", strReason.c_str());
    GetEventMgr()->PostEvent(event);
}

void mcInternetCacheDownloader::InternetOpenAllHandles()
{
    SServerAddress address;
    if (!SplitUrl(m_strUrl, address))
        throw CWorkerError("Invalid radio url\n");
    const std::string& strAgent = AgentText();
    if (m_bAbort)
        return;
    auto session = OpenHttpSession(strAgent);
    if (m_bAbort)
        return;
    auto connect = std::make_shared<http::Connection>(*session, address.strHost, address.nPort,
                                                      address.eScheme);
    if (m_bAbort)
        return;
    auto request = std::make_shared<http::Request>(*connect, "GET", address.strPathWithQuery);
    m_dwSkip = 0;
    m_bAtRealEnd = false;
    StoreHandles(session, connect, request);
    if (m_bAbort)
        return;
    SendRequest(*request);
    if (m_bAbort)
        return;
    if (!CurrentRequest())
        throw CWorkerError("TrackContentDownloadProc - hInternetRequest is NULL\n");
    CheckStatus(*request);
}

// Stores the handles for Abort to find. An abort that came before the store has not seen
// them: the request is closed here, so it fails at once.
void mcInternetCacheDownloader::StoreHandles(std::shared_ptr<http::Session> session,
                                             std::shared_ptr<http::Connection> connect,
                                             std::shared_ptr<http::Request> request)
{
    {
        TracedLock lock(m_csHandles, "mcInternetCacheDownloader::m_csHandles");
        m_hInternet = std::move(session);
        m_hConnect = std::move(connect);
        m_hInternetRequest = std::move(request);
    }
    if (m_bAbort)
        CloseInternetHandles();
}

void mcInternetCacheDownloader::SendRequest(http::Request& request)
{
    const DWORD dwStart = platform::GetTickCount();
    Trace("HttpSendRequest in mcInternetCacheDownloader::InternetOpenAllHandles [0x%08lX] for %s",
          TraceAddress(), m_strTrackName.c_str());
    const bool bSent = request.Send(m_strHeaders);
    const DWORD dwLastError = bSent ? 0 : http::LastError();
    m_strLastResponse = request.LastResponseText();
    const DWORD dwSeconds = (platform::GetTickCount() - dwStart) / 1000;
    Trace("HttpSendRequest in mcInternetCacheDownloader::InternetOpenAllHandles [0x%08lX] - Took "
          "%lu secs, for %s",
          TraceAddress(), dwSeconds, m_strTrackName.c_str());
    CServerIfc::ReportSendDelay(m_strUrl, dwSeconds, bSent);
    if (!bSent)
    {
        const std::string strWhy = request.FailureText();
        if (!strWhy.empty())
        {
            Trace("HttpSendRequest in mcInternetCacheDownloader::InternetOpenAllHandles [0x%08lX] "
                  "failed for %s: %s",
                  TraceAddress(), m_strTrackName.c_str(), strWhy.c_str());
            m_strLastResponse = strWhy + " ";
            if (http::IsTrustFailure(dwLastError))
                m_strTrustFailure = "the content server cannot be trusted: " + strWhy;
        }
        http::SetLastError(dwLastError);
        const std::string strMessage = platform::FormatText(
            "mcInternetCacheDownloader::InternetOpenAllHandles - HttpSendRequest FALSE - err=%lu "
            "Time Used = %lu sec.\n",
            dwLastError, dwSeconds);
        if (IsRecoverableError(dwLastError))
            throw CTransientFailure(strMessage, dwLastError, 0);
        throw CWorkerError(strMessage, dwLastError);
    }
}

void mcInternetCacheDownloader::CheckStatus(http::Request& request)
{
    DWORD dwStatus = 0;
    if (!request.QueryStatusCode(dwStatus))
    {
        m_dwHttpStatus = 0;
        throw CWorkerError(platform::FormatText(
            "mcInternetCacheDownloader::InternetOpenAllHandles - HttpQueryInfo FALSE - err=%lu\n",
            http::LastError()));
    }
    bool bAccepted = false;
    if (m_dwRangeFrom && dwStatus == 206)
    {
        CheckPartialAnswer(request, *m_dwRangeFrom);
        Trace("HttpSendRequest was done okay for partial file transfer!");
        dwStatus = 200;
        bAccepted = true;
    }
    else if (m_dwRangeFrom && dwStatus == 200)
    {
        CheckWholeAnswer(request, *m_dwRangeFrom);
        bAccepted = true;
    }
    else if (m_dwRangeFrom && dwStatus == 416 && IsRealEnd(request, *m_dwRangeFrom))
    {
        Trace("mcInternetCacheDownloader - the content of %s ends at byte %lu, short of the %lu "
              "bytes announced",
              m_strTrackName.c_str(), *m_dwRangeFrom, GetContentLength());
        m_bAtRealEnd = true;
        m_dwHttpStatus = dwStatus;
        return;
    }
    else
        bAccepted = dwStatus == 200;
    // A successful answer is recorded too, so that a later failure of this source counts
    // as a failure after the server's answer (WS_FAILED), not as a refusal.
    m_dwHttpStatus = dwStatus;
    if (bAccepted)
    {
        m_bAnswered = TRUE;
        return;
    }
    const std::string strMessage =
        platform::FormatText("mcInternetCacheDownloader::InternetOpenAllHandles HttpSendRequest "
                             "has given failed-status code=%lu\n",
                             dwStatus);
    if (IsTransientStatus(dwStatus))
    {
        DWORD dwSeconds = 0;
        const DWORD dwRetryAfterMs =
            request.QueryRetryAfter(dwSeconds) ? std::min<DWORD>(dwSeconds, 3600) * 1000 : 0;
        throw CTransientFailure(strMessage, 0, dwRetryAfterMs);
    }
    throw CWorkerError(strMessage);
}

// A 206 is used only when its Content-Range starts at the offset asked for and names the
// part's length as its total (when the record gives one).
void mcInternetCacheDownloader::CheckPartialAnswer(http::Request& request, DWORD dwOffset)
{
    http::SContentRange range;
    const bool bRange = request.QueryContentRange(range);
    const DWORD dwLength = GetContentLength();
    if (bRange && range.first && *range.first == dwOffset &&
        (dwLength == 0 || (range.total && *range.total == dwLength)))
        return;
    std::string strHeader;
    request.QueryHeader("Content-Range", strHeader);
    throw CWorkerError(platform::FormatText(
        "mcInternetCacheDownloader::InternetOpenAllHandles - partial answer with Content-Range "
        "\"%s\" does not hold the bytes from %lu of a part of %lu bytes\n",
        strHeader.c_str(), dwOffset, dwLength));
}

// A 200 to a range request is the whole part from byte 0, as a server or proxy that
// ignores ranges sends it: usable when its length is the part's, its first bytes skipped.
void mcInternetCacheDownloader::CheckWholeAnswer(http::Request& request, DWORD dwOffset)
{
    uint64_t nLength = 0;
    const DWORD dwLength = GetContentLength();
    if (dwLength != 0 && request.QueryContentLength(nLength) && nLength == dwLength)
    {
        if (dwOffset != 0)
            Trace("mcInternetCacheDownloader - the whole part came for the bytes from %lu of %s: "
                  "the bytes held are skipped",
                  dwOffset, m_strTrackName.c_str());
        m_dwSkip = dwOffset;
        return;
    }
    std::string strHeader = "none";
    request.QueryHeader("Content-Length", strHeader);
    throw CWorkerError(platform::FormatText(
        "mcInternetCacheDownloader::InternetOpenAllHandles - whole answer with Content-Length %s "
        "to the request for the bytes from %lu of a part of %lu bytes\n",
        strHeader.c_str(), dwOffset, dwLength));
}

// A 416 says the range starts at or past the content's end: the real end when it names
// the offset as the content's length (or no length at all).
bool mcInternetCacheDownloader::IsRealEnd(http::Request& request, DWORD dwOffset) const
{
    std::string strHeader;
    if (!request.QueryHeader("Content-Range", strHeader))
        return true;
    http::SContentRange range;
    return http::ParseContentRange(strHeader, range) && range.total && *range.total == dwOffset;
}

void mcInternetCacheDownloader::InternetReadData(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot)
{
    CStopwatch stopwatch;
    stopwatch.Start();
    *pdwGot = 0;
    m_dwNetworkBytes = 0;
    // The record announces the source's length: what an answer sends beyond it (a server
    // that sends too much, or a body that never ends) is not this track, so the source
    // ends there. The end still counts as a read of nothing for the meter.
    const DWORD dwLength = GetContentLength();
    DWORD dwWanted = *pdwSize;
    if (dwLength != 0)
        dwWanted = std::min(dwWanted, dwLength - std::min(GetBytesReceived(), dwLength));
    if (dwWanted == 0)
        m_bOutage = false; // nothing is left to fetch
    if (m_bOutage)
        TryRecovery(pBuffer, &dwWanted, pdwGot);
    else if (dwWanted != 0 && !m_bAtRealEnd)
    {
        const std::shared_ptr<http::Request> request = CurrentRequest();
        if (!request)
            throw CWorkerError("mcInternetCacheDownloader::InternetReadData,  close handles might "
                               "be called already due to  m_hInternetRequest is NULL\n");
        DWORD dwError = 0;
        const bool bRead = ReadAnswer(*request, pBuffer, dwWanted, pdwGot, dwError);
        // An answer that ends short of the content is cut, also when it brought no byte.
        const bool bPremature = bRead && *pdwGot == 0 && GetBytesReceived() < GetContentLength();
        if ((!bRead || bPremature) && IsRecoveryAllowed())
        {
            if (!IsRecoverableError(dwError))
            {
                http::SetLastError(dwError);
                throw CWorkerError(platform::FormatText(
                    "mcInternetCacheDownloader::InternetReadFile failed-err=%lu\n", dwError));
            }
            Trace("mcInternetCacheDownloader::InternetReadFile Recovable Error Code = %lu",
                  dwError);
            BeginOutage(0);
            TryRecovery(pBuffer, &dwWanted, pdwGot);
        }
    }
    if (m_pRateMeter)
    {
        const unsigned nBytes = m_dwNetworkBytes;
        m_pRateMeter->AddSample(nBytes, stopwatch.Elapsed());
    }
    m_dwBytesReceived += *pdwGot;
    // No byte and no outage to wait out: the source's end, short or not.
    if (!m_bAbort && *pdwGot == 0 && !m_bOutage && GetBytesReceived() < GetContentLength())
        ReportTruncation();
}

bool mcInternetCacheDownloader::ReadAnswer(http::Request& request, void* pBuffer, DWORD dwWanted,
                                           DWORD* pdwGot, DWORD& dwError)
{
    *pdwGot = 0;
    while (m_dwSkip > 0)
    {
        DWORD dwRead = 0;
        if (!request.Read(pBuffer, std::min(dwWanted, m_dwSkip), &dwRead))
        {
            dwError = http::LastError();
            return false;
        }
        if (dwRead == 0)
            return true; // the answer ended before the bytes that are wanted
        m_dwSkip -= dwRead;
        m_dwNetworkBytes += dwRead;
    }
    if (!request.Read(pBuffer, dwWanted, pdwGot))
    {
        dwError = http::LastError();
        return false;
    }
    m_dwNetworkBytes += *pdwGot;
    return true;
}

bool mcInternetCacheDownloader::IsRecoveryAllowed() const
{
    return !m_bAbort && m_dwRetryLimit >= 1 &&
           m_dwRecoveryAttempts - m_dwEmptyRecoveries <= m_dwRetryLimit;
}

void mcInternetCacheDownloader::BeginOutage(DWORD dwPauseMs)
{
    m_bOutage = true;
    m_dwOutageStart = platform::GetTickCount();
    m_dwNextAttempt = m_dwOutageStart + dwPauseMs;
    m_dwBackoffMs = kFirstBackoffMs;
}

void mcInternetCacheDownloader::TryRecovery(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot)
{
    *pdwGot = 0;
    const DWORD dwDue = m_dwNextAttempt - platform::GetTickCount();
    if (static_cast<LONG>(dwDue) > 0)
    {
        PauseFeedFor(dwDue);
        return;
    }
    // The last pause ends at the limit: the source ends there, rather than start one more
    // reconnection whose own time-outs could outlast the reader's wait for data.
    if (OutageSpentItsLimit())
        return;
    DWORD dwError = 0;
    DWORD dwRetryAfterMs = 0;
    try
    {
        dwError = ErrorRecovery(GetBytesReceived(), pBuffer, pdwSize, pdwGot);
    }
    catch (const CTransientFailure& e)
    {
        dwError = e.LastError();
        dwRetryAfterMs = e.RetryAfterMs();
        Trace("mcInternetCacheDownloader::ErrorRecovery for %s failed for now: %s",
              m_strTrackName.c_str(), e.what());
    }
    if (m_bAbort)
        return;
    if (*pdwGot > 0 || m_bAtRealEnd)
    {
        m_bOutage = false;
        return;
    }
    if (!IsRecoverableError(dwError))
    {
        http::SetLastError(dwError);
        throw CWorkerError(platform::FormatText(
            "mcInternetCacheDownloader::InternetReadFile failed-err=%lu\n", dwError));
    }
    if (OutageSpentItsLimit())
        return;
    const DWORD dwSpent = platform::GetTickCount() - m_dwOutageStart;
    const DWORD dwPause = std::min(NextBackoff(dwRetryAfterMs), kRecoveryLimitMs - dwSpent);
    m_dwNextAttempt = platform::GetTickCount() + dwPause;
    PauseFeedFor(dwPause);
}

bool mcInternetCacheDownloader::OutageSpentItsLimit()
{
    const DWORD dwSpent = platform::GetTickCount() - m_dwOutageStart;
    if (dwSpent < kRecoveryLimitMs)
        return false;
    Trace("mcInternetCacheDownloader - no byte of %s came in %lu ms of reconnections; the "
          "source ends at %lu of %lu bytes",
          m_strTrackName.c_str(), dwSpent, GetBytesReceived(), GetContentLength());
    m_bOutage = false;
    return true;
}

DWORD mcInternetCacheDownloader::NextBackoff(DWORD dwRetryAfterMs)
{
    const DWORD dwBase = m_dwBackoffMs;
    m_dwBackoffMs = std::min(2 * dwBase, kMaxBackoffMs);
    // Half fixed, half random, so that sources cut by one fault do not come back together.
    const DWORD dwJittered =
        dwBase / 2 + std::uniform_int_distribution<DWORD>(0, dwBase - dwBase / 2)(m_jitter);
    return std::min(std::max(dwJittered, dwRetryAfterMs), kMaxBackoffMs);
}

void mcInternetCacheDownloader::ConnectWithinContent()
{
    TracedLock lock(m_csInternet, "mcInternetCacheDownloader::InitFeedData CS Entry", 0);
    try
    {
        InternetOpenAllHandles();
    }
    catch (const CTransientFailure& e)
    {
        if (!IsRecoveryAllowed())
            throw;
        Trace("mcInternetCacheDownloader - connecting for %s failed for now: %s",
              m_strTrackName.c_str(), e.what());
        BeginOutage(std::min(std::max(kFirstBackoffMs, e.RetryAfterMs()), kMaxBackoffMs));
        m_dwBackoffMs = std::min(2 * kFirstBackoffMs, kMaxBackoffMs);
    }
    SetConnected(TRUE);
}

void mcInternetCacheDownloader::ReportTruncation()
{
    Trace("!!!TRUNCATED SONG!!! Object [0x%08lX] has only read %ld out of %ld bytes for %s",
          TraceAddress(), GetBytesReceived(), GetContentLength(), m_strTrackName.c_str());
    mcEvent event(eEventCategoryInfo, "TrackTruncated");
    event.AddParameter("TrackName", m_strTrackName.c_str());
    event.AddParameter("SongLength", static_cast<float>(GetContentLength()));
    event.AddParameter("BytesRead", static_cast<float>(GetBytesReceived()));
    GetEventMgr()->PostEvent(event);
}

// A refused connection counts as well: a server that restarts refuses for a while.
BOOL mcInternetCacheDownloader::IsRecoverableError(DWORD dwError)
{
    return dwError == 0 || dwError == http::ERROR_INTERNET_TIMEOUT ||
                   dwError == http::ERROR_INTERNET_CANNOT_CONNECT ||
                   dwError == http::ERROR_INTERNET_CONNECTION_ABORTED ||
                   dwError == http::ERROR_INTERNET_CONNECTION_RESET
               ? TRUE
               : FALSE;
}

DWORD mcInternetCacheDownloader::ErrorRecovery(DWORD dwOffset, void* pBuffer, DWORD* pdwSize,
                                               DWORD* pdwGot)
{
    Trace("Object [0x%08lX] calling mcInternetCacheDownloader::ErrorRecovery from byte %ld to "
          "resume.",
          TraceAddress(), dwOffset);
    *pdwGot = 0;
    CloseInternetHandles();
    SetRangeFrom(dwOffset);
    const std::string strOffset = std::to_string(dwOffset);
    const std::string strToken = BuildRetryToken(m_strUrl, dwOffset, kRetryTokenLength);
    {
        // The signed address comes back however the reconnection ends.
        CRestore restore(m_strUrl, m_strUrl);
        m_strUrl += "&X-Range=" + strOffset + "-" + "&RETRY=" + strToken;
        if (m_bAbort)
            return 0;
        InternetOpenAllHandles();
    }
    const std::shared_ptr<http::Request> request = CurrentRequest();
    if (m_bAbort || !request || m_bAtRealEnd)
        return 0;
    DWORD dwError = 0;
    if (!ReadAnswer(*request, pBuffer, *pdwSize, pdwGot, dwError))
        return dwError;
    ++m_dwRecoveryAttempts;
    if (*pdwGot == 0)
        ++m_dwEmptyRecoveries;
    return 0;
}

std::string mcInternetCacheDownloader::BuildRetryToken(const std::string& strUrl, DWORD dwOffset,
                                                       DWORD dwLength)
{
    const std::string strUid = GetUserIdOrEmpty();
    if (strUid.empty())
        throw CWorkerError("No OVUID while creating RETRY=");
    std::string strDecoded = strUrl;
    DecodeText(strDecoded);
    const std::size_t nMagic = strDecoded.find("MAGIC=");
    if (nMagic == std::string::npos)
    {
        Trace("No MAGIC token while creating RETRY=..., and return empty str");
        return {};
    }
    const std::size_t nStart = nMagic + 6;
    const std::size_t nEnd = strDecoded.find('&', nStart);
    if (nEnd == std::string::npos && nStart == strDecoded.size())
        throw CWorkerError("No MAGIC token delim while creating RETRY=...");
    std::string strValue =
        strDecoded.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
    if (strValue.find('%') != std::string::npos)
        DecodeText(strValue);
    const std::string strDigest =
        host::Md5Hex(strUid + strValue + std::to_string(dwOffset) + "-" + kRepairPhrase);
    return strDigest.substr(0, dwLength);
}

void mcInternetCacheDownloader::SetRequestHeaders(const std::string& strHeaders)
{
    m_strHeaders = strHeaders;
    m_dwRangeFrom.reset();
}

void mcInternetCacheDownloader::SetRangeFrom(DWORD dwOffset)
{
    SetRequestHeaders("Range: bytes=" + std::to_string(dwOffset) + "-");
    m_dwRangeFrom = dwOffset;
}

void mcInternetCacheDownloader::CloseInternetHandles()
{
    std::shared_ptr<http::Session> session;
    std::shared_ptr<http::Connection> connect;
    std::shared_ptr<http::Request> request;
    {
        TracedLock lock(m_csHandles, "mcInternetCacheDownloader::m_csHandles");
        request = std::move(m_hInternetRequest);
        connect = std::move(m_hConnect);
        session = std::move(m_hInternet);
    }
    // Closing cancels a Send or Read under way; the thread inside keeps the object alive
    // through its own reference and frees it when it leaves.
    if (request)
        request->Close();
    if (connect)
        connect->Close();
    if (session)
        session->Close();
    SetConnected(TRUE);
}

std::shared_ptr<http::Request> mcInternetCacheDownloader::CurrentRequest() const
{
    TracedLock lock(m_csHandles, "mcInternetCacheDownloader::m_csHandles");
    return m_hInternetRequest;
}
