// The connection-rate meter: a sliding window over the durations of the network reads
// of all tracks. Owned by the stream manager and lent to the sequence client. AddSample
// comes from every download thread, GetRate from the host's thread and the sequence
// client, SetWindow from the host's thread; m_cs guards every field and is taken by
// every public operation, with nothing outside the meter called under it.
#pragma once
#include "platform/CriticalSection.h"
#include "platform/Types.h"

#include <cstddef>
#include <deque>
#include <vector>

class CConnectionRateMeter
{
public:
    CConnectionRateMeter();
    virtual ~CConnectionRateMeter() = default;

    // Each operation holds m_cs for its own few steps and blocks on nothing else.
    // Drops every sample and the totals; whether a whole window was seen is kept.
    void Reset() OVR_EXCLUDES(m_cs);
    // One network read: bytes it returned and how long it took.
    void AddSample(const unsigned& nBytes, const double& dSeconds) OVR_EXCLUDES(m_cs);
    void SetWindow(const double& dSeconds) OVR_EXCLUDES(m_cs);
    // Bytes per second over the window; false (out untouched) until a whole window of
    // reads has been seen.
    bool GetRate(double& dBytesPerSecond) OVR_EXCLUDES(m_cs);
    // The byte counts of the samples in the window, oldest first.
    std::vector<DWORD> GetSampleBytes() OVR_EXCLUDES(m_cs);
    // How many samples the window holds (one per network read of its span).
    std::size_t GetSampleCount() OVR_EXCLUDES(m_cs);

private:
    struct SSample
    {
        DWORD dwBytes;
        double dSeconds;
        DWORD dwArrival; // multimedia timer, ms
    };

    void ResetLocked() OVR_REQUIRES(m_cs);
    void Prune() OVR_REQUIRES(m_cs);

    platform::CriticalSection m_cs;
    std::deque<SSample> m_listSamples OVR_GUARDED_BY(m_cs);
    double m_dWindowMs OVR_GUARDED_BY(m_cs) = 0.0;
    double m_dTotalSeconds OVR_GUARDED_BY(m_cs) = 0.0;
    DWORD m_dwTotalBytes OVR_GUARDED_BY(m_cs) = 0;
    BYTE m_bFilled OVR_GUARDED_BY(m_cs) = FALSE;
};
