// SIGINT and SIGTERM as requests to stop: constructed on the main thread before any other
// thread starts, it blocks both signals (every thread started later inherits the mask)
// and takes them on a thread of its own with sigwait, which asks the status queue to stop
// the player. A second signal ends the process at once, for a user whose first one did
// not seem to act. SIGPIPE is ignored, so a reader that goes away shows as a failed write.
// The destructor ends the thread and unblocks nothing: the process is about to end.
#pragma once

#include <atomic>
#include <thread>

class CStatusQueue;

class CStopSignals
{
public:
    explicit CStopSignals(CStatusQueue& queue);
    ~CStopSignals();
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

private:
    void Run(CStatusQueue& queue);

    std::atomic<bool> m_bClosing{false};
    std::thread m_thread;
};
