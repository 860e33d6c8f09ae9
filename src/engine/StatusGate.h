// The one way a status code reaches the host's callback. Every code of the stream
// manager (3, 6, 7, 8) and of the sequence download thread (9, 10) passes here, so that
// closing the gate at the end of a session stops them all: Close returns only once no
// call on another thread is still inside the callback, and after it no call is made until
// the next Open or Reopen. A callback that calls back into the engine (AckNotified, even
// EndSession) from inside itself does not deadlock: the gate holds no lock while it
// calls, and Close waits neither for the calls of its own thread nor for those of a
// thread that is itself closing from inside a call (two callbacks that end the session
// at once both return).
//
// Threads: Open and Close on the host's thread; Call on any thread (the new-cache thread,
// the reading thread, sequence download threads, which share the gate, so it outlives
// the stream manager when one of them does). m_csGate is a leaf, held only to look at or
// change the state, never while the callback runs. Close blocks while other threads are
// inside the callback.
#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include "sequence/SequenceThreadParams.h"

#include <condition_variable>

class CStatusGate
{
public:
    CStatusGate() = default;
    CStatusGate(const CStatusGate&) = delete;
    CStatusGate& operator=(const CStatusGate&) = delete;

    // Lets calls through to the callback (none when it is empty).
    void Open(StatusCallback pfnStatusCallback) OVR_EXCLUDES(m_csGate);
    // Lets calls through again to the callback of the last Open, after a Close.
    void Reopen() OVR_EXCLUDES(m_csGate);
    // Stops every later call and waits until the calls under way on other threads have
    // returned.
    void Close() OVR_EXCLUDES(m_csGate);
    // True when a call would reach a callback.
    bool IsOpen() const OVR_EXCLUDES(m_csGate);
    // Calls the callback when the gate is open; false when it was closed or empty.
    bool Call(int nCode, const char* pszText) OVR_EXCLUDES(m_csGate);
    // True on a thread that is inside a callback of any gate right now.
    static bool IsInsideCall();

private:
    mutable platform::Mutex m_csGate;
    std::condition_variable m_cvCallsEnded;
    StatusCallback m_pfnStatusCallback OVR_GUARDED_BY(m_csGate);
    bool m_bOpen OVR_GUARDED_BY(m_csGate) = false;
    int m_nCalls OVR_GUARDED_BY(m_csGate) = 0;
    // Calls whose threads are waiting in Close: none of them waits for these.
    int m_nCallsClosing OVR_GUARDED_BY(m_csGate) = 0;
};
