// Kernel events: manual reset (stays set until Reset) or auto reset (a successful wait
// consumes the signal, so each Set releases one waiter). Waits measure their limit on
// the platform clock. An Event must outlive every thread waiting on it: owners that
// share one with a thread hold it in a shared_ptr.
// Any thread may call any operation. Each event has its own lock, held only for its own
// few steps, and its own list of the threads waiting on it: Set wakes those and no other
// thread (see detail/Waiter.h). Under the event's lock only a waiter's leaf lock is taken.
#pragma once

#include "platform/Mutex.h"
#include "platform/ThreadSafety.h"
#include "platform/Types.h"
#include "platform/detail/Waiter.h"

#include <initializer_list>
#include <span>

namespace platform
{
class Event
{
public:
    Event(bool bManualReset, bool bInitialState);
    ~Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    // Never block beyond the event's lock.
    void Set() OVR_EXCLUDES(m_mutex);
    void Reset() OVR_EXCLUDES(m_mutex);
    bool IsSet() const OVR_EXCLUDES(m_mutex);

    // Blocks until signalled (WAIT_OBJECT_0) or until the limit passes on the platform
    // clock (WAIT_TIMEOUT); INFINITE has no limit.
    DWORD Wait(DWORD dwMilliseconds = INFINITE);
    // As Wait, but the limit is real time whatever clock is installed: for tests, whose
    // limits must hold while a manual clock stands still.
    DWORD WaitRealTime(DWORD dwRealMilliseconds);

private:
    friend DWORD WaitAny(std::span<Event* const> events, DWORD dwMilliseconds);
    // The first signalled event, consumed: WAIT_OBJECT_0 + its index; WAIT_TIMEOUT when
    // none is signalled.
    static DWORD ConsumeFirst(std::span<Event* const> events);
    // Blocks on the waiter until one of the events is signalled or the limit passes.
    static DWORD WaitOn(std::span<Event* const> events, detail::Waiter& waiter);
    bool TryConsume() OVR_EXCLUDES(m_mutex);
    void Enlist(detail::Waiter& waiter) OVR_EXCLUDES(m_mutex);
    void Delist(detail::Waiter& waiter) OVR_EXCLUDES(m_mutex);

    const bool m_bManualReset;
    mutable Mutex m_mutex;
    bool m_bSignalled OVR_GUARDED_BY(m_mutex);
    detail::WaiterList m_waiters OVR_GUARDED_BY(m_mutex);
};

// Blocks until one of the events is signalled: WAIT_OBJECT_0 + the index of the first
// signalled one (consuming it when auto reset), or WAIT_TIMEOUT once the limit passed.
DWORD WaitAny(std::span<Event* const> events, DWORD dwMilliseconds);
DWORD WaitAny(std::initializer_list<Event*> events, DWORD dwMilliseconds);
} // namespace platform
