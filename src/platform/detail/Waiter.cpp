#include "platform/detail/Waiter.h"

#include <algorithm>

namespace platform::detail
{
Waiter::Waiter(DWORD dwMilliseconds)
{
    if (dwMilliseconds == INFINITE)
        return;
    if (dwMilliseconds == 0)
    {
        // Nothing to wait for: the first Block finds the limit passed.
        MutexLock lock(m_mutex);
        m_bExpired = true;
        return;
    }
    m_bOnManualClock = ListTimedWaiter(*this, dwMilliseconds);
    if (!m_bOnManualClock)
        m_realDeadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
}

Waiter::Waiter(RealTime limit)
{
    if (limit.dwMilliseconds != INFINITE)
        m_realDeadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(limit.dwMilliseconds);
}

Waiter::~Waiter()
{
    if (m_bOnManualClock)
        UnlistTimedWaiter(*this);
}

void Waiter::Wake()
{
    MutexLock lock(m_mutex);
    m_bWoken = true;
    m_changed.notify_one();
}

void Waiter::Expire()
{
    MutexLock lock(m_mutex);
    m_bExpired = true;
    m_changed.notify_one();
}

bool Waiter::Block()
{
    MutexLock lock(m_mutex);
    while (!m_bWoken && !m_bExpired)
    {
        if (!m_realDeadline)
            lock.Wait(m_changed);
        else if (!lock.WaitUntil(m_changed, *m_realDeadline))
            m_bExpired = true;
    }
    // A wake that came with the limit still counts: the caller tests its condition once
    // more, and the next Block reports the limit.
    if (m_bWoken)
    {
        m_bWoken = false;
        return true;
    }
    return false;
}

void WaiterList::Remove(Waiter& waiter)
{
    const auto it = std::find_if(m_entries.begin(), m_entries.end(),
                                 [&](const SEntry& entry) { return entry.pWaiter == &waiter; });
    if (it == m_entries.end())
        return;
    *it = m_entries.back();
    m_entries.pop_back();
}
} // namespace platform::detail
