#include "engine/StatusGate.h"

namespace
{
// Calls of any gate under way on this thread: Close does not wait for them.
thread_local int t_nCallsOnThisThread = 0;
} // namespace

void CStatusGate::Open(StatusCallback pfnStatusCallback)
{
    platform::MutexLock lock(m_csGate);
    m_pfnStatusCallback = std::move(pfnStatusCallback);
    m_bOpen = true;
}

void CStatusGate::Reopen()
{
    platform::MutexLock lock(m_csGate);
    m_bOpen = true;
}

void CStatusGate::Close()
{
    platform::MutexLock lock(m_csGate);
    m_bOpen = false;
    // This thread's own calls, and those of other threads closing from inside a call,
    // cannot end before their Close returns: they are not waited for.
    m_nCallsClosing += t_nCallsOnThisThread;
    m_cvCallsEnded.notify_all();
    while (m_nCalls > m_nCallsClosing)
        lock.Wait(m_cvCallsEnded);
    m_nCallsClosing -= t_nCallsOnThisThread;
}

bool CStatusGate::IsInsideCall()
{
    return t_nCallsOnThisThread > 0;
}

bool CStatusGate::IsOpen() const
{
    platform::MutexLock lock(m_csGate);
    return m_bOpen && m_pfnStatusCallback;
}

bool CStatusGate::Call(int nCode, const char* pszText)
{
    StatusCallback pfnCallback;
    {
        platform::MutexLock lock(m_csGate);
        if (!m_bOpen || !m_pfnStatusCallback)
            return false;
        pfnCallback = m_pfnStatusCallback;
        ++m_nCalls;
    }
    ++t_nCallsOnThisThread;
    pfnCallback(nCode, pszText);
    --t_nCallsOnThisThread;
    platform::MutexLock lock(m_csGate);
    --m_nCalls;
    m_cvCallsEnded.notify_all();
    return true;
}
