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

} // namespace

mcInternetCacheDownloader::mcInternetCacheDownloader(const std::string& strUrl,
                                                     DWORD dwContentLength,
                                                     CTrackCache* pTrackCache, DWORD dwRetryLimit,
                                                     DWORD dwChunkSize, DWORD dwLowWater,
                                                     DWORD dwHighWater, DWORD dwPipeSize)
    : mcCacheDownloader(pTrackCache, dwChunkSize, dwLowWater, dwHighWater, dwPipeSize),
      m_strUrl(strUrl), m_strTrackName(TrackName()), m_dwContentLength(dwContentLength),
      m_dwRetryLimit(dwRetryLimit), m_pRateMeter(RateMeterOf(pTrackCache))
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
    {
        TracedLock lock(m_csInternet, "mcInternetCacheDownloader::ExceptionHandling CS Entry", 0);
        strUrl = m_strUrl;
        const std::string strResponse = m_strLastResponse.substr(0, kLastResponseChars) +
                                        platform::FormatText("%lu", dwLastError);
        Trace("mcInternetCacheDownloader::ExceptionHandling is called:\n\tFailed for %s [Url: "
              "%s];\n\tThrowStr = %s;\n\tLastRespInfo = %s \n",
              m_strTrackName.c_str(), strUrl.c_str(), strMessage.c_str(), strResponse.c_str());
    }
    // Outside m_csInternet: a failure after a 200 answer notifies the cache's owner.
    if (CTrackCache* pTrackCache = TrackCache())
        pTrackCache->SetWriteStatus(dwHttpStatus == 200 ? WS_FAILED : WS_DENIED);
    SetConnected(TRUE);
    SetFailed(TRUE);
    mcEvent event(eEventCategoryError, "ContentServerError");
    event.AddParameter("ErrorCode", strMessage.c_str());
    event.AddParameter("TrackName", m_strTrackName.c_str());
    event.AddParameter("URL", strUrl.c_str());
    event.AddParameter("LastError", static_cast<int>(dwLastError));
    GetEventMgr()->PostEvent(event);
}

void mcInternetCacheDownloader::InternetOpenAllHandles()
{
    std::string strHost;
    std::string strPath;
    WORD nPort = 0;
    if (!SplitUrl(m_strUrl, strHost, strPath, nPort))
        throw CWorkerError("Invalid radio url\n");
    if (nPort == 0)
        nPort = 80;
    const std::string& strAgent = AgentText();
    if (m_bAbort)
        return;
    auto session = std::make_shared<http::Session>(strAgent);
    if (m_bAbort)
        return;
    auto connect = std::make_shared<http::Connection>(*session, strHost, nPort);
    if (m_bAbort)
        return;
    auto request = std::make_shared<http::Request>(*connect, "GET", strPath);
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
        http::SetLastError(dwLastError);
        throw CWorkerError(platform::FormatText("mcInternetCacheDownloader::InternetOpenAllHandles "
                                                "- HttpSendRequest FALSE - err=%lu Time Used = "
                                                "%lu sec.\n",
                                                dwLastError, dwSeconds));
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
    if (!m_strHeaders.empty() && dwStatus == 206)
    {
        Trace("HttpSendRequest was done okay for partial file transfer!");
        dwStatus = 200;
    }
    // A successful answer is recorded too, so that a later failure of this source counts
    // as a failure after the server's answer (WS_FAILED), not as a refusal.
    m_dwHttpStatus = dwStatus;
    if (dwStatus != 200)
        throw CWorkerError(platform::FormatText("mcInternetCacheDownloader::InternetOpenAllHandles "
                                                "HttpSendRequest has given failed-status "
                                                "code=%lu\n",
                                                dwStatus));
}

void mcInternetCacheDownloader::InternetReadData(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot)
{
    CStopwatch stopwatch;
    stopwatch.Start();
    const std::shared_ptr<http::Request> request = CurrentRequest();
    if (!request)
        throw CWorkerError("mcInternetCacheDownloader::InternetReadData,  close handles might be "
                           "called already due to  m_hInternetRequest is NULL\n");
    // The record announces the source's length: what an answer sends beyond it (a server
    // that sends too much, or a body that never ends) is not this track, so the source
    // ends there. The end still counts as a read of nothing for the meter.
    const DWORD dwLength = GetContentLength();
    DWORD dwWanted = *pdwSize;
    if (dwLength != 0)
    {
        const DWORD dwLeft = dwLength - std::min(GetBytesReceived(), dwLength);
        if (dwLeft == 0)
        {
            if (m_pRateMeter)
                m_pRateMeter->AddSample(0, stopwatch.Elapsed());
            *pdwGot = 0;
            return;
        }
        dwWanted = std::min(dwWanted, dwLeft);
    }
    DWORD dwRead = 0;
    const bool bRead = request->Read(pBuffer, dwWanted, &dwRead);
    const DWORD dwError = bRead ? 0 : http::LastError();
    if (m_pRateMeter)
    {
        const unsigned nBytes = dwRead;
        const double dSeconds = stopwatch.Elapsed();
        m_pRateMeter->AddSample(nBytes, dSeconds);
    }
    *pdwGot = dwRead;
    // An answer that ends short of the content is cut, also when it brought no byte at all.
    const bool bPremature = bRead && dwRead == 0 && GetBytesReceived() < GetContentLength();
    if (!m_bAbort && m_dwRetryLimit >= 1 &&
        m_dwRecoveryAttempts - m_dwEmptyRecoveries <= m_dwRetryLimit && (!bRead || bPremature))
        TryRecoveries(dwError, pBuffer, &dwWanted, pdwGot);
    m_dwBytesReceived += *pdwGot;
    if (!m_bAbort && *pdwGot == 0 && GetBytesReceived() < GetContentLength())
        ReportTruncation();
}

void mcInternetCacheDownloader::TryRecoveries(DWORD dwError, void* pBuffer, DWORD* pdwSize,
                                              DWORD* pdwGot)
{
    for (int nTry = 0; nTry < kRecoveryTries; ++nTry)
    {
        if (m_bAbort)
            return;
        const std::string strMessage = platform::FormatText(
            "mcInternetCacheDownloader::InternetReadFile failed-err=%lu\n", dwError);
        if (!IsRecoverableError(dwError))
        {
            http::SetLastError(dwError);
            throw CWorkerError(strMessage);
        }
        Trace("mcInternetCacheDownloader::InternetReadFile Recovable Error Code = %lu", dwError);
        dwError = ErrorRecovery(GetBytesReceived(), pBuffer, pdwSize, pdwGot);
        if (*pdwGot > 0)
            return;
    }
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

BOOL mcInternetCacheDownloader::IsRecoverableError(DWORD dwError)
{
    return dwError == 0 || dwError == http::ERROR_INTERNET_TIMEOUT ||
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
    const std::string strOffset = std::to_string(dwOffset);
    SetRequestHeaders("Range: bytes=" + strOffset + "-");
    const std::string strSignedUrl = m_strUrl;
    const std::string strToken = BuildRetryToken(m_strUrl, dwOffset, kRetryTokenLength);
    m_strUrl += "&X-Range=" + strOffset + "-" + "&RETRY=" + strToken;
    if (m_bAbort)
    {
        m_strUrl = strSignedUrl;
        return 0;
    }
    InternetOpenAllHandles();
    m_strUrl = strSignedUrl;
    const std::shared_ptr<http::Request> request = CurrentRequest();
    if (m_bAbort || !request)
        return 0;
    DWORD dwRead = 0;
    if (!request->Read(pBuffer, *pdwSize, &dwRead))
        return http::LastError();
    *pdwGot = dwRead;
    ++m_dwRecoveryAttempts;
    if (dwRead == 0)
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
