#include "sequence/Stopwatch.h"

#include "platform/Clock.h"

void CStopwatch::Start()
{
    m_bCounter = platform::QueryPerformanceFrequency() > 0;
    if (m_bCounter)
        m_llStart = platform::QueryPerformanceCounter();
    else
        m_dwStartMs = platform::timeGetTime();
}

double CStopwatch::Elapsed()
{
    if (m_bCounter)
        m_dLast = static_cast<double>(platform::QueryPerformanceCounter() - m_llStart) /
                  static_cast<double>(platform::QueryPerformanceFrequency());
    else
        m_dLast = static_cast<double>((platform::timeGetTime() - m_dwStartMs) / 1000);
    return m_dLast;
}
