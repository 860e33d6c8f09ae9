#include "support/TraceCapture.h"

#include "host/Trace.h"
#include "support/Wait.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport
{
TraceCapture::TraceCapture(bool bOpenChannel)
{
    char szTemplate[] = "/tmp/ovtrace-XXXXXX";
    if (!::mkdtemp(szTemplate))
        throw std::runtime_error("mkdtemp failed");
    m_strFolder = szTemplate;
    m_strSocket = m_strFolder + "/ovdiag.sock";

    m_hListen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, m_strSocket.c_str(), sizeof(address.sun_path) - 1);
    if (m_hListen < 0 ||
        ::bind(m_hListen, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(m_hListen, 8) != 0 || ::pipe(m_hWake) != 0)
        throw std::runtime_error("trace capture socket failed");

    m_socketEnv.emplace("OVDIAG_SOCKET", m_strSocket.c_str());
    m_thread = std::thread([this] { Serve(); });

    host::ForgetTraceViewer();
    if (FindViewer() != 0)
        throw std::runtime_error("the trace did not find the capture viewer");
    if (bOpenChannel)
        OpenTraceChannel("test", 0, 1, host::kTraceDefaultOpenMask);
}

TraceCapture::~TraceCapture()
{
    {
        platform::MutexLock lock(m_lock);
        m_bAnswer = true;
    }
    CloseTraceChannel();
    host::ForgetTraceViewer();
    char c = 'q';
    [[maybe_unused]] ssize_t n = ::write(m_hWake[1], &c, 1);
    Within("the capture viewer's thread to end", [this] { m_thread.join(); });
    ::close(m_hListen);
    ::close(m_hWake[0]);
    ::close(m_hWake[1]);
    m_socketEnv.reset();
    std::error_code ignored;
    std::filesystem::remove_all(m_strFolder, ignored);
}

void TraceCapture::Serve()
{
    std::vector<pollfd> fds{{m_hWake[0], POLLIN, 0}, {m_hListen, POLLIN, 0}};
    while (true)
    {
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents)
        {
            char c = 0;
            if (::read(m_hWake[0], &c, 1) != 1 || c == 'q')
                break;
            for (std::size_t i = 2; i < fds.size(); ++i)
                ::close(fds[i].fd);
            fds.resize(2);
            fds[0].revents = fds[1].revents = 0;
            platform::MutexLock lock(m_lock);
            ++m_nDisconnects;
            m_changed.notify_all();
            continue;
        }
        if (fds[1].revents & POLLIN)
        {
            int hClient = ::accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (hClient >= 0)
                fds.push_back({hClient, POLLIN, 0});
        }
        for (std::size_t i = 2; i < fds.size(); ++i)
        {
            if (!fds[i].revents)
                continue;
            host::STraceMessage message{};
            ssize_t nRead = ::recv(fds[i].fd, &message, sizeof(message), 0);
            if (nRead <= 0)
            {
                ::close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(i));
                --i;
                continue;
            }
            bool bAnswer;
            {
                platform::MutexLock lock(m_lock);
                m_listMessages.push_back(
                    {message.dwKind, message.block, std::chrono::steady_clock::now()});
                bAnswer = m_bAnswer;
            }
            m_changed.notify_all();
            DWORD dwReply = message.dwKind == host::kTraceKindOpen ? kChannelId : 1;
            if (bAnswer)
                ::send(fds[i].fd, &dwReply, sizeof(dwReply), MSG_NOSIGNAL);
        }
        for (pollfd& entry : fds)
            entry.revents = 0;
    }
    for (std::size_t i = 2; i < fds.size(); ++i)
        ::close(fds[i].fd);
}

std::vector<TraceCapture::SMessage> TraceCapture::Messages() const
{
    platform::MutexLock lock(m_lock);
    return m_listMessages;
}

std::vector<std::string> TraceCapture::Lines() const
{
    std::vector<std::string> lines;
    for (const SMessage& message : Messages())
        if (message.dwKind == host::kTraceKindText)
            lines.push_back(message.Text());
    return lines;
}

bool TraceCapture::HasLine(const std::string& strText) const
{
    auto lines = Lines();
    return std::find(lines.begin(), lines.end(), strText) != lines.end();
}

bool TraceCapture::HasLineContaining(const std::string& strText) const
{
    for (const std::string& strLine : Lines())
        if (strLine.find(strText) != std::string::npos)
            return true;
    return false;
}

std::optional<TraceCapture::SMessage> TraceCapture::FirstLineContaining(const std::string& strText,
                                                                        DWORD dwLimitMs) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwLimitMs);
    platform::MutexLock lock(m_lock);
    while (true)
    {
        for (const SMessage& message : m_listMessages)
            if (message.dwKind == host::kTraceKindText &&
                message.Text().find(strText) != std::string::npos)
                return message;
        if (!lock.WaitUntil(m_changed, deadline))
            return std::nullopt;
    }
}

::testing::AssertionResult TraceCapture::WaitForLineContaining(const std::string& strText,
                                                               DWORD dwLimitMs) const
{
    if (FirstLineContaining(strText, dwLimitMs))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "timed out after " << dwLimitMs / 1000 << " s waiting for a trace line containing \""
           << strText << "\"";
}

void TraceCapture::Clear()
{
    platform::MutexLock lock(m_lock);
    m_listMessages.clear();
}

::testing::AssertionResult TraceCapture::DisconnectClients()
{
    platform::MutexLock lock(m_lock);
    const int nBefore = m_nDisconnects;
    char c = 'd';
    [[maybe_unused]] ssize_t n = ::write(m_hWake[1], &c, 1);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitLimitMs);
    while (m_nDisconnects == nBefore)
        if (!lock.WaitUntil(m_changed, deadline))
            return ::testing::AssertionFailure()
                   << "timed out waiting for the capture viewer to drop its clients";
    return ::testing::AssertionSuccess();
}

void TraceCapture::StopAnswering()
{
    platform::MutexLock lock(m_lock);
    m_bAnswer = false;
}
} // namespace testsupport
