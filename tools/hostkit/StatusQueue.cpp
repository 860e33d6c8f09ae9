#include "StatusQueue.h"

#include "platform/Clock.h"

CStatusQueue& CStatusQueue::Instance()
{
    // Deliberately never destroyed: engine threads may outlive main's return.
    static CStatusQueue* const s_pQueue = new CStatusQueue();
    return *s_pQueue;
}

void CStatusQueue::StatusCallback(LONG nStatus, const char* pszText)
{
    Instance().Push(nStatus, pszText);
}

void CStatusQueue::Push(LONG nCode, const char* pszText)
{
    SEngineStatus status{nCode, pszText ? std::optional<std::string>(pszText) : std::nullopt};
    {
        platform::MutexLock lock(m_mutex);
        if (m_items.size() >= kMaxQueued)
        {
            m_items.pop_front();
            ++m_nDropped;
        }
        m_items.push_back(std::move(status));
    }
    m_wake.Set();
}

void CStatusQueue::RequestStop(int nSignal)
{
    int nNone = 0;
    m_nStopSignal.compare_exchange_strong(nNone, nSignal);
    m_wake.Set();
}

std::vector<SEngineStatus> CStatusQueue::Take()
{
    platform::MutexLock lock(m_mutex);
    std::vector<SEngineStatus> taken(std::make_move_iterator(m_items.begin()),
                                     std::make_move_iterator(m_items.end()));
    m_items.clear();
    return taken;
}

void CStatusQueue::Wake()
{
    m_bWoken.store(true);
    m_wake.Set();
}

bool CStatusQueue::HasWork() const
{
    if (StopRequested() || m_bWoken.exchange(false))
        return true;
    platform::MutexLock lock(m_mutex);
    return !m_items.empty();
}

void CStatusQueue::WaitUntil(DWORD dwDeadline)
{
    // The wake event may still hold the signal of a status that Take already handed
    // out; such a wake-up finds no work and waits on.
    while (!HasWork())
    {
        const DWORD dwLeft = dwDeadline - platform::GetTickCount();
        if (static_cast<LONG>(dwLeft) <= 0)
            return;
        m_wake.Wait(dwLeft);
    }
}

std::size_t CStatusQueue::Dropped() const
{
    platform::MutexLock lock(m_mutex);
    return m_nDropped;
}
