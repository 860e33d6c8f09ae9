// The one mutex and condition variable behind every platform Event and timed wait.
// Sharing them makes waits on several events (WaitAny) and the manual clock's wake-ups
// simple and free of lock-order problems; the engine has few threads, so the cost of
// waking them all on a change is small. Internal to the platform library.
#pragma once

#include "platform/Types.h"

#include <condition_variable>
#include <functional>
#include <mutex>

namespace platform::detail
{
std::mutex& SyncMutex();
std::condition_variable& SyncCondition();

// Waits with `lock` (on SyncMutex) held until `ready()` holds or `dwMilliseconds` have
// passed on the platform clock. Returns ready(). INFINITE waits without limit.
bool WaitUntilReady(std::unique_lock<std::mutex>& lock, DWORD dwMilliseconds,
                    const std::function<bool()>& ready);
} // namespace platform::detail
