// Where the engine's status callback and the stop requests meet the host's thread (the
// thread that created the engine and makes every call into it). The callback runs on
// engine threads while they hold engine locks, so it only copies the code and text into
// the queue and wakes the host's thread, which does all the output and every call into
// the engine. One queue per process (the callback carries no context, and one engine
// exists at a time): it is never destroyed, so an engine thread that calls back late,
// even while the process ends, finds it whole.
// Threads: Push from engine threads (through StatusCallback), RequestStop from a signal
// thread, Wake from any thread, Take and WaitUntil on the host's thread. m_mutex is a
// leaf held for a few statements; Push, RequestStop and Wake never block beyond it.
#pragma once

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/Types.h"

#include <atomic>
#include <deque>
#include <optional>
#include <string>
#include <vector>

struct SEngineStatus
{
    LONG nCode = 0;
    std::optional<std::string> text; // none when the engine passed no text
};

class CStatusQueue
{
public:
    // The process's queue, which the callback fills. Tests make queues of their own.
    static CStatusQueue& Instance();
    CStatusQueue() = default;
    CStatusQueue(const CStatusQueue&) = delete;
    CStatusQueue& operator=(const CStatusQueue&) = delete;

    // The OVRADIO_STATUS_CALLBACK handed to StartSession.
    static void StatusCallback(LONG nStatus, const char* pszText);

    void Push(LONG nCode, const char* pszText) OVR_EXCLUDES(m_mutex);
    // The signal number that asked the host to stop the process's playing; 0 while none
    // did. It stays set.
    void RequestStop(int nSignal);
    int StopSignal() const { return m_nStopSignal.load(); }
    bool StopRequested() const { return StopSignal() != 0; }

    // Every status queued since the last call, oldest first.
    std::vector<SEngineStatus> Take() OVR_EXCLUDES(m_mutex);
    // Blocks until a status is queued or a stop is asked for since the last Take (at once
    // when one already is), until a Wake since the last WaitUntil, or until the tick count
    // reaches dwDeadline on the platform clock.
    void WaitUntil(DWORD dwDeadline) OVR_EXCLUDES(m_mutex);
    // Ends the host thread's WaitUntil (the current one, or else the next) without queuing
    // anything: for a host that stops one session of several in the process's life, with a
    // flag of its own that it tests after each wait.
    void Wake();

    // At most this many statuses wait; older ones beyond it are dropped (and counted), so
    // a main thread that is slow to look never lets the queue grow without bound.
    static constexpr std::size_t kMaxQueued = 1024;
    std::size_t Dropped() const OVR_EXCLUDES(m_mutex);

private:
    bool HasWork() const OVR_EXCLUDES(m_mutex);

    mutable platform::Mutex m_mutex;
    std::deque<SEngineStatus> m_items OVR_GUARDED_BY(m_mutex);
    std::size_t m_nDropped OVR_GUARDED_BY(m_mutex) = 0;
    std::atomic<int> m_nStopSignal{0};
    mutable std::atomic<bool> m_bWoken{false};
    platform::Event m_wake{false, false};
};
