// The stream manager's single source of tracks: owns the sequence client and the list of
// track records its download thread fills, hands the tracks out one at a time in sequence
// order, asks for the next sequence as soon as the last track is handed out, and blocks
// the caller until the first track of a new sequence has arrived. Called from the stream
// manager's threads. Locks: g_csTrackList before g_csSequence, both recursive; the list
// guards its own records, so the download thread appends without either. g_csTrackList
// serialises the handing out of tracks; g_csSequence the start of requests and the
// station they are for.
// After sequences whose tracks were all refused or unusable, the next request waits a
// growing pause, and after a few such sequences in a row none is sent until the station
// starts again or the host refreshes it (CRequestBackoff); the stream manager reports
// each track's outcome so that the manager can tell.
#pragma once

#include "platform/CriticalSection.h"
#include "platform/Types.h"
#include "sequence/RequestBackoff.h"
#include "sequence/ServerIfc.h"
#include "sequence/TrackInfo.h"
#include "sequence/TrackList.h"

#include <atomic>
#include <memory>
#include <string>

// The manager's process-wide locks (one manager exists at a time).
extern platform::CriticalSection g_csTrackList;
extern platform::CriticalSection g_csSequence OVR_ACQUIRED_AFTER(g_csTrackList);

class CRadioSequenceMgr
{
public:
    CRadioSequenceMgr();
    // Destroys the client, which aborts its download (up to 10 s).
    virtual ~CRadioSequenceMgr();
    CRadioSequenceMgr(const CRadioSequenceMgr&) = delete;
    CRadioSequenceMgr& operator=(const CRadioSequenceMgr&) = delete;

    // The stream manager's threads. Each takes g_csSequence, so it blocks while another
    // thread starts a request or waits in GetNextTrack for a new sequence.
    BOOL Initialize() OVR_EXCLUDES(g_csSequence);
    BOOL GetNewSequence(std::string stationId) OVR_EXCLUDES(g_csSequence);
    BOOL GetNextSequence() OVR_EXCLUDES(g_csSequence);
    // The stream manager's threads. Takes g_csTrackList, then g_csSequence when the list is
    // empty; then blocks for the pause after refused sequences (see WaitForRequestPause)
    // and without limit until the first track of the new sequence has come, the download
    // failed or Abort. FALSE at once, sending nothing, once the station was given up.
    BOOL GetNextTrack(STrackInfo& out) OVR_EXCLUDES(g_csTrackList, g_csSequence);
    // The thread that took the last track (GetNextTrack): whether it got a usable cache.
    // A sequence none of whose tracks was usable makes the next request wait longer; a
    // usable track ends the pauses. Never blocks beyond g_csTrackList.
    void ReportTrackOutcome(bool bUsable) OVR_EXCLUDES(g_csTrackList);
    // Any thread; never blocks. Milliseconds the next GetNextTrack would wait before its
    // request: 0 while tracks wait in the list, when no pause is due or the station was
    // given up.
    DWORD RequestPauseMs() const;
    // The caller's thread, holding none of the manager's locks: blocks until the pause
    // has passed (true), or until Abort or the station was given up (false).
    bool WaitForRequestPause() { return m_backoff.WaitForPause(); }
    // Any thread; never blocks. The host asked again: no pause, and a given-up station
    // may be asked for again; a thread waiting for the pause goes on at once.
    void ResetRequestPause() { m_backoff.Reset(); }
    // Any thread; never blocks. True once no further request is sent for this station
    // because the tracks of kGiveUpAfter sequences in a row were all refused or unusable.
    bool HasGivenUp() const { return m_backoff.HasGivenUp(); }
    const CRequestBackoff& RequestBackoff() const { return m_backoff; }
    // Any thread, also while another waits in GetNextTrack: releases it, then takes
    // g_csTrackList once it has returned. Blocks up to 10 s for the download thread.
    BOOL Abort() OVR_EXCLUDES(g_csTrackList);
    // The stream manager's thread. Aborts the download (up to 10 s), blocks until its
    // thread has stopped downloading, then takes g_csTrackList.
    void ClearSequence() OVR_EXCLUDES(g_csTrackList);
    // Any thread; no lock.
    int GetSequenceStatus() const;
    // Any thread; only leaf locks. Why the last sequence request failed when its server
    // (or the time server) could not be trusted; empty otherwise.
    std::string FailureReason() const { return m_pServerIfc->FailureReason(); }
    // Any thread; only the list's own lock. The front record's nextdisplay, or "no" when
    // no track waits.
    std::string GetNextDisplayText() const;

    CServerIfc& ServerIfc() { return *m_pServerIfc; }

    // A wait for the first track of a sequence this long or longer is reported.
    static constexpr DWORD kDelayReportMs = 30000;

private:
    // bAhead: the request that is sent as the last track is handed out, which is left
    // out while the pause after refused sequences is in force.
    BOOL GetNextSequenceLocked(bool bAhead) OVR_REQUIRES(g_csSequence);
    bool TakeFront(STrackInfo& out);
    BOOL WaitForNewSequence(STrackInfo& out) OVR_REQUIRES(g_csTrackList) OVR_EXCLUDES(g_csSequence);

    std::string m_strStationId OVR_GUARDED_BY(g_csSequence);
    std::atomic<int> m_bAbort{0};
    std::shared_ptr<CTrackList> m_TrackList;
    std::unique_ptr<CServerIfc> m_pServerIfc;
    CRequestBackoff m_backoff;
    // Numbers of the requests started, of the one whose track was handed out last, of the
    // last that gave a usable track and of the last counted as refused. The list holds the
    // tracks of the latest request only: it is empty whenever a request starts.
    std::atomic<unsigned> m_nRequests{0};
    std::atomic<unsigned> m_nTrackRequest{0};
    std::atomic<unsigned> m_nUsableRequest{0};
    std::atomic<unsigned> m_nCountedRequest{0};
};
