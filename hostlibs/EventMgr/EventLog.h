// The event log: one JSON line per event, appended to $OVRADIO_HOME/events.log by a
// writer thread, so that posting never waits for the disk unless a large backlog has
// built up. Lines are written whole and in the order they were posted; none is dropped.
// The log is the user's alone (0600), addresses in it do not name the user (OVUID and
// USR_INFO masked), and it is rotated: a log that would grow past kRotateBytes becomes
// events.log.1 (one old log is kept) and a new one starts.
// All operations are safe from any thread; m_lock guards every field and is never held
// while a file is written or a thread joined.
#pragma once
#include "hostlibs/EventMgr.h"
#include "platform/Mutex.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <string>
#include <thread>

namespace hostlibs
{
// The JSON line of an event (without the line feed).
std::string FormatEventLine(const mcEvent& event);

class CEventLog
{
public:
    static constexpr std::uint64_t kRotateBytes = 1024 * 1024;

    CEventLog() = default;
    ~CEventLog();

    // Starts the writer (nested calls count); blocks while a writer that the last Stop
    // ended is still finishing.
    void Start() OVR_EXCLUDES(m_lock);
    // Ends one Start; the last blocks until the writer has written everything and ended.
    void Stop() OVR_EXCLUDES(m_lock);
    // Queues the line (written at once, under m_lock, when no writer runs). Blocks while
    // the backlog is at its limit, until the writer has taken it.
    void Post(std::string strLine) OVR_EXCLUDES(m_lock);
    // Blocks, without limit, until every line posted before the call is written.
    void Flush() OVR_EXCLUDES(m_lock);

private:
    void Run() OVR_EXCLUDES(m_lock);
    static void Append(const std::string& strText);
    static bool WriteAll(int fd, const std::string& strText);
    // Writes the line on the posting thread, when no writer runs.
    void WriteNow(const std::string& strLine) OVR_REQUIRES(m_lock);

    platform::Mutex m_lock;
    std::condition_variable m_changed;
    std::deque<std::string> m_listPending OVR_GUARDED_BY(m_lock);
    std::uint64_t m_nPosted OVR_GUARDED_BY(m_lock) = 0;
    std::uint64_t m_nWritten OVR_GUARDED_BY(m_lock) = 0;
    int m_nStarts OVR_GUARDED_BY(m_lock) = 0;
    bool m_bStop OVR_GUARDED_BY(m_lock) = false;
    bool m_bWriterRunning OVR_GUARDED_BY(m_lock) = false;
    std::thread m_writer OVR_GUARDED_BY(m_lock);
};
} // namespace hostlibs
