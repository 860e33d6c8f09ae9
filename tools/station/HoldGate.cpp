#include "HoldGate.h"

namespace station
{
bool HoldGate::Hold(std::optional<std::chrono::milliseconds> limit)
{
    const auto deadline =
        std::chrono::steady_clock::now() + limit.value_or(std::chrono::milliseconds::zero());
    platform::MutexLock lock(m_mutex);
    ++m_holds;
    m_changed.notify_all();
    const uint64_t releases = m_releases;
    while (m_releases == releases && !m_stopped)
    {
        if (!limit)
            lock.Wait(m_changed);
        else if (!lock.WaitUntil(m_changed, deadline))
            break;
    }
    return !m_stopped;
}

void HoldGate::Release()
{
    platform::MutexLock lock(m_mutex);
    ++m_releases;
    m_changed.notify_all();
}

bool HoldGate::WaitForHolds(uint32_t n, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    platform::MutexLock lock(m_mutex);
    while (m_holds < n && !m_stopped)
        if (!lock.WaitUntil(m_changed, deadline))
            break;
    return m_holds >= n && !m_stopped;
}

void HoldGate::Stop()
{
    platform::MutexLock lock(m_mutex);
    m_stopped = true;
    m_changed.notify_all();
}
} // namespace station
