// The one timed-wait mechanism behind every blocking call of the platform (Event, WaitAny,
// Thread::Wait, the pipe's waits, Sleep). A thread that must block makes a Waiter on its
// stack: its own lock, its own condition and its limit. It lists the Waiter with each
// object it waits on; an object wakes exactly the waiters listed with it whose condition a
// change meets (an event its waiters on Set, a pipe its readers once they can read), and
// the platform clock ends the limit: on the real clock the Waiter waits with the deadline,
// under a ManualClock the clock lists it as a timed waiter and Advance expires the waiters
// whose limit it passes. Nothing wakes every waiter of the process.
//
// Threads: the Waiter's own thread constructs, blocks on and destroys it; any thread
// wakes it while it is listed with an object (under that object's lock, which the owner
// also takes to delist it, so no wake reaches a destroyed Waiter); the manual clock
// expires it under its own lock. The Waiter's lock is a leaf: Wake and Expire take it
// under an object's or the clock's lock, nothing is taken under it. Internal to the
// platform library.
#pragma once

#include "platform/Mutex.h"
#include "platform/Types.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

namespace platform::detail
{
// The manual clock's lock (Clock.cpp): it guards the clock's list of timed waiters.
Mutex& ManualClockMutex();

class Waiter
{
public:
    // The limit in milliseconds on the platform clock (INFINITE: none).
    explicit Waiter(DWORD dwMilliseconds);
    // The limit in real time whatever clock runs: for tests, whose limits must hold
    // while a manual clock stands still.
    struct RealTime
    {
        DWORD dwMilliseconds;
    };
    explicit Waiter(RealTime limit);
    ~Waiter();
    Waiter(const Waiter&) = delete;
    Waiter& operator=(const Waiter&) = delete;

    // Any thread, while the waiter is listed with the object calling it: the condition
    // may have changed; the next (or current) Block returns true.
    void Wake() OVR_EXCLUDES(m_mutex);
    // The waiter's thread: blocks until a Wake since the last Block returned, or until
    // the limit has passed. True for a wake (the caller tests its condition again), false
    // once the limit has passed (for good: later calls return false at once).
    bool Block() OVR_EXCLUDES(m_mutex);

    // The manual clock, under its lock: the limit has passed.
    void Expire() OVR_EXCLUDES(m_mutex);
    // The manual clock's bookkeeping: the tick (not wrapped) at which the limit passes,
    // and whether the clock lists the waiter.
    uint64_t m_nManualDeadline OVR_GUARDED_BY(ManualClockMutex()) = 0;
    bool m_bListedWithClock OVR_GUARDED_BY(ManualClockMutex()) = false;

private:
    Mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bWoken OVR_GUARDED_BY(m_mutex) = false;
    bool m_bExpired OVR_GUARDED_BY(m_mutex) = false;
    // Set for a finite limit measured in real time; none for INFINITE or a manual clock.
    std::optional<std::chrono::steady_clock::time_point> m_realDeadline;
    // The limit runs on a manual clock (the clock may have gone and unlisted it since).
    bool m_bOnManualClock = false;
};

// The waiters listed with one waitable object, each with the amount it waits for (bytes
// for a pipe's readers; unused elsewhere). Guarded by the object's own lock.
class WaiterList
{
public:
    void Add(Waiter& waiter, std::size_t nWanted = 0) { m_entries.push_back({&waiter, nWanted}); }
    void Remove(Waiter& waiter);
    void WakeAll() const
    {
        for (const SEntry& entry : m_entries)
            entry.pWaiter->Wake();
    }
    // Wakes the waiters whose wanted amount `met` accepts.
    template <class Met>
    void WakeIf(Met met) const
    {
        for (const SEntry& entry : m_entries)
            if (met(entry.nWanted))
                entry.pWaiter->Wake();
    }

private:
    struct SEntry
    {
        Waiter* pWaiter;
        std::size_t nWanted;
    };
    std::vector<SEntry> m_entries;
};

// The manual clock's side (Clock.cpp). ListTimedWaiter lists the waiter with the
// installed manual clock, its limit counted from the clock's current time, and returns
// true; false when the real clock runs. UnlistTimedWaiter takes it off again (nothing when
// it is not listed, or the clock has gone and expired it).
bool ListTimedWaiter(Waiter& waiter, DWORD dwMilliseconds);
void UnlistTimedWaiter(Waiter& waiter);
} // namespace platform::detail
