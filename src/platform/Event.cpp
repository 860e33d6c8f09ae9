#include "platform/Event.h"

#include "platform/detail/SyncCore.h"

#include <chrono>

namespace platform
{
Event::Event(bool bManualReset, bool bInitialState)
    : m_bManualReset(bManualReset), m_bSignalled(bInitialState)
{
}

void Event::Set()
{
    MutexLock lock(detail::SyncMutex());
    m_bSignalled = true;
    detail::SyncCondition().notify_all();
}

void Event::Reset()
{
    MutexLock lock(detail::SyncMutex());
    m_bSignalled = false;
}

bool Event::IsSet() const
{
    MutexLock lock(detail::SyncMutex());
    return m_bSignalled;
}

bool Event::TryConsume()
{
    if (!m_bSignalled)
        return false;
    if (!m_bManualReset)
        m_bSignalled = false;
    return true;
}

DWORD Event::Wait(DWORD dwMilliseconds)
{
    Event* self = this;
    return WaitAny(std::span<Event* const>(&self, 1), dwMilliseconds);
}

DWORD Event::WaitRealTime(DWORD dwRealMilliseconds)
{
    MutexLock lock(detail::SyncMutex());
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(dwRealMilliseconds);
    while (!TryConsume())
        if (!lock.WaitUntil(detail::SyncCondition(), deadline))
            return TryConsume() ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    return WAIT_OBJECT_0;
}

DWORD WaitAny(std::span<Event* const> events, DWORD dwMilliseconds)
{
    MutexLock lock(detail::SyncMutex());
    DWORD index = WAIT_TIMEOUT;
    auto ready = [&]() OVR_REQUIRES(detail::SyncMutex())
    {
        for (std::size_t i = 0; i < events.size(); ++i)
        {
            if (events[i]->TryConsume())
            {
                index = WAIT_OBJECT_0 + static_cast<DWORD>(i);
                return true;
            }
        }
        return false;
    };
    detail::WaitUntilReady(lock, dwMilliseconds, ready);
    return index;
}

DWORD WaitAny(std::initializer_list<Event*> events, DWORD dwMilliseconds)
{
    return WaitAny(std::span<Event* const>(events.begin(), events.size()), dwMilliseconds);
}
} // namespace platform
