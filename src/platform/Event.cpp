#include "platform/Event.h"

namespace platform
{
Event::Event(bool bManualReset, bool bInitialState)
    : m_bManualReset(bManualReset), m_bSignalled(bInitialState)
{
}

void Event::Set()
{
    MutexLock lock(m_mutex);
    m_bSignalled = true;
    // Every waiter of this event tests it again; for an auto-reset event one of them
    // takes the signal and the others wait on.
    m_waiters.WakeAll();
}

void Event::Reset()
{
    MutexLock lock(m_mutex);
    m_bSignalled = false;
}

bool Event::IsSet() const
{
    MutexLock lock(m_mutex);
    return m_bSignalled;
}

bool Event::TryConsume()
{
    MutexLock lock(m_mutex);
    if (!m_bSignalled)
        return false;
    if (!m_bManualReset)
        m_bSignalled = false;
    return true;
}

void Event::Enlist(detail::Waiter& waiter)
{
    MutexLock lock(m_mutex);
    m_waiters.Add(waiter);
}

void Event::Delist(detail::Waiter& waiter)
{
    MutexLock lock(m_mutex);
    m_waiters.Remove(waiter);
}

DWORD Event::ConsumeFirst(std::span<Event* const> events)
{
    for (std::size_t i = 0; i < events.size(); ++i)
        if (events[i]->TryConsume())
            return WAIT_OBJECT_0 + static_cast<DWORD>(i);
    return WAIT_TIMEOUT;
}

// Lists the waiter with every event, then tests them in turn between its wake-ups: a Set
// after the listing wakes it, one before is found by the test.
DWORD Event::WaitOn(std::span<Event* const> events, detail::Waiter& waiter)
{
    struct SListing
    {
        std::span<Event* const> events;
        detail::Waiter& waiter;
        SListing(std::span<Event* const> e, detail::Waiter& w) : events(e), waiter(w)
        {
            for (Event* pEvent : events)
                pEvent->Enlist(waiter);
        }
        ~SListing()
        {
            for (Event* pEvent : events)
                pEvent->Delist(waiter);
        }
    } listing(events, waiter);
    while (true)
    {
        const DWORD dwResult = ConsumeFirst(events);
        if (dwResult != WAIT_TIMEOUT)
            return dwResult;
        if (!waiter.Block())
            return ConsumeFirst(events);
    }
}

DWORD Event::Wait(DWORD dwMilliseconds)
{
    Event* self = this;
    return WaitAny(std::span<Event* const>(&self, 1), dwMilliseconds);
}

DWORD Event::WaitRealTime(DWORD dwRealMilliseconds)
{
    if (TryConsume())
        return WAIT_OBJECT_0;
    Event* self = this;
    detail::Waiter waiter(detail::Waiter::RealTime{dwRealMilliseconds});
    return WaitOn(std::span<Event* const>(&self, 1), waiter);
}

DWORD WaitAny(std::span<Event* const> events, DWORD dwMilliseconds)
{
    // Most waits find an event set, or only look: neither needs a waiter.
    const DWORD dwResult = Event::ConsumeFirst(events);
    if (dwResult != WAIT_TIMEOUT || dwMilliseconds == 0)
        return dwResult;
    detail::Waiter waiter(dwMilliseconds);
    return Event::WaitOn(events, waiter);
}

DWORD WaitAny(std::initializer_list<Event*> events, DWORD dwMilliseconds)
{
    return WaitAny(std::span<Event* const>(events.begin(), events.size()), dwMilliseconds);
}
} // namespace platform
