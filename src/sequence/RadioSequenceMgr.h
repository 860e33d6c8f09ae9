// The stream manager's single source of tracks: owns the sequence client and the list of
// track records its download thread fills, hands the tracks out one at a time in sequence
// order, asks for the next sequence as soon as the last track is handed out, and blocks
// the caller until the first track of a new sequence has arrived. Called from the stream
// manager's threads. Locks: g_csTrackList before g_csSequence, both recursive; the list
// guards its own records, so the download thread appends without either.
#pragma once

#include "platform/Types.h"
#include "sequence/ServerIfc.h"
#include "sequence/TrackInfo.h"
#include "sequence/TrackList.h"

#include <atomic>
#include <memory>
#include <string>

class CRadioSequenceMgr
{
public:
    CRadioSequenceMgr();
    virtual ~CRadioSequenceMgr();
    CRadioSequenceMgr(const CRadioSequenceMgr&) = delete;
    CRadioSequenceMgr& operator=(const CRadioSequenceMgr&) = delete;

    BOOL Initialize();
    BOOL GetNewSequence(std::string stationId);
    BOOL GetNextSequence();
    BOOL GetNextTrack(STrackInfo& out);
    BOOL Abort();
    void ClearSequence();
    int GetSequenceStatus() const;
    // The front record's nextdisplay, or "no" when no track waits.
    std::string GetNextDisplayText() const;

    CServerIfc& ServerIfc() { return *m_pServerIfc; }

    // A wait for the first track of a sequence this long or longer is reported.
    static constexpr DWORD kDelayReportMs = 30000;

private:
    bool TakeFront(STrackInfo& out);
    BOOL WaitForNewSequence(STrackInfo& out);

    std::string m_strStationId;
    std::atomic<int> m_bAbort{0};
    std::shared_ptr<CTrackList> m_TrackList;
    std::unique_ptr<CServerIfc> m_pServerIfc;
};
