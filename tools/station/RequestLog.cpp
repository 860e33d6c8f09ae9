#include "RequestLog.h"

#include "platform/JsonText.h"

#include <stdexcept>

namespace station
{
namespace
{
std::string JsonLine(const RequestRecord& record)
{
    std::string line = "{\"method\":" + platform::JsonString(record.method) +
                       ",\"target\":" + platform::JsonString(record.target) + ",\"headers\":{";
    // Appended piece by piece: a literal prepended to a string (the insert that
    // operator+ makes of it) draws a false -Wrestrict from GCC 12 at -O3.
    for (std::size_t i = 0; i < record.headers.size(); ++i)
    {
        if (i > 0)
            line += ',';
        line += platform::JsonString(record.headers[i].first);
        line += ':';
        line += platform::JsonString(record.headers[i].second);
    }
    line += "},\"status\":" + std::to_string(record.status) +
            ",\"bytes\":" + std::to_string(record.bytesSent);
    if (!record.note.empty())
        line += ",\"note\":" + platform::JsonString(record.note);
    return line + "}\n";
}
} // namespace

RequestLog::RequestLog(const std::string& path)
{
    if (path.empty())
        return;
    platform::MutexLock lock(m_mutex);
    m_file.open(path, std::ios::app);
    if (!m_file)
        throw std::runtime_error("cannot open log file " + path);
}

void RequestLog::Add(const RequestRecord& record)
{
    platform::MutexLock lock(m_mutex);
    m_records.push_back(record);
    m_added.notify_all();
    if (m_file.is_open())
        m_file << JsonLine(record) << std::flush;
}

std::vector<RequestRecord> RequestLog::Records() const
{
    platform::MutexLock lock(m_mutex);
    return m_records;
}

bool RequestLog::WaitFor(const Test& done, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    platform::MutexLock lock(m_mutex);
    while (!done(m_records) && !m_stopped)
        if (!lock.WaitUntil(m_added, deadline))
            return done(m_records);
    return done(m_records);
}

void RequestLog::Stop()
{
    platform::MutexLock lock(m_mutex);
    m_stopped = true;
    m_added.notify_all();
}
} // namespace station
