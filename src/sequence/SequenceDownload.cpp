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
#include <mutex>
#include <string>
#include <string_view>

namespace
{
namespace http = platform::http;

constexpr std::size_t kReadBlock = 2048;
constexpr std::string_view kTrackPrefix = "OVDK::";
constexpr int kMaxRetries = 2;

// A failure of the download with the error code that goes with it.
struct SDownloadFailure
{
    std::string strText;
    DWORD dwLastError = 0;
};

[[noreturn]] void FailWith(std::string strText, DWORD dwLastError = 0)
{
    throw SDownloadFailure{std::move(strText), dwLastError};
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

// A bad line abandons the sequence: the rest of the answer is read and dropped.
[[noreturn]] void AbandonRest(SSequenceThreadParams& params, CReadBuffer& buffer, bool& bAbandoned)
{
    bAbandoned = true;
    buffer.DrainRest(params.bAbort);
    throw CWorkerError("Aborted rest of sequence on error detection");
}

// The reading loop after the header: blocks of lines until the answer ends.
void ReadTrackLines(SSequenceThreadParams& params, CReadBuffer& buffer,
                    const STrackInfo& templateRec, DWORD dwLastRead, bool& bAbandoned)
{
    std::string& data = buffer.Data();
    std::size_t nAdded = 0;
    while (dwLastRead > 0)
    {
        if (params.bAbort == 1)
        {
            Trace("SequenceDownloader::Sequence download operation aborted.\n");
            return;
        }
        const std::size_t nAt = data.find(kTrackPrefix);
        if (nAt == std::string::npos)
        {
            if (params.nStatusCode == 200)
                bAbandoned = true;
            throw CWorkerError(
                platform::FormatText("InternetReadFile had no track records - read %d bytes",
                                     static_cast<int>(dwLastRead)));
        }
        if (data.find('\n', nAt) == std::string::npos)
        {
            // A line without end that would exhaust memory is a bad line.
            if (!buffer.Grow())
                AbandonRest(params, buffer, bAbandoned);
        }
        else
        {
            const ELines result = TakeCompleteLines(params, templateRec, data, nAdded);
            if (result == ELines::eAborted)
                return;
            if (result == ELines::eBadLine)
                AbandonRest(params, buffer, bAbandoned);
        }
        if (params.bAbort == 1)
        {
            Trace("ProcessSequenceRequest:: aborting download");
            return;
        }
        dwLastRead = buffer.ReadMore();
    }
}

void RaiseServerError(const std::string& strText, const std::string& strUrl, DWORD dwLastError)
{
    mcEvent event(eEventCategoryError, "SequenceServerError");
    event.AddParameter("ErrorCode", strText.c_str());
    event.AddParameter("URL", strUrl.c_str());
    event.AddParameter("LastError", static_cast<int>(dwLastError));
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
                                           const std::string& strHost, WORD nPort,
                                           const std::string& strPath)
{
    TracedLock lock(DownloadLock());
    auto session = std::make_shared<http::Session>("Orvale Deck");
    auto connect = std::make_shared<http::Connection>(*session, strHost, nPort);
    auto request = std::make_shared<http::Request>(*connect, "POST", strPath);
    std::lock_guard slots(params.csHandles);
    params.hInternet = session;
    params.hConnect = connect;
    params.hInternetRequest = request;
    return request;
}

// One send and its answer; the try-again answer.
int SendOnce(SSequenceThreadParams& params, http::Request& request)
{
    Trace("Before HttpSendRequest -%s\n", params.strDispStation.c_str());
    const DWORD dwStart = platform::GetTickCount();
    const bool bSent = request.Send();
    const DWORD dwLastError = bSent ? 0 : http::LastError();
    const DWORD dwSeconds = (platform::GetTickCount() - dwStart) / 1000;
    if (dwSeconds >= CServerIfc::ServerWaitTimeLimit())
        RaiseDelay(params.strSignedUrl, dwSeconds, bSent);
    if (!bSent)
        FailWith(platform::FormatText("SeqSvr:HttpSendRequest(0) in %lu secs - err=%lu\n",
                                      dwSeconds, dwLastError),
                 dwLastError);

    TracedLock lock(DownloadLock());
    {
        std::lock_guard slots(params.csHandles);
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
    int nTryAgain = 0;
    try
    {
        nTryAgain = ProcessSequenceRequest(params, request);
    }
    catch (const CWorkerError& e)
    {
        FailWith(e.what());
    }
    return params.nStatusCode != 200 ? 0 : nTryAgain;
}

void RequestSequence(const std::shared_ptr<SSequenceThreadParams>& pParams)
{
    SSequenceThreadParams& params = *pParams;
    const DWORD dwHours = GetTimeStamp(pParams);
    if (dwHours == 0)
    {
        Trace("DownloadSequenceProc-GetTimeStamp failed");
        FailWith("GetTimeStamp failed");
    }
    char szLog[33] = {};
    if (!GenerateSequenceLogValue(dwHours, params.strOVUID, szLog))
    {
        Trace("DownloadSequenceProc-GenerateSequenceLogValue failed");
        FailWith("GenerateSequenceLogValue failed");
    }
    params.strSignedUrl = params.strUrl + szLog;
    std::string strHost;
    std::string strPath;
    WORD nPort = 80;
    if (!SplitUrl(params.strSignedUrl, strHost, strPath, nPort))
        FailWith("Invalid radio url\n");
    const std::shared_ptr<http::Request> request = OpenHandles(params, strHost, nPort, strPath);
    request->AddHeaders("Accept: application/x-www-urlencoded\r\n");

    int nTryAgain = 1;
    int nRetries = 0;
    while (nTryAgain == 1 && params.bAbort == 0)
    {
        if (nRetries > kMaxRetries)
            FailWith("Maximum number of sequence retries reached. Quitting");
        nTryAgain = SendOnce(params, *request);
        if (nTryAgain == 1)
            ++nRetries;
    }
}

void RecordFailure(SSequenceThreadParams& params, const SDownloadFailure& failure)
{
    params.nDownloadStatus = 3;
    if (params.nStatusCode != 244)
        params.nStatusCode = 404;
    if (failure.dwLastError != http::ERROR_INTERNET_OPERATION_CANCELLED)
        params.hTrackInfoWaitEvent.Set();
    Trace("DownloadSequenceProc:%s", failure.strText.c_str());
    const std::string& strUrl = params.strSignedUrl.empty() ? params.strUrl : params.strSignedUrl;
    Trace("url=%s\n(%lu)", strUrl.c_str(), failure.dwLastError);
    RaiseServerError(failure.strText, strUrl, failure.dwLastError);
}
} // namespace

platform::CriticalSection& DownloadLock()
{
    static platform::CriticalSection g_csDownload;
    return g_csDownload;
}

void CloseDownloadHandles(SSequenceThreadParams& params)
{
    std::lock_guard slots(params.csHandles);
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

int ProcessSequenceRequest(SSequenceThreadParams& params, http::Request& request)
{
    bool bAbandoned = false;
    try
    {
        CReadBuffer buffer(request);
        STrackInfo templateRec;
        const DWORD dwFirst = buffer.ReadMore();
        ParseSequenceHeader(buffer.Data(), templateRec, params);
        ApplySequenceHeader(params);
        ReadTrackLines(params, buffer, templateRec, dwFirst, bAbandoned);
        return 0;
    }
    catch (const CWorkerError&)
    {
        if (!bAbandoned)
            throw;
        params.bSeqAbort = 1;
        return params.pTrackList->Empty() ? 1 : 0;
    }
    catch (const SDownloadFailure&)
    {
        if (!bAbandoned)
            throw;
        params.bSeqAbort = 1;
        return params.pTrackList->Empty() ? 1 : 0;
    }
    catch (...)
    {
        Trace("ProcessSequenceRequest - in catch all - will set try again to true");
        return 1;
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
    int nIdle = 0;
    if (!params.nDownloadStatus.compare_exchange_strong(nIdle, 1) && nIdle == 1)
    {
        Trace("DownloadSequenceProc::<exit> thread has already been called and is downloading.");
        return 0;
    }
    params.nDownloadStatus = 1;
    params.strSignedUrl.clear();
    unsigned nResult = 0;
    try
    {
        RequestSequence(pParams);
    }
    catch (const SDownloadFailure& failure)
    {
        RecordFailure(params, failure);
        nResult = failure.dwLastError;
    }
    catch (const std::exception& e)
    {
        RecordFailure(params, SDownloadFailure{e.what(), 0});
    }
    {
        TracedLock lock(DownloadLock());
        CloseDownloadHandles(params);
    }
    platform::DebugOutput("DownloadSequenceProc:: <exit>\n");
    if (params.bAbort == 1 && params.pTrackList)
        params.pTrackList->Clear("DownloadSequenceProc::Abort-g_csTrackList");
    if (params.nDownloadStatus != 3)
        params.nDownloadStatus = 2;
    return nResult;
}
