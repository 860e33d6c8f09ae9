// A plain (not recursive) lock that clang's thread-safety analysis knows as a capability,
// and its scoped guard, which can also wait on a condition variable. The station's shared
// state (rules, grants, the log, the holds, the connection threads) is guarded by these.
#pragma once

#include "platform/ThreadSafety.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace station
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

    // Waits for a notification (or a spurious wake-up); the lock is held again on return,
    // so callers test their condition in a loop.
    void Wait(std::condition_variable& changed) { changed.wait(m_lock); }
    // As Wait, but returns false once `deadline` has passed.
    bool WaitUntil(std::condition_variable& changed, std::chrono::steady_clock::time_point deadline)
    {
        return changed.wait_until(m_lock, deadline) == std::cv_status::no_timeout;
    }

private:
    std::unique_lock<std::mutex> m_lock;
};
} // namespace station
