// The scoped guard every engine lock is taken through: enters the critical section for
// the guard's lifetime and, when asked, writes a trace line with the lock's label once
// it is entered (useful when hunting a deadlock). Leaving writes nothing.
#pragma once
#include "platform/CriticalSection.h"
#include "platform/ThreadSafety.h"

class OVR_SCOPED_CAPABILITY TracedLock
{
public:
    TracedLock(platform::CriticalSection& cs, const char* pszLabel = nullptr, int nTraceEntry = 0)
        OVR_ACQUIRE(cs);
    ~TracedLock() OVR_RELEASE();

    TracedLock(const TracedLock&) = delete;
    TracedLock& operator=(const TracedLock&) = delete;

private:
    platform::CriticalSection& m_cs;
};
