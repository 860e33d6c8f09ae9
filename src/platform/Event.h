// Kernel events: manual reset (stays set until Reset) or auto reset (a successful wait
// consumes the signal, so each Set releases one waiter). Waits measure their limit on
// the platform clock. An Event must outlive every thread waiting on it: owners that
// share one with a thread hold it in a shared_ptr.
// Any thread may call any operation. Every event's state is guarded by the platform's one
// sync lock (detail::SyncMutex), which each operation holds only for its own few steps
// and a wait lets go of while it blocks; no other lock is taken under it.
#pragma once

#include "platform/ThreadSafety.h"
#include "platform/Types.h"

#include <initializer_list>
#include <span>

namespace platform
{
class Mutex;
namespace detail
{
Mutex& SyncMutex();
}

class Event
{
public:
    Event(bool bManualReset, bool bInitialState);
    ~Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Never block beyond the sync lock.
    void Set();
    void Reset();
    bool IsSet() const;

    // Blocks until signalled (WAIT_OBJECT_0) or until the limit passes on the platform
    // clock (WAIT_TIMEOUT); INFINITE has no limit.
    DWORD Wait(DWORD dwMilliseconds = INFINITE);
    // As Wait, but the limit is real time whatever clock is installed: for tests, whose
    // limits must hold while a manual clock stands still.
    DWORD WaitRealTime(DWORD dwRealMilliseconds);

private:
    friend DWORD WaitAny(std::span<Event* const> events, DWORD dwMilliseconds);
    bool TryConsume() OVR_REQUIRES(detail::SyncMutex());

    const bool m_bManualReset;
    bool m_bSignalled OVR_GUARDED_BY(detail::SyncMutex());
};

// Blocks until one of the events is signalled: WAIT_OBJECT_0 + the index of the first
// signalled one (consuming it when auto reset), or WAIT_TIMEOUT once the limit passed.
DWORD WaitAny(std::span<Event* const> events, DWORD dwMilliseconds);
DWORD WaitAny(std::initializer_list<Event*> events, DWORD dwMilliseconds);
} // namespace platform
