// A trace viewer inside the test process (or a benchmark's): listens on a socket in a
// temporary folder, points OVDIAG_SOCKET at it (a child process started meanwhile traces
// to it too), and records every message the engine's trace sends with its arrival time. The
// viewer records a message before it answers, so whatever a Trace call sent is in the
// record when the call returns. Construction makes the engine's trace find this viewer
// and open a channel; destruction closes it and forgets the viewer again.
#pragma once

#include "host/TraceBlock.h"
#include "platform/Mutex.h"
#include "support/TestSupport.h"
#include "support/Wait.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport
{
class TraceCapture
{
public:
    struct SMessage
    {
        DWORD dwKind;
        host::STraceBlock block;
        std::chrono::steady_clock::time_point at; // when the viewer received it
        std::string Text() const { return block.szText; }
    };

    // With bOpenChannel, also opens the channel "test" as the engine object does.
    explicit TraceCapture(bool bOpenChannel = true);
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    const std::string& SocketPath() const { return m_strSocket; }

    std::vector<SMessage> Messages() const;
    // The texts of the text lines received, in order.
    std::vector<std::string> Lines() const;
    // True when some received line equals text.
    bool HasLine(const std::string& strText) const;
    // True when some received line contains text.
    bool HasLineContaining(const std::string& strText) const;
    // The first line received that contains text: blocks until one has come, at most the
    // limit; nothing when none came.
    std::optional<SMessage> FirstLineContaining(const std::string& strText,
                                                DWORD dwLimitMs = kWaitLimitMs) const
        OVR_EXCLUDES(m_lock);
    // Blocks until a line containing text has been received (at once when one has), at
    // most the limit.
    ::testing::AssertionResult WaitForLineContaining(const std::string& strText,
                                                     DWORD dwLimitMs = kWaitLimitMs) const
        OVR_EXCLUDES(m_lock);
    void Clear();

    // From now on the viewer receives but never answers (a hung viewer).
    void StopAnswering();

    // Closes the connections of every client, as a viewer that died and restarted.
    // Returns once they are closed, or fails after the tests' wait limit.
    ::testing::AssertionResult DisconnectClients() OVR_EXCLUDES(m_lock);

    // The reply to open messages.
    static constexpr DWORD kChannelId = 42;

private:
    void Serve();

    std::string m_strFolder;
    std::string m_strSocket;
    std::optional<ScopedEnv> m_socketEnv; // OVDIAG_SOCKET
    int m_hListen = -1;
    int m_hWake[2] = {-1, -1};
    mutable platform::Mutex m_lock;
    std::vector<SMessage> m_listMessages OVR_GUARDED_BY(m_lock);
    bool m_bAnswer OVR_GUARDED_BY(m_lock) = true;
    int m_nDisconnects OVR_GUARDED_BY(m_lock) = 0;
    mutable std::condition_variable m_changed;
    std::thread m_thread;
};
} // namespace testsupport
