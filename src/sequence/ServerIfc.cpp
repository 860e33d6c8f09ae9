#include "sequence/ServerIfc.h"

#include "host/Md5.h"
#include "host/Preferences.h"
#include "host/Trace.h"
#include "host/TracedLock.h"
#include "host/UserId.h"
#include "hostlibs/EventMgr.h"
#include "platform/Clock.h"
#include "platform/Convert.h"
#include "platform/Format.h"
#include "platform/Http.h"
#include "platform/HttpUrl.h"
#include "platform/Registry.h"
#include "sequence/ConnectionRateMeter.h"
#include "sequence/SequenceDownload.h"
#include "sequence/TimeStamp.h"
#include "sequence/TrackList.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace
{
constexpr const char* kDefaultSequenceUrl = "http://localhost/sequence.m3u?";
constexpr const char* kLogSalt = "Harbor Lantern Quill Meadow Signal";
constexpr const char* kERegKey = "SOFTWARE\\Orvale\\Orvale Deck\\SharedData\\EReg";
constexpr DWORD kSequenceUrlBufferSize = 2084;
constexpr DWORD kLangBufferSize = 24;
constexpr DWORD kLastCcdBufferSize = 100;
constexpr DWORD kVersionBufferSize = 256;
constexpr DWORD kAbortWaitMs = 10000;

std::atomic<DWORD> g_dwServerWaitTimeLimit{30};

// The parameters of the request that this thread carries out, on a download thread: an
// abort from inside its status callback must not wait for the thread it runs on.
thread_local const SSequenceThreadParams* t_pOwnRequest = nullptr;

bool IsUnreserved(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
           std::strchr("$-_.+!*'()", c) != nullptr;
}

// The personalisation grant of the installation; 0 when it cannot be read.
int PersonalizeGrant()
{
    try
    {
        const auto value =
            platform::Registry::QueryDword(platform::Hive::LocalMachine, kERegKey, "Personalize");
        return value ? static_cast<int>(*value) : 0;
    }
    catch (const std::exception&)
    {
        return 0;
    }
}

// The port given between the URL's last ':' and the '/' after it; 0 when there is none.
WORD ExplicitPort(const std::string& strUrl)
{
    const std::size_t nColon = strUrl.rfind(':');
    if (nColon == std::string::npos)
        return 0;
    const std::size_t nSlash = strUrl.find('/', nColon + 1);
    if (nSlash == std::string::npos)
        return 0;
    const LONG nPort =
        platform::StrToLong(std::string_view(strUrl).substr(nColon + 1, nSlash - nColon - 1));
    return nPort > 0 && nPort <= 65535 ? static_cast<WORD>(nPort) : 0;
}
} // namespace

bool EncodeText(std::string& text)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(text.size());
    for (const char c : text)
    {
        const auto byte = static_cast<unsigned char>(c);
        if (IsUnreserved(byte))
            encoded += c;
        else
        {
            encoded += '%';
            encoded += kHex[byte >> 4];
            encoded += kHex[byte & 0x0F];
        }
        if (encoded.size() >= kEncodedValueBufferSize)
            return false;
    }
    text = std::move(encoded);
    return true;
}

BOOL SplitUrl(const std::string& strUrl, SServerAddress& address)
{
    std::string strCanonical;
    if (!platform::http::CanonicalizeUrl(strUrl, strCanonical))
        return FALSE;
    platform::http::UrlParts parts;
    const std::string& strSplit =
        strCanonical.size() < kSequenceUrlBufferSize ? strUrl : strCanonical;
    if (!platform::http::CrackUrl(strSplit, parts) || parts.strHost.size() > kUrlPartMaxChars ||
        parts.strPathWithQuery.size() > kUrlPartMaxChars)
        return FALSE;
    const std::optional<platform::http::EScheme> scheme = platform::http::SchemeOf(parts.strScheme);
    if (!scheme)
        return FALSE;
    address.eScheme = *scheme;
    address.strHost = parts.strHost;
    address.strPathWithQuery = parts.strPathWithQuery;
    address.nPort = parts.nPort;
    if (const WORD nGiven = ExplicitPort(strUrl); nGiven > 0)
        address.nPort = nGiven;
    if (address.nPort == 0)
        address.nPort = *scheme == platform::http::EScheme::eHttps ? 443 : 80;
    return TRUE;
}

std::shared_ptr<platform::http::Session> OpenHttpSession(const std::string& strAgent)
{
    std::string strTrustFile;
    host::PrefQueryValueString("OVRadio", "TlsCaFile", kSequenceUrlBufferSize, strTrustFile);
    return std::make_shared<platform::http::Session>(strAgent, strTrustFile);
}

BOOL GenerateSequenceLogValue(DWORD dwHours, const std::string& strUid, char* pszOut)
{
    host::CMd5 md5;
    md5.Add(strUid);
    md5.Add(std::to_string(dwHours));
    md5.Add(kLogSalt);
    const std::string strHex = md5.FinishHex();
    std::memcpy(pszOut, strHex.c_str(), strHex.size() + 1);
    return TRUE;
}

DWORD CServerIfc::ServerWaitTimeLimit()
{
    return g_dwServerWaitTimeLimit;
}

void CServerIfc::SetServerWaitTimeLimit(DWORD dwSeconds)
{
    g_dwServerWaitTimeLimit = dwSeconds;
}

void CServerIfc::ReportSendDelay(const std::string& strServerPath, DWORD dwSeconds, bool bSent)
{
    if (dwSeconds < ServerWaitTimeLimit())
        return;
    mcEvent event(eEventCategoryError, "ServerHttpRequestDelay");
    event.AddParameter("ServerPath", strServerPath.c_str());
    event.AddParameter("WaitTime", static_cast<int>(dwSeconds));
    event.AddParameter("ReturnValue", bSent ? 1 : 0);
    GetEventMgr()->PostEvent(event);
}

CServerIfc::CServerIfc()
    : m_strSequenceUrl(kDefaultSequenceUrl), m_pParams(std::make_shared<SSequenceThreadParams>())
{
    SSequenceThreadParams& params = Params();
    if (host::PrefEasySafeQueryUINT32("OVRadio", "SessionID", &params.nSessionID) != 0)
        Trace("ServerIfc::SessionID not found in reg. Setting to %lu", params.nSessionID);
    host::PrefQueryValueString("OVRadio", "SequenceUrl", kSequenceUrlBufferSize, m_strSequenceUrl);
    std::string strLang = "ENU";
    if (host::PrefEasySafeQueryString("OVGlobal", "Default Lang", kLangBufferSize, strLang) == 0)
        params.strLang = strLang;
    std::string strLastCcd = "0.00";
    if (host::PrefQueryValueString("OVRadio", "Last CCD", kLastCcdBufferSize, strLastCcd) == 0)
        m_dLastCCD = std::strtod(strLastCcd.c_str(), nullptr);
    RetrieveCommonInfo();
    params.strTimeServer = TimeServerAddress(m_strSequenceUrl);
}

CServerIfc::~CServerIfc()
{
    Abort();
    Params().hTrackInfoWaitEvent.Set();
    WaitForTimeIdle();
    m_pRateMeter = nullptr;
    if (m_dLastCCD > 0)
    {
        char szText[64];
        std::snprintf(szText, sizeof(szText), "%.3f", m_dLastCCD);
        if (host::PrefSetValueString("OVRadio", "Last CCD", szText) != 0)
            Trace("~CServerIfc - logging Last CCD to registry failed= %s", szText);
    }
}

BOOL CServerIfc::RetrieveCommonInfo()
{
    std::string strVersion;
    host::PrefEasySafeQueryString("MainApp", "Version", kVersionBufferSize, strVersion);
    m_strVersion = strVersion;
    SSequenceThreadParams& params = Params();
    params.strVersion = strVersion;
    params.strOVUID = GetUserId();
    if (params.strOVUID.empty())
    {
        Trace("ServerIfc::RetrieveCommonInfo failed to get OVUID");
        return FALSE;
    }
    DWORD dwPJB = 0;
    host::PrefEasySafeQueryUINT32("OVRadio", "PJB", &dwPJB);
    m_nPJB = static_cast<int>(dwPJB);
    return TRUE;
}

void CServerIfc::UpdateCCD()
{
    double dRate = 0;
    if (m_pRateMeter && m_pRateMeter->GetRate(dRate))
        m_dLastCCD = dRate;
    else if (m_dLastCCD > 0)
        dRate = m_dLastCCD;
    if (dRate > 0)
    {
        SSequenceThreadParams& params = Params();
        const double dValue = dRate * 8.0 / (params.nCCDThresh * 0.01 + 1.0);
        params.strCCD = std::to_string(static_cast<long long>(dValue));
    }
}

DWORD CServerIfc::GetRequestClock()
{
    const DWORD dwNow = platform::timeGetTime();
    if (!m_bClockStarted)
    {
        m_bClockStarted = true;
        m_dwClockStart = dwNow;
        return 0;
    }
    const DWORD dwElapsed = dwNow - m_dwClockStart;
    if (dwElapsed == 0)
    {
        m_dwClockStart = dwNow;
        return 1;
    }
    return dwElapsed / 1000;
}

std::shared_ptr<SSequenceThreadParams> CServerIfc::CurrentParams() const
{
    TracedLock lock(m_csRun);
    return m_pParams;
}

CServerIfc::SRun CServerIfc::CurrentRun() const
{
    TracedLock lock(m_csRun);
    return {m_pParams, m_threadDownload.Duplicate()};
}

EDownloadStatus CServerIfc::GetDownloadStatus() const
{
    return CurrentParams()->nDownloadStatus;
}

void CServerIfc::SetSeqAbort()
{
    CurrentParams()->bSeqAbort = 1;
}

bool CServerIfc::WaitForDownloadEnd(DWORD dwMilliseconds) const
{
    return CurrentRun().thread.Wait(dwMilliseconds) == platform::WAIT_OBJECT_0;
}

bool CServerIfc::IsRadioTracksDownloadActive() const
{
    const SRun run = CurrentRun();
    if (!run.thread)
        return false;
    // A thread that has not yet begun (status idle) counts as well: a second one started
    // beside it would share its list and its event.
    const EDownloadStatus status = run.pParams->nDownloadStatus;
    return run.thread.IsAlive() &&
           (status == EDownloadStatus::eIdle || status == EDownloadStatus::eDownloading) &&
           run.pParams->strUrl.find("REQUEST=RADIO_TRACKS") != std::string::npos;
}

// The parameters for the next request. A download thread that outlived the wait for it
// still uses the current ones: the next request gets a copy of their values, so the two
// never share state again. The previous thread's handle is closed.
std::shared_ptr<SSequenceThreadParams> CServerIfc::ParamsForNewRequest()
{
    TracedLock lock(m_csRun);
    if (m_threadDownload && m_threadDownload.Wait(0) != platform::WAIT_OBJECT_0)
    {
        const SSequenceThreadParams& old = *m_pParams;
        auto fresh = std::make_shared<SSequenceThreadParams>();
        fresh->pfnStatusCallback = old.pfnStatusCallback;
        fresh->strStationId = old.strStationId;
        fresh->strDispStation = old.strDispStation;
        fresh->strOVUID = old.strOVUID;
        fresh->strLang = old.strLang;
        fresh->strAFD = old.strAFD;
        fresh->strCCD = old.strCCD;
        fresh->strUserInfo = old.strUserInfo;
        fresh->strUserId = old.strUserId;
        fresh->strVersion = old.strVersion;
        fresh->strTimeServer = old.strTimeServer;
        fresh->nCCDWindow = old.nCCDWindow.load();
        fresh->nCCDThresh = old.nCCDThresh.load();
        fresh->nNumCaches = old.nNumCaches.load();
        fresh->nMinBitRate = old.nMinBitRate.load();
        fresh->nSessionID = old.nSessionID;
        fresh->bSeqAbort = old.bSeqAbort.load();
        m_pParams = std::move(fresh);
    }
    m_threadDownload.Close();
    return m_pParams;
}

bool CServerIfc::BuildRequestUrl(SSequenceThreadParams& params, const std::string& stationId,
                                 const std::string& dispStation)
{
    std::string strUser =
        params.strUserId.empty() ? params.strOVUID : params.strUserId + ":" + params.strOVUID;
    std::string strUserInfo = params.strUserInfo;
    std::string strAFD = params.strAFD;
    if (!EncodeText(strUser) || !EncodeText(strUserInfo) || !EncodeText(strAFD))
    {
        Trace("StartSequenceDownload - a request value is too long to be sent\n");
        return false;
    }
    UpdateCCD();
    const DWORD dwTime = GetRequestClock();
    std::string strUrl =
        m_strSequenceUrl + "REQUEST=RADIO_TRACKS" + "&OVUID=" + strUser +
        "&STATION_ID=" + stationId + "&DISPSTATION=" + dispStation + "&VERSION=" + m_strVersion +
        "&GRANT=" + std::to_string(PersonalizeGrant()) + "&LANG=" + params.strLang +
        "&TOKEN=" + std::to_string(params.nSessionID) + "&AFD=" + strAFD + "&CCD=" + params.strCCD +
        "&USR_INFO=" + strUserInfo + "&TIME=" + std::to_string(static_cast<LONG>(dwTime)) +
        "&PJB=" + std::to_string(m_nPJB) + "&SEQABORT=" + std::to_string(params.bSeqAbort.load()) +
        "&LOG=";
    // The signature's 32 characters and the terminating zero must fit as well.
    if (strUrl.size() + 32 + 1 > kRequestUrlBufferSize)
    {
        Trace("StartSequenceDownload - the request url would be %lu bytes long\n",
              static_cast<DWORD>(strUrl.size() + 32));
        return false;
    }
    params.strUrl = std::move(strUrl);
    return true;
}

BOOL CServerIfc::StartSequenceDownload(std::string stationId,
                                       const std::shared_ptr<CTrackList>& pTrackList)
{
    std::string dispStation = Params().strDispStation;
    if (!EncodeText(stationId) || !EncodeText(dispStation))
    {
        Trace("StartSequenceDownload - a request value is too long to be sent\n");
        return FALSE;
    }
    if (!pTrackList)
        return TRUE;
    if (IsRadioTracksDownloadActive())
    {
        if (stationId == Params().strStationId)
        {
            Trace("StartSequenceDownload - RADIO_TRACKS thread is already alive!\n");
            return TRUE;
        }
        Trace("StartSequenceDownload - two consecutive radiotrack requests on diff stations!\n");
        Abort();
    }
    Trace("ServerIfc::StartSequenceDownload- starting a thread for -%s", stationId.c_str());
    const std::shared_ptr<SSequenceThreadParams> pParams = ParamsForNewRequest();
    SSequenceThreadParams& params = *pParams;
    params.bAbort = 0;

    if (!BuildRequestUrl(params, stationId, dispStation))
        return FALSE;
    params.bSeqAbort = 0;
    Trace("StartSequenceDownload::Url = %s\n", params.strUrl.c_str());
    params.strStationId = stationId;
    params.pTrackList = pTrackList;
    params.nDownloadStatus = EDownloadStatus::eIdle;
    params.nStatusCode = 200;
    params.SetFailureReason({});
    params.hTrackInfoWaitEvent.Reset();

    BOOL bResult = TRUE;
    try
    {
        platform::Thread thread(
            [pParams]
            {
                t_pOwnRequest = pParams.get();
                return DownloadSequenceProc(pParams);
            });
        TracedLock lock(m_csRun);
        m_threadDownload = std::move(thread);
    }
    catch (const std::exception&)
    {
        Trace("Download thread creation failed");
        bResult = FALSE;
    }
    Trace("CServerIfc::StartSequenceDownload <exit> downloadstatus=%d <ret=%d>\n",
          static_cast<int>(params.nDownloadStatus.load()), bResult);
    return bResult;
}

void CServerIfc::Abort()
{
    const SRun run = CurrentRun();
    run.pParams->bAbort = 1;
    SignalTimeStampAbort();
    run.pParams->hTrackInfoWaitEvent.Set();
    TerminateRun(run, kAbortWaitMs);
}

void CServerIfc::TerminateDownload(DWORD dwTimeoutMs)
{
    TerminateRun(CurrentRun(), dwTimeoutMs);
}

void CServerIfc::TerminateRun(const SRun& run, DWORD dwTimeoutMs)
{
    if (!run.thread)
        return;
    SSequenceThreadParams& params = *run.pParams;
    // A reader waiting for a stalled server lets g_csDownload go once its read is cut short.
    {
        platform::MutexLock slots(params.csHandles);
        if (params.hInternetRequest)
            params.hInternetRequest->Cancel();
    }
    {
        TracedLock lock(DownloadLock(), "TerminateDownload");
        CloseDownloadHandles(params);
    }
    // Called back on the download thread itself: it ends once the callback has returned.
    if (t_pOwnRequest != &params && run.thread.Wait(dwTimeoutMs) == platform::WAIT_TIMEOUT)
        Trace("SeqSvr::TerminateDownload wait on blocked wininet call timed out-%s",
              params.strDispStation.c_str());
    TracedLock lock(m_csRun);
    if (m_threadDownload.Wait(0) == platform::WAIT_OBJECT_0)
        m_threadDownload.Close();
}

BOOL CServerIfc::ResetAbort()
{
    const std::shared_ptr<SSequenceThreadParams> pParams = CurrentParams();
    pParams->bAbort = 0;
    ResetTimeStampAbort();
    pParams->nStatusCode = 200;
    return TRUE;
}
