// A critical section: a recursive lock, as on Windows (the owning thread may enter it
// again). Satisfies Lockable, so std::lock_guard and std::unique_lock work with it; the
// engine takes its locks through TracedLock.
#pragma once

#include "platform/ThreadSafety.h"

#include <mutex>

namespace platform
{
class OVR_CAPABILITY("mutex") CriticalSection
{
public:
    CriticalSection() = default;
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void Enter() OVR_ACQUIRE() { m_mutex.lock(); }
    bool TryEnter() OVR_TRY_ACQUIRE(true) { return m_mutex.try_lock(); }
    void Leave() OVR_RELEASE() { m_mutex.unlock(); }

    void lock() OVR_ACQUIRE() { Enter(); }
    bool try_lock() OVR_TRY_ACQUIRE(true) { return TryEnter(); }
    void unlock() OVR_RELEASE() { Leave(); }

private:
    std::recursive_mutex m_mutex;
};
} // namespace platform
