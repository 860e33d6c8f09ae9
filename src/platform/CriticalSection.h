// A critical section: a recursive lock, as on Windows (the owning thread may enter it
// again). The engine takes its sections through TracedLock, platform code through
// CriticalSectionLock; both are scoped capabilities, so clang's analysis follows them
// (it does not follow std::lock_guard, whose constructor it cannot see into).
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

// Holds a critical section for the guard's lifetime.
class OVR_SCOPED_CAPABILITY CriticalSectionLock
{
public:
    explicit CriticalSectionLock(CriticalSection& cs) OVR_ACQUIRE(cs) : m_cs(cs) { m_cs.Enter(); }
    ~CriticalSectionLock() OVR_RELEASE() { m_cs.Leave(); }
    CriticalSectionLock(const CriticalSectionLock&) = delete;
    CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

private:
    CriticalSection& m_cs;
};
} // namespace platform
