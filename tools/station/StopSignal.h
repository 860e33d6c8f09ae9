// The station's stop: a pipe whose read end every wait of a server thread polls beside
// its own socket, so that one Raise() wakes them all at once. Raise() from any thread;
// the waits from the accept and connection threads. The byte written is never read, so
// the pipe stays readable and every later wait sees the stop too.
#pragma once

#include <atomic>
#include <chrono>

namespace station
{
class StopSignal
{
public:
    enum class EWait
    {
        eReady,
        eTimedOut,
        eStopped
    };

    // Throws std::runtime_error when the pipe cannot be made.
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // Any thread; returns at once. Later calls do nothing.
    void Raise();
    bool Raised() const { return m_raised.load(); }

    // Blocks until `fd` is ready for `events` (poll flags) or the stop; true when ready
    // and not stopped.
    bool WaitFor(int fd, short events) const;
    // As WaitFor, for at most `limit`.
    EWait WaitFor(int fd, short events, std::chrono::milliseconds limit) const;
    // Blocks for `duration` unless the stop comes first; false on the stop.
    bool Pause(std::chrono::milliseconds duration) const;

private:
    int m_read = -1;
    int m_write = -1;
    std::atomic<bool> m_raised{false};
};
} // namespace station
