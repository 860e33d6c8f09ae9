#include "EventLog.h"

#include "platform/Clock.h"
#include "platform/DebugOutput.h"
#include "platform/JsonText.h"
#include "platform/QueryMask.h"
#include "platform/RuntimeFolder.h"
#include "platform/StoredFile.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hostlibs
{
namespace
{
// A backlog this long makes posters wait for the writer instead of growing memory.
constexpr std::size_t kMaxPending = 10000;
// Tries at appending when other processes rotate the log at the same moment.
constexpr int kAppendTries = 3;

// The shortest text that reads back as the same float, always with a fraction or an
// exponent so that readers see a number of floating type; null for NaN and infinity.
void AppendJsonFloat(std::string& out, float value)
{
    if (!std::isfinite(value))
    {
        out += "null";
        return;
    }
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
    std::string text(buffer, result.ptr);
    if (text.find_first_of(".e") == std::string::npos)
        text += ".0";
    out += text;
}

std::string TimeText()
{
    platform::SYSTEMTIME now = platform::GetLocalTime();
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%04u-%02u-%02uT%02u:%02u:%02u.%03u", now.wYear,
                  now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return buffer;
}
} // namespace

std::string FormatEventLine(const mcEvent& event)
{
    std::string line = "{\"time\":\"" + TimeText() +
                       "\",\"category\":" + std::to_string(static_cast<int>(event.Category())) +
                       ",\"name\":";
    platform::AppendJsonString(line, event.Name());
    line += ",\"params\":{";
    bool bFirst = true;
    for (const mcEvent::SParameter& parameter : event.Parameters())
    {
        if (!bFirst)
            line += ',';
        bFirst = false;
        platform::AppendJsonString(line, parameter.name);
        line += ':';
        // Addresses keep their form but not the user identifier or the user information.
        if (const auto* pText = std::get_if<std::string>(&parameter.value))
            platform::AppendJsonString(line, platform::MaskQueryFields(*pText));
        else if (const auto* pInt = std::get_if<int>(&parameter.value))
            line += std::to_string(*pInt);
        else
            AppendJsonFloat(line, std::get<float>(parameter.value));
    }
    line += "}}";
    return line;
}

CEventLog::~CEventLog()
{
    std::thread writer;
    {
        platform::MutexLock lock(m_lock);
        if (!m_writer.joinable())
            return;
        m_bStop = true;
        m_changed.notify_all();
        writer = std::move(m_writer);
    }
    writer.join();
}

void CEventLog::Start()
{
    platform::MutexLock lock(m_lock);
    if (m_nStarts++ == 0)
    {
        // A writer that a Stop is still ending must be gone before a new one starts.
        while (m_bWriterRunning)
            lock.Wait(m_changed);
        m_bStop = false;
        m_bWriterRunning = true;
        m_writer = std::thread([this] { Run(); });
    }
}

void CEventLog::Stop()
{
    std::thread writer;
    {
        platform::MutexLock lock(m_lock);
        if (m_nStarts == 0 || --m_nStarts > 0)
            return;
        m_bStop = true;
        m_changed.notify_all();
        writer = std::move(m_writer);
    }
    writer.join();
}

void CEventLog::WriteNow(const std::string& strLine)
{
    // Under the lock, so such lines keep their posting order with each other.
    ++m_nPosted;
    Append(strLine);
    ++m_nWritten;
    m_changed.notify_all();
}

void CEventLog::Post(std::string strLine)
{
    strLine += '\n';
    platform::MutexLock lock(m_lock);
    while (m_nStarts > 0 && m_listPending.size() >= kMaxPending)
        lock.Wait(m_changed);
    if (m_nStarts == 0)
    {
        WriteNow(strLine);
        return;
    }
    m_listPending.push_back(std::move(strLine));
    ++m_nPosted;
    m_changed.notify_all();
}

void CEventLog::Flush()
{
    platform::MutexLock lock(m_lock);
    const std::uint64_t nTarget = m_nPosted;
    while (m_nWritten < nTarget)
        lock.Wait(m_changed);
}

void CEventLog::Run()
{
    while (true)
    {
        std::deque<std::string> batch;
        {
            platform::MutexLock lock(m_lock);
            while (!m_bStop && m_listPending.empty())
                lock.Wait(m_changed);
            if (m_listPending.empty())
            {
                // Stopping, and everything is written.
                m_bWriterRunning = false;
                m_changed.notify_all();
                return;
            }
            batch.swap(m_listPending);
            m_changed.notify_all(); // posters waiting for room
        }
        std::string text;
        for (const std::string& strLine : batch)
            text += strLine;
        Append(text);
        platform::MutexLock lock(m_lock);
        m_nWritten += batch.size();
        m_changed.notify_all();
    }
}

bool CEventLog::WriteAll(int fd, const std::string& strText)
{
    std::size_t nDone = 0;
    while (nDone < strText.size())
    {
        const ssize_t n = ::write(fd, strText.data() + nDone, strText.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        nDone += static_cast<std::size_t>(n);
    }
    return true;
}

// Appends under an exclusive flock of the log file itself, so that the processes that
// share the runtime folder rotate it once: the one that finds the log full renames it to
// events.log.1 (replacing the older one) while it holds the lock; the others then find
// the name no longer theirs and open the new log.
void CEventLog::Append(const std::string& strText)
{
    const std::string strPath = platform::RuntimeFolder() + "/events.log";
    for (int nTry = 0; nTry < kAppendTries; ++nTry)
    {
        const platform::UniqueFd fd(
            ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (!fd)
            break;
        struct stat opened
        {
        };
        struct stat named
        {
        };
        while (::flock(fd.Get(), LOCK_EX) != 0 && errno == EINTR)
        {
        }
        if (::fstat(fd.Get(), &opened) != 0)
            break;
        if (::stat(strPath.c_str(), &named) != 0 || named.st_ino != opened.st_ino ||
            named.st_dev != opened.st_dev)
            continue; // rotated by another process meanwhile
        if (opened.st_size > 0 &&
            static_cast<std::uint64_t>(opened.st_size) + strText.size() > kRotateBytes)
        {
            if (::rename(strPath.c_str(), (strPath + ".1").c_str()) != 0)
                break;
            continue;
        }
        // A log made by an earlier version may be readable by others.
        if ((opened.st_mode & 077) != 0)
            ::fchmod(fd.Get(), 0600);
        if (!WriteAll(fd.Get(), strText))
            platform::DebugOutput("EventMgr - " + strPath + " cannot be written\n");
        return;
    }
    platform::DebugOutput("EventMgr - " + strPath + " cannot be opened\n");
}
} // namespace hostlibs
