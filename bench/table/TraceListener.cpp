#include "TraceListener.h"

#include "host/TraceBlock.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace bench
{
CTraceListener::CTraceListener()
{
    char szTemplate[] = "/tmp/ovr-bench-trace-XXXXXX";
    if (::mkdtemp(szTemplate) == nullptr)
        throw std::runtime_error("cannot make the trace socket's folder");
    m_strFolder = szTemplate;
    m_strSocket = m_strFolder + "/ovdiag.sock";
    m_hListen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, m_strSocket.c_str(), sizeof(address.sun_path) - 1);
    if (m_hListen < 0 ||
        ::bind(m_hListen, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(m_hListen, 8) != 0 || ::pipe2(m_hWake, O_CLOEXEC) != 0)
        throw std::runtime_error("cannot listen on the trace socket " + m_strSocket);
    ::setenv("OVDIAG_SOCKET", m_strSocket.c_str(), 1);
    m_thread = std::thread([this] { Serve(); });
}

CTraceListener::~CTraceListener()
{
    const char c = 'q';
    [[maybe_unused]] const ssize_t n = ::write(m_hWake[1], &c, 1);
    m_thread.join();
    ::close(m_hListen);
    ::close(m_hWake[0]);
    ::close(m_hWake[1]);
    std::error_code error;
    std::filesystem::remove_all(m_strFolder, error);
}

std::vector<STraceLine> CTraceListener::Lines() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

std::optional<STraceLine> CTraceListener::WaitForLine(const std::string& strText, std::size_t nFrom,
                                                      std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    std::optional<STraceLine> found;
    m_changed.wait_for(lock, limit,
                       [&]
                       {
                           for (std::size_t i = nFrom; i < m_lines.size(); ++i)
                               if (m_lines[i].strText.find(strText) != std::string::npos)
                               {
                                   found = m_lines[i];
                                   return true;
                               }
                           return false;
                       });
    return found;
}

void CTraceListener::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.clear();
}

void CTraceListener::Serve()
{
    std::vector<int> clients;
    while (true)
    {
        std::vector<pollfd> fds = {{m_hWake[0], POLLIN, 0}, {m_hListen, POLLIN, 0}};
        for (const int hClient : clients)
            fds.push_back({hClient, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0)
            continue;
        if (fds[0].revents != 0)
            break;
        if (fds[1].revents != 0)
        {
            const int hClient = ::accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (hClient >= 0)
                clients.push_back(hClient);
        }
        for (std::size_t i = 2; i < fds.size(); ++i)
        {
            if (fds[i].revents == 0)
                continue;
            host::STraceMessage message{};
            const ssize_t n = ::recv(fds[i].fd, &message, sizeof(message), 0);
            if (n <= 0)
            {
                ::close(fds[i].fd);
                std::erase(clients, fds[i].fd);
                continue;
            }
            const auto at = std::chrono::steady_clock::now();
            if (message.dwKind == host::kTraceKindText &&
                static_cast<std::size_t>(n) > offsetof(host::STraceMessage, block.szText))
            {
                const std::size_t nText = std::min<std::size_t>(
                    static_cast<std::size_t>(n) - offsetof(host::STraceMessage, block.szText),
                    host::kTraceTextCapacity);
                std::string strText(message.block.szText, ::strnlen(message.block.szText, nText));
                std::lock_guard<std::mutex> lock(m_mutex);
                m_lines.push_back({at, std::move(strText)});
                m_changed.notify_all();
            }
            const DWORD dwReply = 1;
            ::send(fds[i].fd, &dwReply, sizeof(dwReply), MSG_NOSIGNAL);
        }
    }
    for (const int hClient : clients)
        ::close(hClient);
}
} // namespace bench
