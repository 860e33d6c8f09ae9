// The station's record of every answered request, kept in memory for tests and appended
// to a log file (one JSON line each) when one is named. Connection threads call Add; tests
// read and wait on the records. All under m_mutex; a waiter's test runs under it.
#pragma once

#include "platform/Mutex.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace station
{
// One answered request, as the log records it.
struct RequestRecord
{
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers; // the ones that matter
    int status = 0;
    uint64_t bytesSent = 0; // body bytes
    std::string note;       // why a request was refused and which faults applied
};

class RequestLog
{
public:
    using Test = std::function<bool(const std::vector<RequestRecord>&)>;

    // An empty path keeps the records in memory only. Throws std::runtime_error when the
    // file cannot be opened.
    explicit RequestLog(const std::string& path);

    void Add(const RequestRecord& record) OVR_EXCLUDES(m_mutex);
    std::vector<RequestRecord> Records() const OVR_EXCLUDES(m_mutex);
    // Blocks until `done` holds for the records, at most `limit`; false when the limit
    // passed or the log stopped first. `done` runs under the log's lock: it must not call
    // into the station.
    bool WaitFor(const Test& done, std::chrono::milliseconds limit) OVR_EXCLUDES(m_mutex);
    // Ends every wait, now and later.
    void Stop() OVR_EXCLUDES(m_mutex);

private:
    mutable platform::Mutex m_mutex;
    std::condition_variable m_added;
    std::ofstream m_file OVR_GUARDED_BY(m_mutex);
    std::vector<RequestRecord> m_records OVR_GUARDED_BY(m_mutex);
    bool m_stopped OVR_GUARDED_BY(m_mutex) = false;
};
} // namespace station
