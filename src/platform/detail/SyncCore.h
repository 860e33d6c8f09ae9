// The one lock and condition variable behind every platform Event and timed wait.
// Sharing them makes waits on several events (WaitAny) and the manual clock's wake-ups
// simple and free of lock-order problems; the engine has few threads, so the cost of
// waking them all on a change is small. Internal to the platform library.
#pragma once

#include "platform/Mutex.h"
#include "platform/Types.h"

#include <condition_variable>
#include <functional>

namespace platform::detail
{
Mutex& SyncMutex();
std::condition_variable& SyncCondition();

// True while a ManualClock drives the platform clock (timed waits must then wait on the
// sync condition, which Advance notifies).
bool ManualClockInstalled();

// Blocks, with `lock` (on SyncMutex) held except while it waits, until `ready()` holds or
// `dwMilliseconds` have passed on the platform clock. Returns ready(). INFINITE waits
// without limit. `ready` runs with the lock held.
bool WaitUntilReady(MutexLock& lock, DWORD dwMilliseconds, const std::function<bool()>& ready)
    OVR_REQUIRES(SyncMutex());
} // namespace platform::detail
