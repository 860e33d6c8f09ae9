// A critical section: a recursive lock, as on Windows (the owning thread may enter it
// again). Satisfies Lockable, so std::lock_guard and std::unique_lock work with it; the
// engine takes its locks through TracedLock.
#pragma once

#include <mutex>

namespace platform
{
class CriticalSection
{
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() { m_mutex.lock(); }
    bool TryEnter() { return m_mutex.try_lock(); }
    void Leave() { m_mutex.unlock(); }

    void lock() { Enter(); }
    bool try_lock() { return TryEnter(); }
    void unlock() { Leave(); }

private:
    std::recursive_mutex m_mutex;
};
} // namespace platform
