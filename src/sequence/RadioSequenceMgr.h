// The stream manager's single source of tracks: owns the sequence client and the list of
// track records its download thread fills, hands the tracks out one at a time in sequence
// order, asks for the next sequence as soon as the last track is handed out, and blocks
// the caller until the first track of a new sequence has arrived. Called from the stream
// manager's threads. Locks: g_csTrackList before g_csSequence, both recursive; the list
// guards its own records, so the download thread appends without either. g_csTrackList
// serialises the handing out of tracks; g_csSequence the start of requests and the
// station they are for.
#pragma once

#include "platform/CriticalSection.h"
#include "platform/Types.h"
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
    // empty; then blocks without limit until the first track of the new sequence has
    // come, the download failed or Abort.
    BOOL GetNextTrack(STrackInfo& out) OVR_EXCLUDES(g_csTrackList, g_csSequence);
    // Any thread, also while another waits in GetNextTrack: releases it, then takes
    // g_csTrackList once it has returned. Blocks up to 10 s for the download thread.
    BOOL Abort() OVR_EXCLUDES(g_csTrackList);
    // The stream manager's thread. Aborts the download (up to 10 s), blocks until its
    // thread has stopped downloading, then takes g_csTrackList.
    void ClearSequence() OVR_EXCLUDES(g_csTrackList);
    // Any thread; no lock.
    int GetSequenceStatus() const;
    // Any thread; only the list's own lock. The front record's nextdisplay, or "no" when
    // no track waits.
    std::string GetNextDisplayText() const;

    CServerIfc& ServerIfc() { return *m_pServerIfc; }

    // A wait for the first track of a sequence this long or longer is reported.
    static constexpr DWORD kDelayReportMs = 30000;

private:
    BOOL GetNextSequenceLocked() OVR_REQUIRES(g_csSequence);
    bool TakeFront(STrackInfo& out);
    BOOL WaitForNewSequence(STrackInfo& out) OVR_REQUIRES(g_csTrackList) OVR_EXCLUDES(g_csSequence);

    std::string m_strStationId OVR_GUARDED_BY(g_csSequence);
    std::atomic<int> m_bAbort{0};
    std::shared_ptr<CTrackList> m_TrackList;
    std::unique_ptr<CServerIfc> m_pServerIfc;
};
