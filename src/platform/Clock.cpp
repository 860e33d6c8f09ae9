#include "platform/Clock.h"

#include "platform/detail/SyncCore.h"

#include <atomic>
#include <cassert>
#include <chrono>
#include <ctime>
#include <thread>

namespace platform
{
namespace detail
{
Mutex& SyncMutex()
{
    // Never destroyed: threads that outlive main may still wait.
    static Mutex* mutex = new Mutex;
    return *mutex;
}

std::condition_variable& SyncCondition()
{
    static std::condition_variable* condition = new std::condition_variable;
    return *condition;
}
} // namespace detail

namespace
{
// State of the installed manual clock. Guarded by SyncMutex except the time itself and
// the installed flag, which readers take without the lock.
struct ManualState
{
    std::atomic<bool> installed{false};
    std::atomic<uint64_t> nowMs{0};
    uint64_t startMs OVR_GUARDED_BY(detail::SyncMutex()) = 0;
    std::size_t timedWaiters OVR_GUARDED_BY(detail::SyncMutex()) = 0;
    // One per installed clock.
    uint64_t generation OVR_GUARDED_BY(detail::SyncMutex()) = 0;
    std::chrono::system_clock::time_point wallStart OVR_GUARDED_BY(detail::SyncMutex());
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
} // namespace

namespace detail
{
bool ManualClockInstalled()
{
    return Manual().installed.load(std::memory_order_acquire);
}

bool WaitUntilReady(MutexLock& lock, DWORD dwMilliseconds, const std::function<bool()>& ready)
{
    std::condition_variable& cv = SyncCondition();
    if (dwMilliseconds == INFINITE)
    {
        while (!ready())
            lock.Wait(cv);
        return true;
    }
    ManualState& m = Manual();
    if (!m.installed.load(std::memory_order_acquire))
    {
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(dwMilliseconds);
        while (!ready())
            if (!lock.WaitUntil(cv, deadline))
                return ready();
        return true;
    }
    // On the manual clock the wait ends only when Advance moves the time past the
    // limit; Advance notifies under SyncMutex, so no wake-up is lost between the test
    // below and the wait.
    const uint64_t start = m.nowMs.load(std::memory_order_acquire);
    const uint64_t generation = m.generation;
    ++m.timedWaiters;
    cv.notify_all(); // lets WaitForTimedWaiters see the new waiter
    bool result = false;
    while (true)
    {
        if (ready())
        {
            result = true;
            break;
        }
        // A clock removed while we wait no longer moves: the wait ends as timed out.
        if (m.generation != generation || !m.installed.load(std::memory_order_acquire))
            break;
        if (m.nowMs.load(std::memory_order_acquire) - start >= dwMilliseconds)
            break;
        lock.Wait(cv);
    }
    if (m.generation == generation)
        --m.timedWaiters;
    return result;
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
    MutexLock lock(detail::SyncMutex());
    detail::WaitUntilReady(lock, dwMilliseconds, [] { return false; });
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
        MutexLock lock(detail::SyncMutex());
        const auto elapsed = std::chrono::milliseconds(m.nowMs.load() - m.startMs);
        return LocalSystemTime(m.wallStart + elapsed);
    }
    return LocalSystemTime(std::chrono::system_clock::now());
}

ManualClock::ManualClock(DWORD startTick)
{
    ManualState& m = Manual();
    MutexLock lock(detail::SyncMutex());
    assert(!m.installed.load() && "one ManualClock at a time");
    m.startMs = startTick;
    m.nowMs.store(startTick, std::memory_order_release);
    m.timedWaiters = 0;
    ++m.generation;
    m.wallStart = std::chrono::system_clock::now();
    m.installed.store(true, std::memory_order_release);
}

ManualClock::~ManualClock()
{
    MutexLock lock(detail::SyncMutex());
    Manual().installed.store(false, std::memory_order_release);
    // Waits still inside measure on the manual time, which stops; wake them so that
    // their owners are not stuck once the test lets them go.
    detail::SyncCondition().notify_all();
}

void ManualClock::Advance(DWORD dwMilliseconds)
{
    MutexLock lock(detail::SyncMutex());
    Manual().nowMs.fetch_add(dwMilliseconds, std::memory_order_acq_rel);
    detail::SyncCondition().notify_all();
}

uint64_t ManualClock::Elapsed() const
{
    ManualState& m = Manual();
    MutexLock lock(detail::SyncMutex());
    return m.nowMs.load(std::memory_order_acquire) - m.startMs;
}

std::size_t ManualClock::TimedWaiters() const
{
    MutexLock lock(detail::SyncMutex());
    return Manual().timedWaiters;
}

bool ManualClock::WaitForTimedWaiters(std::size_t n, DWORD dwRealLimitMs) const
{
    MutexLock lock(detail::SyncMutex());
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(dwRealLimitMs);
    while (Manual().timedWaiters < n)
        if (!lock.WaitUntil(detail::SyncCondition(), deadline))
            return Manual().timedWaiters >= n;
    return true;
}
} // namespace platform
