// The pause before a sequence request that follows sequences whose tracks were all refused
// or unusable: 1 s after the first such sequence, doubling up to 60 s, so that an outage of
// the content servers never turns into a flood of sequence requests from every listener.
// After kGiveUpAfter such sequences in a row the station is given up: no further request
// until Reset (the host asked again: a new station, a refresh). Owned by the sequence
// manager.
//
// Threads: the thread that takes tracks (the stream manager's new-cache thread) counts the
// sequences and waits; any thread resets or aborts. m_cs is a leaf, held only for the few
// steps of each operation; WaitForPause blocks without it, on the platform clock.
#pragma once

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include "platform/Types.h"

class CRequestBackoff
{
public:
    static constexpr DWORD kFirstPauseMs = 1000;
    static constexpr DWORD kLongestPauseMs = 60000;
    static constexpr int kGiveUpAfter = 5;

    // A sequence ended without a usable track: the next request waits longer, and the
    // kGiveUpAfter-th in a row gives the station up. Never blocks.
    void SequenceFailed() OVR_EXCLUDES(m_cs);
    // A track was usable: no pause before the next request, the count back to 0.
    void SequenceSucceeded() OVR_EXCLUDES(m_cs);
    // No pause, not given up, no abort; a thread waiting for the pause returns at once.
    void Reset() OVR_EXCLUDES(m_cs);
    // The station ends: a thread waiting for the pause returns at once, as does every
    // later wait until Reset.
    void Abort() OVR_EXCLUDES(m_cs);

    // Milliseconds left before the next request may be sent; 0 when it may go now.
    DWORD RemainingMs() const OVR_EXCLUDES(m_cs);
    // Blocks until the pause has passed on the platform clock (true), or until Abort, or
    // at once when the station was given up (false). Reset ends the wait (true).
    bool WaitForPause() OVR_EXCLUDES(m_cs);
    bool HasGivenUp() const OVR_EXCLUDES(m_cs);
    int FailedInRow() const OVR_EXCLUDES(m_cs);
    // True while a thread is inside WaitForPause (for tests that drive a manual clock).
    bool IsWaiting() const OVR_EXCLUDES(m_cs);

private:
    DWORD RemainingLocked() const OVR_REQUIRES(m_cs);

    mutable platform::Mutex m_cs;
    int m_nFailedInRow OVR_GUARDED_BY(m_cs) = 0;
    // Tick count at which the pause began, and its length; no pause while 0.
    DWORD m_dwPauseStart OVR_GUARDED_BY(m_cs) = 0;
    DWORD m_dwPauseMs OVR_GUARDED_BY(m_cs) = 0;
    bool m_bAborted OVR_GUARDED_BY(m_cs) = false;
    int m_nWaiters OVR_GUARDED_BY(m_cs) = 0;
    // Set by Reset and Abort, so that a waiter looks again.
    platform::Event m_evChanged{false, false};
};
