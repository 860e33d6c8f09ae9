#include "sequence/ConnectionRateMeter.h"

#include "host/TracedLock.h"
#include "platform/Clock.h"

CConnectionRateMeter::CConnectionRateMeter()
{
    Reset();
}

void CConnectionRateMeter::Reset()
{
    TracedLock lock(m_cs);
    ResetLocked();
}

void CConnectionRateMeter::ResetLocked()
{
    m_listSamples.clear();
    m_dwTotalBytes = 0;
    m_dTotalSeconds = 0.0;
}

void CConnectionRateMeter::AddSample(const unsigned& nBytes, const double& dSeconds)
{
    TracedLock lock(m_cs);
    m_listSamples.push_back({nBytes, dSeconds, platform::timeGetTime()});
    m_dTotalSeconds += dSeconds;
    m_dwTotalBytes += nBytes;
    Prune();
}

void CConnectionRateMeter::Prune()
{
    DWORD dwNow = platform::timeGetTime();
    while (!m_listSamples.empty())
    {
        const SSample& oldest = m_listSamples.front();
        if (static_cast<double>(dwNow - oldest.dwArrival) <= m_dWindowMs)
            break;
        m_bFilled = TRUE;
        m_dTotalSeconds -= oldest.dSeconds;
        m_dwTotalBytes -= oldest.dwBytes;
        m_listSamples.pop_front();
    }
    if (m_listSamples.empty())
        ResetLocked();
}

void CConnectionRateMeter::SetWindow(const double& dSeconds)
{
    TracedLock lock(m_cs);
    double dWindowMs = dSeconds * 1000.0;
    if (dWindowMs > m_dWindowMs)
        m_bFilled = FALSE;
    m_dWindowMs = dWindowMs;
}

bool CConnectionRateMeter::GetRate(double& dBytesPerSecond)
{
    TracedLock lock(m_cs);
    Prune();
    if (!m_bFilled)
        return false;
    if (!m_listSamples.empty() && m_dTotalSeconds > 0)
    {
        dBytesPerSecond = static_cast<double>(m_dwTotalBytes) / m_dTotalSeconds;
        return true;
    }
    ResetLocked();
    dBytesPerSecond = 0.0;
    return true;
}

std::vector<DWORD> CConnectionRateMeter::GetSampleBytes()
{
    TracedLock lock(m_cs);
    Prune();
    std::vector<DWORD> bytes;
    bytes.reserve(m_listSamples.size());
    for (const SSample& sample : m_listSamples)
        bytes.push_back(sample.dwBytes);
    return bytes;
}

std::size_t CConnectionRateMeter::GetSampleCount()
{
    TracedLock lock(m_cs);
    Prune();
    return m_listSamples.size();
}
