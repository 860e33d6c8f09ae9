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
    m_backoff.Reset();
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
    return GetNextSequenceLocked(true);
}

BOOL CRadioSequenceMgr::GetNextSequenceLocked(bool bAhead)
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
        if (m_backoff.HasGivenUp())
        {
            Trace("CRadioSequenceMgr::GetNextSequence - no track of the last %d sequences was "
                  "usable: no further request\n",
                  m_backoff.FailedInRow());
            return FALSE;
        }
        if (m_backoff.FailedInRow() > 0)
        {
            // After refused sequences every request waits for its pause, none goes ahead.
            if (bAhead || !m_backoff.WaitForPause())
                return FALSE;
        }
        const BOOL bResult = m_pServerIfc->StartSequenceDownload(m_strStationId, m_TrackList);
        if (bResult)
            ++m_nRequests;
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
    if (!GetNextSequenceLocked(false) || m_bAbort == 1)
        return FALSE;
    const DWORD dwStart = platform::GetTickCount();
    m_pServerIfc->Params().hTrackInfoWaitEvent.Wait(platform::INFINITE);
    const DWORD dwWaited = platform::GetTickCount() - dwStart;
    if (dwWaited >= kDelayReportMs)
        ReportDelay(m_pServerIfc->Params().strUrl, dwWaited);
    if (m_bAbort == 1)
        return FALSE;
    if (!TakeFront(out))
        return FALSE;
    m_nTrackRequest = m_nRequests.load();
    return TRUE;
}

BOOL CRadioSequenceMgr::GetNextTrack(STrackInfo& out)
{
    TracedLock lock(g_csTrackList, "CRadioSequenceMgr::GetNextTrack-g_csTrackList");
    if (m_bAbort == 1)
        return FALSE;
    if (TakeFront(out))
    {
        m_nTrackRequest = m_nRequests.load();
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

void CRadioSequenceMgr::ReportTrackOutcome(bool bUsable)
{
    TracedLock lock(g_csTrackList, "CRadioSequenceMgr::ReportTrackOutcome-g_csTrackList");
    const unsigned nRequest = m_nTrackRequest;
    if (bUsable)
    {
        m_nUsableRequest = nRequest;
        m_backoff.SequenceSucceeded();
        return;
    }
    if (m_nUsableRequest == nRequest || m_nCountedRequest == nRequest)
        return;
    // Tracks of the same sequence still to try: it has not failed yet.
    if (m_nRequests == nRequest && !m_TrackList->Empty())
        return;
    m_nCountedRequest = nRequest;
    m_backoff.SequenceFailed();
    Trace("CRadioSequenceMgr - no track of the sequence was usable (%d in a row); the next "
          "request waits %lu ms\n",
          m_backoff.FailedInRow(), m_backoff.RemainingMs());
}

DWORD CRadioSequenceMgr::RequestPauseMs() const
{
    if (!m_TrackList->Empty() || m_backoff.HasGivenUp())
        return 0;
    return m_backoff.RemainingMs();
}

BOOL CRadioSequenceMgr::Abort()
{
    m_bAbort = 1;
    m_backoff.Abort();
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
