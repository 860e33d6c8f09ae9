#include "sequence/RadioSequenceMgr.h"

#include "host/Trace.h"
#include "host/TracedLock.h"
#include "hostlibs/EventMgr.h"
#include "platform/Clock.h"
#include "platform/CriticalSection.h"
#include "platform/DebugOutput.h"

platform::CriticalSection g_csTrackList;
platform::CriticalSection g_csSequence;

namespace
{

void ReportDelay(const std::string& strUrl, DWORD dwWaitMs)
{
    mcEvent event(eEventCategoryError, "ServerHttpRequestDelay");
    event.AddParameter("ServerPath", strUrl.c_str());
    event.AddParameter("WaitTime", static_cast<int>(dwWaitMs));
    GetEventMgr()->PostEvent(event);
}
} // namespace

CRadioSequenceMgr::CRadioSequenceMgr()
    : m_TrackList(std::make_shared<CTrackList>()), m_pServerIfc(std::make_unique<CServerIfc>())
{
    Initialize();
}

CRadioSequenceMgr::~CRadioSequenceMgr()
{
    m_pServerIfc.reset();
}

BOOL CRadioSequenceMgr::Initialize()
{
    TracedLock lock(g_csSequence, "CRadioSequenceMgr::Initialize-g_csSequence");
    m_bAbort = 0;
    m_TrackList->Clear("CRadioSequenceMgr::Initialize-g_csSequence");
    m_pServerIfc->ResetAbort();
    return TRUE;
}

BOOL CRadioSequenceMgr::GetNewSequence(std::string stationId)
{
    // Waits for a sequence operation in progress; the station changes under the lock that
    // the request start reads it under.
    TracedLock lock(g_csSequence, "CRadioSequenceMgr::GetNewSequence-g_csSequence");
    m_strStationId = std::move(stationId);
    return TRUE;
}

BOOL CRadioSequenceMgr::GetNextSequence()
{
    TracedLock lock(g_csSequence, "CRadioSequenceMgr::GetNextSequence-g_csSequence");
    return GetNextSequenceLocked();
}

BOOL CRadioSequenceMgr::GetNextSequenceLocked()
{
    try
    {
        if (m_bAbort == 1)
            return FALSE;
        const int nStatus = GetSequenceStatus();
        if (nStatus == 244 || nStatus == 404)
        {
            Trace("CRadioSequenceMgr::GetNextSequence returned FALSE onSequence code - %d\n",
                  nStatus);
            return FALSE;
        }
        const BOOL bResult = m_pServerIfc->StartSequenceDownload(m_strStationId, m_TrackList);
        platform::DebugOutput("CRadioSequenceMgr::GetNextSequence <exit>\n");
        return bResult;
    }
    catch (const std::exception& e)
    {
        platform::DebugOutput(e.what());
        return FALSE;
    }
}

bool CRadioSequenceMgr::TakeFront(STrackInfo& out)
{
    STrackInfo rec;
    if (!m_TrackList->PopFront(rec))
        return false;
    out = std::move(rec);
    return true;
}

// The list is empty: request a sequence and wait for its first track.
BOOL CRadioSequenceMgr::WaitForNewSequence(STrackInfo& out)
{
    TracedLock lock(g_csSequence, "CRadioSequenceMgr::GetNextTrack - g_csSequence");
    if (!GetNextSequenceLocked() || m_bAbort == 1)
        return FALSE;
    const DWORD dwStart = platform::GetTickCount();
    m_pServerIfc->Params().hTrackInfoWaitEvent.Wait(platform::INFINITE);
    const DWORD dwWaited = platform::GetTickCount() - dwStart;
    if (dwWaited >= kDelayReportMs)
        ReportDelay(m_pServerIfc->Params().strUrl, dwWaited);
    if (m_bAbort == 1)
        return FALSE;
    return TakeFront(out) ? TRUE : FALSE;
}

BOOL CRadioSequenceMgr::GetNextTrack(STrackInfo& out)
{
    TracedLock lock(g_csTrackList, "CRadioSequenceMgr::GetNextTrack-g_csTrackList");
    if (m_bAbort == 1)
        return FALSE;
    if (TakeFront(out))
    {
        if (m_TrackList->Empty())
            GetNextSequence(); // the following sequence, ahead of time
    }
    else if (!WaitForNewSequence(out))
        return FALSE;
    if (!m_TrackList->Empty())
        out.comingup = m_TrackList->FrontNextDisplay();
    Trace("CRadioSequenceMgr::GetNextTrack returned %s(%lu)<exit>\n", out.track.c_str(),
          out.trackid);
    return TRUE;
}

BOOL CRadioSequenceMgr::Abort()
{
    m_bAbort = 1;
    m_pServerIfc->Abort();
    TracedLock lock(g_csTrackList, "CRadioSequenceMgr::Abort-g_csTrackList");
    m_TrackList->Clear("CRadioSequenceMgr::Abort-g_csTrackList");
    return TRUE;
}

void CRadioSequenceMgr::ClearSequence()
{
    m_pServerIfc->Abort();
    // The status leaves "downloading" just before the download thread ends, so a wait for
    // that end stands for a poll of the status.
    if (m_pServerIfc->GetDownloadStatus() == EDownloadStatus::eDownloading)
        m_pServerIfc->WaitForDownloadEnd(platform::INFINITE);
    TracedLock lock(g_csTrackList, "CRadioSequenceMgr::ClearSequence-g_csTrackList");
    m_TrackList->Clear("CRadioSequenceMgr::ClearSequence-g_csTrackList");
    m_pServerIfc->SetSeqAbort();
}

int CRadioSequenceMgr::GetSequenceStatus() const
{
    return m_pServerIfc->Params().nStatusCode;
}

std::string CRadioSequenceMgr::GetNextDisplayText() const
{
    return m_TrackList->FrontNextDisplay();
}
