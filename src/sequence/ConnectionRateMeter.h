// The connection-rate meter: a sliding window over the durations of the network reads
// of all tracks. Owned by the stream manager and lent to the sequence client. AddSample
// comes from every download thread, GetRate from the host's thread and the sequence
// client, SetWindow from the host's thread; m_cs guards every field and is taken by
// every public operation, with nothing outside the meter called under it.
#pragma once
#include "platform/CriticalSection.h"
#include "platform/Types.h"

#include <deque>

class CConnectionRateMeter
{
public:
    CConnectionRateMeter();
    virtual ~CConnectionRateMeter() = default;

    // Drops every sample and the totals; whether a whole window was seen is kept.
    void Reset();
    // One network read: bytes it returned and how long it took.
    void AddSample(const unsigned& nBytes, const double& dSeconds);
    void SetWindow(const double& dSeconds);
    // Bytes per second over the window; false (out untouched) until a whole window of
    // reads has been seen.
    bool GetRate(double& dBytesPerSecond);

private:
    struct SSample
    {
        DWORD dwBytes;
        double dSeconds;
        DWORD dwArrival; // multimedia timer, ms
    };

    void ResetLocked();
    void Prune();

    std::deque<SSample> m_listSamples;
    double m_dWindowMs = 0.0;
    double m_dTotalSeconds = 0.0;
    DWORD m_dwTotalBytes = 0;
    BYTE m_bFilled = FALSE;
    platform::CriticalSection m_cs;
};
