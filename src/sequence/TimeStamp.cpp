#include "sequence/TimeStamp.h"

#include "host/Preferences.h"
#include "host/Trace.h"
#include "host/TracedLock.h"
#include "host/WorkerError.h"
#include "hostlibs/EventMgr.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/Event.h"
#include "platform/Format.h"
#include "platform/Http.h"
#include "platform/HttpUrl.h"
#include "platform/Mutex.h"
#include "platform/Thread.h"
#include "sequence/ServerIfc.h"
#include "sequence/XmlDocument.h"

#include <atomic>

namespace
{
constexpr DWORD kReadBufferSize = 2048;
constexpr DWORD kTimeServerBufferSize = 256;

std::atomic<DWORD> g_dwServerTime{0};
std::atomic<DWORD> g_dwServerTimeTick{0};
std::atomic<DWORD> g_dwLastLogHours{0};

// The time request's handles and the two events, for the whole process.
struct STimeStampState
{
    platform::CriticalSection csTimeStamp;
    platform::Event abortEvent{true, false};
    platform::Event timeIdleEvent{true, true};
    std::shared_ptr<platform::http::Session> hInternet OVR_GUARDED_BY(csTimeStamp);
    std::shared_ptr<platform::http::Connection> hConnect OVR_GUARDED_BY(csTimeStamp);
    std::shared_ptr<platform::http::Request> hRequest OVR_GUARDED_BY(csTimeStamp);
    // Why the last time request failed when the time server could not be trusted.
    platform::Mutex csFailure;
    std::string strFailureReason OVR_GUARDED_BY(csFailure);

    // Closes the request, the connection and the session, in that order, under the lock.
    void CloseHandles()
    {
        TracedLock lock(csTimeStamp);
        if (hRequest)
            hRequest->Close();
        if (hConnect)
            hConnect->Close();
        if (hInternet)
            hInternet->Close();
        hRequest.reset();
        hConnect.reset();
        hInternet.reset();
    }
};

STimeStampState& State()
{
    static STimeStampState s_state;
    return s_state;
}

DWORD TickSeconds()
{
    return platform::GetTickCount() / 1000;
}

// Starts the time thread unless the request cannot or need not be made; false then.
bool StartTimeThread(const std::shared_ptr<SSequenceThreadParams>& params)
{
    STimeStampState& state = State();
    {
        TracedLock lock(state.csTimeStamp);
        state.hRequest.reset();
        state.hConnect.reset();
        state.hInternet.reset();
    }
    if (params->bAbort == 1 || g_dwServerTime != 0)
        return false;
    state.timeIdleEvent.Reset();
    try
    {
        platform::Thread([params] { return DownloadServerTimeProc(params); }).Close();
    }
    catch (const std::exception&)
    {
        state.timeIdleEvent.Set();
        return false;
    }
    return true;
}

void RaiseTimeError(const std::string& strText, const std::string& strUrl, DWORD dwLastError,
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

// Opens the three handles under the lock; the request is then shared with the caller.
std::shared_ptr<platform::http::Request> OpenTimeRequest(const SServerAddress& address)
{
    namespace http = platform::http;
    STimeStampState& state = State();
    TracedLock lock(state.csTimeStamp);
    state.hInternet = OpenHttpSession("Orvale Deck");
    state.hConnect = std::make_shared<http::Connection>(*state.hInternet, address.strHost,
                                                        address.nPort, address.eScheme);
    state.hRequest =
        std::make_shared<http::Request>(*state.hConnect, "GET", address.strPathWithQuery);
    return state.hRequest;
}

// Sends the time request and reads its answer; raises the failure text.
std::string FetchSessionParameters(const std::string& strUrl)
{
    SServerAddress address;
    if (!SplitUrl(strUrl, address))
        throw CWorkerError("Invalid time server url");
    auto request = OpenTimeRequest(address);

    const DWORD dwStart = platform::GetTickCount();
    const bool bSent = request->Send();
    const DWORD dwSeconds = (platform::GetTickCount() - dwStart) / 1000;
    CServerIfc::ReportSendDelay(strUrl, dwSeconds, bSent);
    if (!bSent)
    {
        const DWORD dwLastError = platform::http::LastError();
        std::string strReason = request->FailureText();
        if (!strReason.empty())
            strReason = "the time server cannot be trusted: " + strReason;
        throw CWorkerError(
            platform::FormatText(
                "DownloadServerTimeProc::HttpSendRequest (0) in %lu secs - err=%lu\n", dwSeconds,
                dwLastError),
            dwLastError, std::move(strReason));
    }
    const DWORD dwStatus = request->StatusCode();
    if (dwStatus != 200)
    {
        const std::string strText = platform::FormatText(
            "DownloadServerTimeProc::HttpQueryInfo failed-status code=%lu\n", dwStatus);
        Trace("%s", strText.c_str());
        throw CWorkerError(strText);
    }
    std::string strBuffer(kReadBufferSize, '\0');
    DWORD dwRead = 0;
    if (!request->Read(strBuffer.data(), kReadBufferSize - 1, &dwRead) || dwRead == 0)
        throw CWorkerError("DownloadServerTimeProc::InternetReadFile failed.\n");
    strBuffer.resize(dwRead);
    return strBuffer;
}

void KeepServerTime(SSequenceThreadParams& params, const std::string& strFile)
{
    CSessionParmsParser parser;
    if (!parser.IsCreated())
    {
        Trace("CSessionParmsParser failed to create DOM Object");
        throw CWorkerError("CSessionParmsParser failed to create DOM Object");
    }
    if (!parser.LoadFromBuffer(strFile.c_str()))
    {
        Trace("LoadFromBuffer Failed: The Buffer is %s", strFile.c_str());
        throw CWorkerError("CSessionParmsParser failed to get root element");
    }
    parser.GetTimeStamp(params.pszTimeStamp.data(), params.pszTimeStamp.size());
    g_dwServerTimeTick = TickSeconds();
    g_dwServerTime = static_cast<DWORD>(platform::StrToLong(params.pszTimeStamp.data()));
}
} // namespace

DWORD GetTimeStamp(const std::shared_ptr<SSequenceThreadParams>& params)
{
    STimeStampState& state = State();
    if (g_dwServerTime == 0)
    {
        if (state.timeIdleEvent.IsSet() && !StartTimeThread(params))
            return 0;
        const DWORD dwWait =
            platform::WaitAny({&state.abortEvent, &state.timeIdleEvent}, platform::INFINITE);
        if (dwWait == platform::WAIT_OBJECT_0)
        {
            state.CloseHandles();
            return 0;
        }
        if (g_dwServerTime == 0)
            return 0;
    }
    const DWORD dwHours = (g_dwServerTime - g_dwServerTimeTick + TickSeconds()) / 3600;
    g_dwLastLogHours = dwHours;
    return dwHours;
}

unsigned DownloadServerTimeProc(const std::shared_ptr<SSequenceThreadParams>& params)
{
    const std::string strUrl = params->strTimeServer +
                               "/ovdk/radiotime?VERSION=" + params->strVersion +
                               "&OVUID=" + params->strOVUID;
    std::string strReason;
    try
    {
        const std::string strFile = FetchSessionParameters(strUrl);
        Trace("Received Session Parameter File:\n%s", strFile.c_str());
        KeepServerTime(*params, strFile);
    }
    catch (const std::exception& e)
    {
        const DWORD dwLastError = platform::http::LastError();
        if (const auto* pFailure = dynamic_cast<const CWorkerError*>(&e))
            strReason = pFailure->Reason();
        Trace("%s", e.what());
        if (!strReason.empty())
            Trace("%s", strReason.c_str());
        RaiseTimeError(e.what(), strUrl, dwLastError, strReason);
    }
    {
        platform::MutexLock lock(State().csFailure);
        State().strFailureReason = strReason;
    }
    State().CloseHandles();
    State().timeIdleEvent.Set();
    return 0;
}

std::string TimeFailureReason()
{
    platform::MutexLock lock(State().csFailure);
    return State().strFailureReason;
}

void SignalTimeStampAbort()
{
    State().abortEvent.Set();
}

void ResetTimeStampAbort()
{
    State().abortEvent.Reset();
}

void WaitForTimeIdle()
{
    State().timeIdleEvent.Wait(platform::INFINITE);
}

void ForgetServerTime()
{
    g_dwServerTime = 0;
    g_dwServerTimeTick = 0;
}

std::string TimeServerAddress(const std::string& strSequenceUrl)
{
    std::string strServer;
    host::PrefEasySafeQueryString("OVRadio", "TimeServer", kTimeServerBufferSize, strServer);
    if (!strServer.empty())
    {
        // A whole address keeps its scheme; a bare host[:port] means plain HTTP.
        if (strServer.find("://") == std::string::npos)
            return "http://" + strServer;
        while (strServer.back() == '/')
            strServer.pop_back();
        return strServer;
    }
    platform::http::UrlParts parts;
    if (!platform::http::CrackUrl(strSequenceUrl, parts))
        return "http://localhost";
    // The time server speaks the sequence server's scheme, on its port.
    std::string strAddress = parts.strScheme + "://" + parts.strHost;
    const WORD nDefaultPort = parts.strScheme == "https" ? 443 : 80;
    if (parts.nPort != 0 && parts.nPort != nDefaultPort)
    {
        strAddress += ':';
        strAddress += std::to_string(parts.nPort);
    }
    return strAddress;
}
