// A manual clock that runs on by itself, faster than real time: every real millisecond it
// moves on by a step. Limits of tens of seconds (outages, their backoff, the reader's
// waits, a station's outage window) then pass in a fraction of a second while their
// order stays that of real time. For runs that have to let such limits pass many times;
// a test that steps the clock itself uses platform::ManualClock. A step of 0 holds the
// clock still, for the parts of a run whose own limits must not pass while a busy machine
// is slow (a session's start, with its requests to the sequence server).
#pragma once

#include "platform/Clock.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace testsupport
{
class CFastClock
{
public:
    explicit CFastClock(DWORD dwStepMs) : m_dwStepMs(dwStepMs)
    {
        m_thread = std::thread(
            [this]
            {
                // The driver of the clock: its sleep paces time, it synchronises nothing.
                while (!m_bStop)
                {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    if (const DWORD dwStep = m_dwStepMs.load())
                        m_clock.Advance(dwStep);
                }
            });
    }
    // Any thread: the clock's step from now on.
    void SetStep(DWORD dwStepMs) { m_dwStepMs = dwStepMs; }
    ~CFastClock()
    {
        m_bStop = true;
        m_thread.join();
    }
    CFastClock(const CFastClock&) = delete;
    CFastClock& operator=(const CFastClock&) = delete;

private:
    platform::ManualClock m_clock;
    std::atomic<DWORD> m_dwStepMs;
    std::atomic<bool> m_bStop{false};
    std::thread m_thread;
};
} // namespace testsupport
