// A plain (not recursive) lock that clang's thread-safety analysis knows as a capability,
// and its scoped guard, which can also wait on a condition variable. For state that the
// platform, the host libraries, the tools and the tests guard themselves; the engine's
// own locks are CriticalSections taken through TracedLock. Any thread; a lock is held
// only for the few statements that read or change what it guards (or while waiting).
#pragma once

#include "platform/ThreadSafety.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform
{
class OVR_CAPABILITY("mutex") Mutex
{
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

private:
    friend class MutexLock;
    std::mutex m_mutex;
};

class OVR_SCOPED_CAPABILITY MutexLock
{
public:
    explicit MutexLock(Mutex& mutex) OVR_ACQUIRE(mutex) : m_lock(mutex.m_mutex) {}
    ~MutexLock() OVR_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Blocks until a notification (or a spurious wake-up); the lock is let go while it
    // waits and held again on return, so callers test their condition in a loop.
    void Wait(std::condition_variable& changed) { changed.wait(m_lock); }
    // As Wait, but returns false once `deadline` has passed.
    bool WaitUntil(std::condition_variable& changed, std::chrono::steady_clock::time_point deadline)
    {
        return changed.wait_until(m_lock, deadline) == std::cv_status::no_timeout;
    }

private:
    std::unique_lock<std::mutex> m_lock;
};
} // namespace platform
