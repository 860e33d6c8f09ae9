// The process-wide clock: tick count, multimedia time, performance counter, Sleep and
// local time. Every timed wait of the platform (events, threads, pipes, Sleep) measures
// its limit on this clock, so a test that installs a ManualClock drives 45-second limits
// in milliseconds: advancing it wakes exactly the sleepers and timed waits whose limit it
// passes, and no other thread.
#pragma once

#include "platform/Types.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace platform
{
// Milliseconds since an arbitrary start; wraps after 49.7 days, as on Windows.
DWORD GetTickCount();
DWORD timeGetTime();
LONGLONG QueryPerformanceCounter();
LONGLONG QueryPerformanceFrequency();

// Any thread: blocks for the given milliseconds on the platform clock; 0 only yields.
void Sleep(DWORD dwMilliseconds);

struct SYSTEMTIME
{
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
SYSTEMTIME GetLocalTime();

// A wall-clock time as local time, to the millisecond (as FileTimeToLocalFileTime and
// FileTimeToSystemTime give it).
SYSTEMTIME LocalSystemTime(std::chrono::system_clock::time_point time);

// A clock that only moves when told to. Constructing one installs it process-wide in
// place of the real clock; destroying it puts the real clock back. One at a time.
// The test's thread calls it while engine threads wait on it. Every operation takes the
// clock's own lock briefly (Advance also the locks of the waits it ends, each a leaf);
// only WaitForTimedWaiters blocks (up to its real limit).
class ManualClock
{
public:
    explicit ManualClock(DWORD startTick = 1000000);
    ~ManualClock();
    ManualClock(const ManualClock&) = delete;
    ManualClock& operator=(const ManualClock&) = delete;

    // Moves the clock forward and wakes the timed waits whose limit has passed.
    void Advance(DWORD dwMilliseconds);

    // Milliseconds since construction (not wrapped).
    uint64_t Elapsed() const;

    // How many threads are inside a timed wait on this clock right now.
    std::size_t TimedWaiters() const;

    // Lets a test wait, on real time with a generous limit, until at least n threads
    // have entered a timed wait, so it advances the clock only once they measure from
    // the current time. False when the real limit passed first.
    bool WaitForTimedWaiters(std::size_t n, DWORD dwRealLimitMs = 30000) const;
};
} // namespace platform
