// Times one network read with the high-resolution counter (the multimedia timer when
// the counter gives nothing). One owner, one thread.
#pragma once
#include "platform/Types.h"

class CStopwatch
{
public:
    virtual ~CStopwatch() = default;

    void Start();
    // Seconds since Start(); also kept as the last elapsed value.
    double Elapsed();
    double GetLast() const { return m_dLast; }

private:
    LONGLONG m_llStart = 0;
    DWORD m_dwStartMs = 0;
    bool m_bCounter = false;
    double m_dLast = 0.0;
};
