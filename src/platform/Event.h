// Kernel events: manual reset (stays set until Reset) or auto reset (a successful wait
// consumes the signal, so each Set releases one waiter). Waits measure their limit on
// the platform clock. An Event must outlive every thread waiting on it: owners that
// share one with a thread hold it in a shared_ptr.
#pragma once

#include "platform/Types.h"

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

    void Set();
    void Reset();
    bool IsSet() const;

    // WAIT_OBJECT_0 when signalled within the limit, WAIT_TIMEOUT otherwise.
    DWORD Wait(DWORD dwMilliseconds = INFINITE);

private:
    friend DWORD WaitAny(std::span<Event* const> events, DWORD dwMilliseconds);
    bool TryConsume(); // under the sync mutex

    const bool m_bManualReset;
    bool m_bSignalled; // under the sync mutex
};

// Waits until one of the events is signalled: WAIT_OBJECT_0 + the index of the first
// signalled one (consuming it when auto reset), or WAIT_TIMEOUT.
DWORD WaitAny(std::span<Event* const> events, DWORD dwMilliseconds);
DWORD WaitAny(std::initializer_list<Event*> events, DWORD dwMilliseconds);
} // namespace platform
