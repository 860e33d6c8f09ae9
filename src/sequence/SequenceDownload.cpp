#include "sequence/SequenceDownload.h"

#include "host/Trace.h"
#include "host/TracedLock.h"
#include "host/WorkerError.h"
#include "hostlibs/EventMgr.h"
#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/Format.h"
#include "platform/Http.h"
#include "sequence/SequenceHeader.h"
#include "sequence/ServerIfc.h"
#include "sequence/TimeStamp.h"
#include "sequence/TrackList.h"

#include <cstring>
#include <string>
#include <string_view>

namespace
{
namespace http = platform::http;

constexpr std::size_t kReadBlock = 2048;
constexpr std::string_view kTrackPrefix = "OVDK::";
constexpr int kMaxRetries = 2;

[[noreturn]] void FailWith(const std::string& strText, DWORD dwLastError = 0,
                           std::string strReason = {})
{
    throw CWorkerError(strText, dwLastError, std::move(strReason));
}

// The answer's bytes not yet parsed, and the capacity that the next read may fill.
class CReadBuffer
{
public:
    explicit CReadBuffer(http::Request& request) : m_request(request) {}

    // Reads up to the free capacity after the kept bytes; the count read.
    DWORD ReadMore()
    {
        const std::size_t nKept = m_data.size();
        m_data.resize(m_nCapacity);
        DWORD dwRead = 0;
        const bool bRead =
            m_request.Read(m_data.data() + nKept, static_cast<DWORD>(m_nCapacity - nKept), &dwRead);
        m_data.resize(nKept + (bRead ? dwRead : 0));
        if (!bRead)
        {
            const DWORD dwError = http::LastError();
            FailWith(platform::FormatText("ProcessSequenceRequest::InternetReadFile failed on %lu",
                                          dwError),
                     dwError);
        }
        return dwRead;
    }

    // Room for 2048 more bytes; false when that would pass the line limit.
    bool Grow()
    {
        if (m_nCapacity + kReadBlock > kMaxTrackLineBuffer)
            return false;
        m_nCapacity += kReadBlock;
        return true;
    }

    // Reads and drops the rest of the answer, until a read fails, ends or the abort.
    void DrainRest(const std::atomic<int>& bAbort)
    {
        std::string discard(m_nCapacity, '\0');
        DWORD dwRead = 0;
        while (bAbort == 0 &&
               m_request.Read(discard.data(), static_cast<DWORD>(discard.size()), &dwRead) &&
               dwRead > 0)
        {
        }
    }

    std::string& Data() { return m_data; }

private:
    http::Request& m_request;
    std::string m_data;
    std::size_t m_nCapacity = kReadBlock;
};

enum class ELines
{
    eTaken,
    eAborted,
    eBadLine
};

// Parses every complete track line of the kept bytes into the list. The bytes from an
// incomplete line on stay kept.
ELines TakeCompleteLines(SSequenceThreadParams& params, const STrackInfo& templateRec,
                         std::string& data, std::size_t& nAdded)
{
    std::size_t nAt = data.find(kTrackPrefix);
    while (nAt != std::string::npos)
    {
        const std::size_t nEnd = data.find('\n', nAt);
        if (nEnd == std::string::npos)
            break;
        if (params.bAbort == 1)
        {
            Trace("ProcessSequenceRequest:: aborting download");
            return ELines::eAborted;
        }
        const std::string line = data.substr(nAt, nEnd - nAt);
        STrackInfo rec = templateRec;
        if (!ParseTrackExtendedM3u(line.c_str(), rec))
            return ELines::eBadLine;
        rec.comingup = "no";
        const std::size_t nSize = params.pTrackList->Append(rec);
        Trace("Added track to sequence (%d) - %s (%lu),size =%lu", static_cast<int>(nSize),
              rec.track.c_str(), rec.trackid, rec.songsize);
        // The first record of this download releases the reader waiting for it.
        if (nSize == 1 || ++nAdded == 1)
            params.hTrackInfoWaitEvent.Set();
        nAt = data.find(kTrackPrefix, nEnd + 1);
        if (nAt == std::string::npos)
        {
            const std::size_t nRest = data.find_first_not_of('\n', nEnd + 1);
            data.erase(0, nRest == std::string::npos ? data.size() : nRest);
            return ELines::eTaken;
        }
    }
    if (nAt != std::string::npos)
        data.erase(0, nAt);
    return ELines::eTaken;
}

// A bad line abandons the sequence ("Aborted rest of sequence on error detection"): the
// rest of the answer is read and dropped.
EAnswer AbandonRest(SSequenceThreadParams& params, CReadBuffer& buffer)
{
    buffer.DrainRest(params.bAbort);
    return EAnswer::eAbandoned;
}

// The reading loop after the header: blocks of lines until the answer ends (eDone, also
// when an abort stops it) or the sequence is abandoned. A read that fails, or a non-200
// answer without track lines, raises its failure text.
EAnswer ReadTrackLines(SSequenceThreadParams& params, CReadBuffer& buffer,
                       const STrackInfo& templateRec, DWORD dwLastRead)
{
    std::string& data = buffer.Data();
    std::size_t nAdded = 0;
    while (dwLastRead > 0)
    {
        if (params.bAbort == 1)
        {
            Trace("SequenceDownloader::Sequence download operation aborted.\n");
            return EAnswer::eDone;
        }
        const std::size_t nAt = data.find(kTrackPrefix);
        if (nAt == std::string::npos)
        {
            // A 200 answer without a track is a sequence to ask for again.
            if (params.nStatusCode == 200)
                return EAnswer::eAbandoned;
            FailWith(platform::FormatText("InternetReadFile had no track records - read %d bytes",
                                          static_cast<int>(dwLastRead)));
        }
        if (data.find('\n', nAt) == std::string::npos)
        {
            // A line without end that would exhaust memory is a bad line.
            if (!buffer.Grow())
                return AbandonRest(params, buffer);
        }
        else
        {
            const ELines result = TakeCompleteLines(params, templateRec, data, nAdded);
            if (result == ELines::eAborted)
                return EAnswer::eDone;
            if (result == ELines::eBadLine)
                return AbandonRest(params, buffer);
        }
        if (params.bAbort == 1)
        {
            Trace("ProcessSequenceRequest:: aborting download");
            return EAnswer::eDone;
        }
        dwLastRead = buffer.ReadMore();
    }
    return EAnswer::eDone;
}

void RaiseServerError(const std::string& strText, const std::string& strUrl, DWORD dwLastError,
                      const std::string& strReason)
{
    mcEvent event(eEventCategoryError, "SequenceServerError");
    event.AddParameter("ErrorCode", strText.c_str());
    event.AddParameter("URL", strUrl.c_str());
    event.AddParameter("LastError", static_cast<int>(dwLastError));
    if (!strReason.empty())
        event.AddParameter("Reason", strReason.c_str());
    GetEventMgr()->PostEvent(event);
}

void RaiseDelay(const std::string& strUrl, DWORD dwSeconds, bool bSent)
{
    mcEvent event(eEventCategoryError, "ServerHttpRequestDelay");
    event.AddParameter("ServerPath", strUrl.c_str());
    event.AddParameter("WaitTime", static_cast<int>(dwSeconds));
    event.AddParameter("ReturnValue", bSent ? 1 : 0);
    GetEventMgr()->PostEvent(event);
}

// Opens the three handles under the download lock; the request, or none.
std::shared_ptr<http::Request> OpenHandles(SSequenceThreadParams& params,
                                           const SServerAddress& address)
{
    TracedLock lock(DownloadLock());
    auto session = OpenHttpSession("Orvale Deck");
    auto connect = std::make_shared<http::Connection>(*session, address.strHost, address.nPort,
                                                      address.eScheme);
    auto request = std::make_shared<http::Request>(*connect, "POST", address.strPathWithQuery);
    platform::MutexLock slots(params.csHandles);
    params.hInternet = session;
    params.hConnect = connect;
    params.hInternetRequest = request;
    return request;
}

// One send and its answer; true when the request is to be sent again.
bool SendOnce(SSequenceThreadParams& params, http::Request& request) OVR_EXCLUDES(DownloadLock())
{
    Trace("Before HttpSendRequest -%s\n", params.strDispStation.c_str());
    const DWORD dwStart = platform::GetTickCount();
    const bool bSent = request.Send();
    const DWORD dwLastError = bSent ? 0 : http::LastError();
    const DWORD dwSeconds = (platform::GetTickCount() - dwStart) / 1000;
    if (dwSeconds >= CServerIfc::ServerWaitTimeLimit())
        RaiseDelay(params.strSignedUrl, dwSeconds, bSent);
    if (!bSent)
    {
        std::string strReason = request.FailureText();
        if (!strReason.empty())
            strReason = "the sequence server cannot be trusted: " + strReason;
        FailWith(platform::FormatText("SeqSvr:HttpSendRequest(0) in %lu secs - err=%lu\n",
                                      dwSeconds, dwLastError),
                 dwLastError, std::move(strReason));
    }

    TracedLock lock(DownloadLock());
    {
        platform::MutexLock slots(params.csHandles);
        if (!params.hInternetRequest)
            FailWith("DownloadSequenceProc hInternetRequest NULL");
    }
    DWORD dwStatus = 0;
    const bool bQueried = request.QueryStatusCode(dwStatus);
    if (!bQueried)
        dwStatus = http::LastError();
    if (!bQueried || dwStatus != 200)
    {
        const std::string strText = platform::FormatText(
            "SeqSvr:HttpQueryInfo(%d) failure Status code=%lu\n", bQueried ? 1 : 0, dwStatus);
        Trace("%s", strText.c_str());
        FailWith(strText, bQueried ? 0 : dwStatus);
    }
    const EAnswer answer = ProcessSequenceRequest(params, request);
    return params.nStatusCode == 200 && answer == EAnswer::eTryAgain;
}

void RequestSequence(const std::shared_ptr<SSequenceThreadParams>& pParams)
{
    SSequenceThreadParams& params = *pParams;
    const DWORD dwHours = GetTimeStamp(pParams);
    if (dwHours == 0)
    {
        Trace("DownloadSequenceProc-GetTimeStamp failed");
        FailWith("GetTimeStamp failed", 0, TimeFailureReason());
    }
    char szLog[33] = {};
    if (!GenerateSequenceLogValue(dwHours, params.strOVUID, szLog))
    {
        Trace("DownloadSequenceProc-GenerateSequenceLogValue failed");
        FailWith("GenerateSequenceLogValue failed");
    }
    params.strSignedUrl = params.strUrl + szLog;
    SServerAddress address;
    if (!SplitUrl(params.strSignedUrl, address))
        FailWith("Invalid radio url\n");
    const std::shared_ptr<http::Request> request = OpenHandles(params, address);
    request->AddHeaders("Accept: application/x-www-urlencoded\r\n");

    bool bSendAgain = true;
    int nRetries = 0;
    while (bSendAgain && params.bAbort == 0)
    {
        if (nRetries > kMaxRetries)
            FailWith("Maximum number of sequence retries reached. Quitting");
        bSendAgain = SendOnce(params, *request);
        if (bSendAgain)
            ++nRetries;
    }
}

// Every failure of the download ends here: it is recorded, the waiting reader released
// (unless the failure is the cancellation an abort causes: the abort releases it) and
// reported. Only a failure of the server ends the station (404): a request that was aborted
// (a cleared sequence, a refresh) failed because of the abort, and the next may be sent.
void RecordFailure(SSequenceThreadParams& params, const std::string& strText, DWORD dwLastError,
                   const std::string& strReason = {})
{
    // Kept before the waiting reader is released, so that it finds the reason.
    params.SetFailureReason(strReason);
    params.nDownloadStatus = EDownloadStatus::eFailed;
    if (params.nStatusCode != 244 && params.bAbort == 0)
        params.nStatusCode = 404;
    if (dwLastError != http::ERROR_INTERNET_OPERATION_CANCELLED)
        params.hTrackInfoWaitEvent.Set();
    Trace("DownloadSequenceProc:%s", strText.c_str());
    const std::string& strUrl = params.strSignedUrl.empty() ? params.strUrl : params.strSignedUrl;
    Trace("url=%s\n(%lu)", strUrl.c_str(), dwLastError);
    if (!strReason.empty())
        Trace("DownloadSequenceProc:%s", strReason.c_str());
    RaiseServerError(strText, strUrl, dwLastError, strReason);
}
} // namespace

platform::CriticalSection& DownloadLock()
{
    static platform::CriticalSection g_csDownload;
    return g_csDownload;
}

void CloseDownloadHandles(SSequenceThreadParams& params)
{
    platform::MutexLock slots(params.csHandles);
    if (params.hInternetRequest)
        params.hInternetRequest->Close();
    if (params.hConnect)
        params.hConnect->Close();
    if (params.hInternet)
        params.hInternet->Close();
    params.hInternetRequest.reset();
    params.hConnect.reset();
    params.hInternet.reset();
}

EAnswer ProcessSequenceRequest(SSequenceThreadParams& params, http::Request& request)
{
    try
    {
        CReadBuffer buffer(request);
        STrackInfo templateRec;
        const DWORD dwFirst = buffer.ReadMore();
        ParseSequenceHeader(buffer.Data(), templateRec, params);
        ApplySequenceHeader(params);
        if (ReadTrackLines(params, buffer, templateRec, dwFirst) == EAnswer::eDone)
            return EAnswer::eDone;
        // The next request reports the abandoned sequence; one that gave no track at all
        // is asked for again.
        params.bSeqAbort = 1;
        return params.pTrackList->Empty() ? EAnswer::eTryAgain : EAnswer::eAbandoned;
    }
    catch (const CWorkerError&)
    {
        throw; // the failure text goes on to the thread's one failure step
    }
    catch (...)
    {
        Trace("ProcessSequenceRequest - in catch all - will set try again to true");
        return EAnswer::eTryAgain;
    }
}

unsigned DownloadSequenceProc(const std::shared_ptr<SSequenceThreadParams>& pParams)
{
    if (!pParams)
    {
        Trace("DownloadSequenceProc::<exit> SSequenceThreadParams pointer parameter is NULL!!\n");
        return 0;
    }
    SSequenceThreadParams& params = *pParams;
    if (params.nDownloadStatus.exchange(EDownloadStatus::eDownloading) ==
        EDownloadStatus::eDownloading)
    {
        Trace("DownloadSequenceProc::<exit> thread has already been called and is downloading.");
        return 0;
    }
    params.strSignedUrl.clear();
    unsigned nResult = 0;
    try
    {
        RequestSequence(pParams);
    }
    catch (const CWorkerError& failure)
    {
        nResult = failure.LastError();
        RecordFailure(params, failure.what(), nResult, failure.Reason());
    }
    catch (const std::exception& e)
    {
        RecordFailure(params, e.what(), 0);
    }
    {
        TracedLock lock(DownloadLock());
        CloseDownloadHandles(params);
    }
    platform::DebugOutput("DownloadSequenceProc:: <exit>\n");
    if (params.bAbort == 1 && params.pTrackList)
        params.pTrackList->Clear("DownloadSequenceProc::Abort-g_csTrackList");
    if (params.nDownloadStatus != EDownloadStatus::eFailed)
        params.nDownloadStatus = EDownloadStatus::eDone;
    return nResult;
}
