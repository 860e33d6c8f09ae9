// A trace viewer inside the benchmark driver: listens on a socket of its own (which
// OVDIAG_SOCKET names to the engine, in this process or a child), answers every message as
// the viewer does and keeps each text line with the steady-clock time it arrived. The
// engine sends a line and waits for the answer, so a line's time is when the engine
// reached it, within a loopback round trip.
// Threads: one thread of its own serves the socket; Lines and WaitForLine from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace bench
{
struct STraceLine
{
    std::chrono::steady_clock::time_point at;
    std::string strText;
};

class CTraceListener
{
public:
    // Binds a socket in a temporary folder and sets OVDIAG_SOCKET to it; throws
    // std::runtime_error when it cannot.
    CTraceListener();
    ~CTraceListener();
    CTraceListener(const CTraceListener&) = delete;
    CTraceListener& operator=(const CTraceListener&) = delete;

    std::vector<STraceLine> Lines() const;
    // The first line containing text, from line nFrom on; waits at most the limit.
    std::optional<STraceLine> WaitForLine(const std::string& strText, std::size_t nFrom,
                                          std::chrono::milliseconds limit) const;
    void Clear();

private:
    void Serve();

    std::string m_strFolder;
    std::string m_strSocket;
    int m_hListen = -1;
    int m_hWake[2] = {-1, -1};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<STraceLine> m_lines; // guarded by m_mutex
    std::thread m_thread;
};
} // namespace bench
