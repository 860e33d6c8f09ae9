// The engine library's module state: its lock count, which is the number of live engine
// objects plus the locks that hosts hold on the class factory (LockServer and factory
// references). DllCanUnloadNow answers from it. Any thread; the count is atomic and no
// call blocks.
#pragma once

#include "platform/Types.h"

#include <atomic>

class CEngineModule
{
public:
    static void Lock() { s_nLockCount.fetch_add(1); }
    static void Unlock() { s_nLockCount.fetch_sub(1); }
    static LONG GetLockCount() { return s_nLockCount.load(); }

private:
    static inline std::atomic<LONG> s_nLockCount{0};
};
