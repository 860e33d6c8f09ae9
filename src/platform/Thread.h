// A started thread, as a handle: alive test, wait with a limit, exit code (STILL_ACTIVE,
// 259, while it runs). The thread itself never depends on the handle: dropping or
// closing the handle of a running thread lets it run on to its end, and the state it
// reports through lives as long as either side needs it. What the procedure uses it must
// own or share (capture shared_ptrs), so that an owner that stopped waiting after its
// limit can be destroyed safely while the thread finishes.
// A handle object is used by one thread at a time (its owner's); threads that wait on the
// same thread from elsewhere use a Duplicate. Wait blocks up to its limit; nothing else
// blocks.
#pragma once

#include "platform/Types.h"

#include <functional>
#include <memory>

namespace platform
{
class Thread
{
public:
    using Procedure = std::function<DWORD()>;

    Thread() = default;
    // Starts the procedure on a new thread. Throws std::system_error when none can start.
    explicit Thread(Procedure procedure);
    ~Thread() = default;
    Thread(Thread&&) noexcept = default;
    Thread& operator=(Thread&&) noexcept = default;

    explicit operator bool() const { return static_cast<bool>(m_state); }
    bool IsAlive() const;
    // The procedure's result, or STILL_ACTIVE while it runs (and for an empty handle).
    DWORD ExitCode() const;
    // WAIT_OBJECT_0 once the thread has ended, WAIT_TIMEOUT when the limit passed first.
    // An empty handle counts as ended.
    DWORD Wait(DWORD dwMilliseconds = INFINITE) const;
    // As Wait, but the limit is real time whatever clock is installed (for tests).
    DWORD WaitRealTime(DWORD dwRealMilliseconds) const;
    // Drops the handle (CloseHandle); the thread runs on.
    void Close() { m_state.reset(); }
    // Another handle to the same thread (DuplicateHandle), so that one thread can wait on
    // it while another replaces or closes the original.
    Thread Duplicate() const
    {
        Thread copy;
        copy.m_state = m_state;
        return copy;
    }

private:
    struct State;
    std::shared_ptr<State> m_state;
};
} // namespace platform
