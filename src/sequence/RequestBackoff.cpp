#include "sequence/RequestBackoff.h"

#include "platform/Clock.h"

#include <algorithm>
#include <optional>

void CRequestBackoff::SequenceFailed()
{
    platform::MutexLock lock(m_cs);
    ++m_nFailedInRow;
    // 1 s, 2 s, 4 s ... up to the longest pause; the shift stays far below 32 bits.
    const int nDoublings = std::min(m_nFailedInRow - 1, 16);
    m_dwPauseMs = std::min<DWORD>(kFirstPauseMs << nDoublings, kLongestPauseMs);
    m_dwPauseStart = platform::GetTickCount();
}

void CRequestBackoff::SequenceSucceeded()
{
    platform::MutexLock lock(m_cs);
    m_nFailedInRow = 0;
    m_dwPauseMs = 0;
}

void CRequestBackoff::Reset()
{
    {
        platform::MutexLock lock(m_cs);
        m_nFailedInRow = 0;
        m_dwPauseMs = 0;
        m_bAborted = false;
    }
    m_evChanged.Set();
}

void CRequestBackoff::Abort()
{
    {
        platform::MutexLock lock(m_cs);
        m_bAborted = true;
    }
    m_evChanged.Set();
}

DWORD CRequestBackoff::RemainingLocked() const
{
    if (m_dwPauseMs == 0)
        return 0;
    const DWORD dwSpent = platform::GetTickCount() - m_dwPauseStart;
    return dwSpent >= m_dwPauseMs ? 0 : m_dwPauseMs - dwSpent;
}

DWORD CRequestBackoff::RemainingMs() const
{
    platform::MutexLock lock(m_cs);
    return RemainingLocked();
}

bool CRequestBackoff::WaitForPause()
{
    {
        platform::MutexLock lock(m_cs);
        ++m_nWaiters;
    }
    std::optional<bool> result;
    while (!result)
    {
        DWORD dwRemaining = 0;
        {
            platform::MutexLock lock(m_cs);
            if (m_bAborted || m_nFailedInRow >= kGiveUpAfter)
                result = false;
            else if ((dwRemaining = RemainingLocked()) == 0)
                result = true;
        }
        // Without the lock: Reset and Abort take it, then wake this wait.
        if (!result)
            m_evChanged.Wait(dwRemaining);
    }
    platform::MutexLock lock(m_cs);
    --m_nWaiters;
    return *result;
}

bool CRequestBackoff::HasGivenUp() const
{
    platform::MutexLock lock(m_cs);
    return m_nFailedInRow >= kGiveUpAfter;
}

int CRequestBackoff::FailedInRow() const
{
    platform::MutexLock lock(m_cs);
    return m_nFailedInRow;
}

bool CRequestBackoff::IsWaiting() const
{
    platform::MutexLock lock(m_cs);
    return m_nWaiters > 0;
}
