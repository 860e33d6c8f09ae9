// The event log: one JSON line per event, appended to $OVRADIO_HOME/events.log by a
// writer thread, so that posting never waits for the disk unless a large backlog has
// built up. Lines are written whole and in the order they were posted; none is dropped.
// All operations are safe from any thread.
#pragma once
#include "hostlibs/EventMgr.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace hostlibs
{
// The JSON line of an event (without the line feed).
std::string FormatEventLine(const mcEvent& event);

class CEventLog
{
public:
    CEventLog() = default;
    ~CEventLog();

    // Starts the writer (nested calls count); Stop ends one Start, the last drains.
    void Start();
    void Stop();
    // Queues the line (written at once when no writer runs).
    void Post(std::string strLine);
    // Waits until every line posted before the call is written.
    void Flush();

private:
    void Run();
    static void Append(const std::string& strText);

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::string> m_listPending;
    std::uint64_t m_nPosted = 0;
    std::uint64_t m_nWritten = 0;
    int m_nStarts = 0;
    bool m_bStop = false;
    bool m_bWriterRunning = false;
    std::thread m_writer;
};
} // namespace hostlibs
