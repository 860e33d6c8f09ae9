#include "platform/Clock.h"

#include "platform/detail/Waiter.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

namespace platform
{
namespace detail
{
Mutex& ManualClockMutex()
{
    // Never destroyed: threads that outlive main may still wait.
    static Mutex* mutex = new Mutex;
    return *mutex;
}
} // namespace detail

namespace
{
using detail::ManualClockMutex;
using detail::Waiter;

// State of the installed manual clock. The time itself and the installed flag are read
// without the lock (every GetTickCount reads them); the rest is guarded by the clock's
// lock, which Advance holds while it expires waiters (whose own locks come after it).
struct ManualState
{
    std::atomic<bool> installed{false};
    std::atomic<uint64_t> nowMs{0};
    uint64_t startMs OVR_GUARDED_BY(ManualClockMutex()) = 0;
    std::chrono::system_clock::time_point wallStart OVR_GUARDED_BY(ManualClockMutex());
    // The waits with a limit on this clock, in no order: a handful at a time.
    std::vector<Waiter*> timedWaiters OVR_GUARDED_BY(ManualClockMutex());
    // Notified when a waiter is listed, for WaitForTimedWaiters.
    std::condition_variable waiterListed;
};

ManualState& Manual()
{
    // Never destroyed: threads that outlive main may still read the clock.
    static ManualState* state = new ManualState;
    return *state;
}

uint64_t RealMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

uint64_t NowMilliseconds()
{
    ManualState& m = Manual();
    return m.installed.load(std::memory_order_acquire) ? m.nowMs.load(std::memory_order_acquire)
                                                       : RealMilliseconds();
}

// Takes the waiter off the clock's list (nothing when it is not on it).
void Unlist(ManualState& m, Waiter& waiter) OVR_REQUIRES(ManualClockMutex())
{
    if (!waiter.m_bListedWithClock)
        return;
    waiter.m_bListedWithClock = false;
    auto& list = m.timedWaiters;
    const auto it = std::find(list.begin(), list.end(), &waiter);
    if (it != list.end())
    {
        *it = list.back();
        list.pop_back();
    }
}

// Ends the waits whose limit `now` has reached, taking them off the list.
void ExpireWaitersUntil(ManualState& m, uint64_t now) OVR_REQUIRES(ManualClockMutex())
{
    auto& list = m.timedWaiters;
    for (std::size_t i = 0; i < list.size();)
    {
        Waiter& waiter = *list[i];
        if (waiter.m_nManualDeadline > now)
        {
            ++i;
            continue;
        }
        Unlist(m, waiter); // moves the last waiter into place i
        waiter.Expire();
    }
}
} // namespace

namespace detail
{
bool ListTimedWaiter(Waiter& waiter, DWORD dwMilliseconds)
{
    ManualState& m = Manual();
    // Tested again under the lock: the clock cannot go between the test and the listing.
    if (!m.installed.load(std::memory_order_acquire))
        return false;
    MutexLock lock(ManualClockMutex());
    if (!m.installed.load(std::memory_order_acquire))
        return false;
    waiter.m_nManualDeadline = m.nowMs.load(std::memory_order_acquire) + dwMilliseconds;
    waiter.m_bListedWithClock = true;
    m.timedWaiters.push_back(&waiter);
    m.waiterListed.notify_all();
    return true;
}

void UnlistTimedWaiter(Waiter& waiter)
{
    MutexLock lock(ManualClockMutex());
    Unlist(Manual(), waiter);
}
} // namespace detail

DWORD GetTickCount()
{
    return static_cast<DWORD>(NowMilliseconds());
}

DWORD timeGetTime()
{
    return static_cast<DWORD>(NowMilliseconds());
}

LONGLONG QueryPerformanceFrequency()
{
    return 1000000000LL;
}

LONGLONG QueryPerformanceCounter()
{
    ManualState& m = Manual();
    if (m.installed.load(std::memory_order_acquire))
        return static_cast<LONGLONG>(m.nowMs.load(std::memory_order_acquire)) * 1000000LL;
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0)
    {
        std::this_thread::yield();
        return;
    }
    // A wait that nothing wakes: it ends at its limit.
    detail::Waiter waiter(dwMilliseconds);
    while (waiter.Block())
    {
    }
}

SYSTEMTIME LocalSystemTime(std::chrono::system_clock::time_point time)
{
    using namespace std::chrono;
    const auto ms = floor<milliseconds>(time.time_since_epoch()).count();
    const auto secs = static_cast<std::time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    std::tm local{};
    localtime_r(&secs, &local);
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(local.tm_year + 1900);
    st.wMonth = static_cast<WORD>(local.tm_mon + 1);
    st.wDayOfWeek = static_cast<WORD>(local.tm_wday);
    st.wDay = static_cast<WORD>(local.tm_mday);
    st.wHour = static_cast<WORD>(local.tm_hour);
    st.wMinute = static_cast<WORD>(local.tm_min);
    st.wSecond = static_cast<WORD>(local.tm_sec);
    st.wMilliseconds = static_cast<WORD>(ms - static_cast<long long>(secs) * 1000);
    return st;
}

SYSTEMTIME GetLocalTime()
{
    ManualState& m = Manual();
    if (m.installed.load(std::memory_order_acquire))
    {
        MutexLock lock(ManualClockMutex());
        const auto elapsed = std::chrono::milliseconds(m.nowMs.load() - m.startMs);
        return LocalSystemTime(m.wallStart + elapsed);
    }
    return LocalSystemTime(std::chrono::system_clock::now());
}

ManualClock::ManualClock(DWORD startTick)
{
    ManualState& m = Manual();
    MutexLock lock(ManualClockMutex());
    assert(!m.installed.load() && "one ManualClock at a time");
    m.startMs = startTick;
    m.nowMs.store(startTick, std::memory_order_release);
    m.wallStart = std::chrono::system_clock::now();
    m.installed.store(true, std::memory_order_release);
}

ManualClock::~ManualClock()
{
    ManualState& m = Manual();
    MutexLock lock(ManualClockMutex());
    m.installed.store(false, std::memory_order_release);
    // Waits still inside measure on the manual time, which stops: they end as timed out,
    // so that their owners are not stuck once the test lets them go.
    ExpireWaitersUntil(m, UINT64_MAX);
}

void ManualClock::Advance(DWORD dwMilliseconds)
{
    ManualState& m = Manual();
    MutexLock lock(ManualClockMutex());
    // Only the waits whose limit the new time passes are woken.
    ExpireWaitersUntil(m, m.nowMs.fetch_add(dwMilliseconds, std::memory_order_acq_rel) +
                              dwMilliseconds);
}

uint64_t ManualClock::Elapsed() const
{
    ManualState& m = Manual();
    MutexLock lock(ManualClockMutex());
    return m.nowMs.load(std::memory_order_acquire) - m.startMs;
}

std::size_t ManualClock::TimedWaiters() const
{
    MutexLock lock(ManualClockMutex());
    return Manual().timedWaiters.size();
}

bool ManualClock::WaitForTimedWaiters(std::size_t n, DWORD dwRealLimitMs) const
{
    ManualState& m = Manual();
    MutexLock lock(ManualClockMutex());
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(dwRealLimitMs);
    while (m.timedWaiters.size() < n)
        if (!lock.WaitUntil(m.waiterListed, deadline))
            return m.timedWaiters.size() >= n;
    return true;
}
} // namespace platform
