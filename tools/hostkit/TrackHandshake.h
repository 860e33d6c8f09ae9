// The host's side of the status handshake. GetNextTrackID fails with code 11 while the
// engine is building the next track; the host then acknowledges with AckNotified(0), waits
// for status 7 (a track is ready), 8 (ready, and the station sends no further sequences) or
// 3 (no track could be buffered), and asks again. A status can be lost to a race inside the
// engine, so after 10 s without one the host asks again anyway, and gives up after three
// such tries. Status 3 after an 8 is the station's end; without an 8 before it, an error.
// Every status taken from the queue, whatever its code, goes to the host's handler.
// Host's thread only (the one that calls the engine). The waits end early once the host's
// stop test holds: a host that stops from another thread makes it hold, then wakes the
// queue (CStatusQueue::Wake).
#pragma once

#include "StatusQueue.h"

#include <functional>
#include <ovradio/RadioEngine.h>

class CTrackHandshake
{
public:
    enum class ENext
    {
        eTrack,
        eStop,
        eStationEnded
    };

    static constexpr DWORD kReaskMs = 10000;
    static constexpr int kTries = 3;

    using StatusHandler = std::function<void(const SEngineStatus&)>;
    using StopTest = std::function<bool()>;

    CTrackHandshake(IRadioEngine& engine, CStatusQueue& queue, StatusHandler onStatus,
                    StopTest stopping);

    // The next track's id, a stop, or the station's end. Raises CPlayError for a failed
    // call, status 3 without an 8 before it, or no status within any of the tries.
    ENext NextTrack(INT& nTrackId);
    // Hands every queued status to the handler, oldest first; notes the handshake's
    // answer and the station's end.
    void HandleStatuses();
    // Waits until the tick count reaches dwDeadline on the platform clock, handling
    // statuses meanwhile; ends early on a stop.
    void WaitUntil(DWORD dwDeadline);
    bool Stopping() const { return m_stopping(); }
    // Whether an 8 came: the station sends no further sequences.
    bool EndAnnounced() const { return m_bEndAnnounced; }

private:
    IRadioEngine& m_engine;
    CStatusQueue& m_queue;
    StatusHandler m_onStatus;
    StopTest m_stopping;
    LONG m_nAnswer = 0; // 7, 8 or 3 since the last AckNotified(0); 0 while none came
    bool m_bEndAnnounced = false;
};
