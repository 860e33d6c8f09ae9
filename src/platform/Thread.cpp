#include "platform/Thread.h"

#include "platform/Event.h"

#include <atomic>
#include <thread>

namespace platform
{
struct Thread::State
{
    Event ended{true, false};
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
};

Thread::Thread(Procedure procedure) : m_state(std::make_shared<State>())
{
    // Detached: nothing joins it; the shared state tells when it has ended. The
    // procedure (and what it captured) is destroyed before the end is reported, so a
    // waiter that saw the end never races with that destruction.
    std::thread(
        [state = m_state, procedure = std::move(procedure)]() mutable
        {
            const DWORD code = procedure();
            procedure = nullptr;
            state->exitCode.store(code, std::memory_order_release);
            state->ended.Set();
        })
        .detach();
}

bool Thread::IsAlive() const
{
    return m_state && !m_state->ended.IsSet();
}

DWORD Thread::ExitCode() const
{
    return m_state ? m_state->exitCode.load(std::memory_order_acquire) : STILL_ACTIVE;
}

DWORD Thread::Wait(DWORD dwMilliseconds) const
{
    return m_state ? m_state->ended.Wait(dwMilliseconds) : WAIT_OBJECT_0;
}

DWORD Thread::WaitRealTime(DWORD dwRealMilliseconds) const
{
    return m_state ? m_state->ended.WaitRealTime(dwRealMilliseconds) : WAIT_OBJECT_0;
}
} // namespace platform
