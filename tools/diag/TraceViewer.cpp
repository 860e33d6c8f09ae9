#include "TraceViewer.h"

#include "host/TraceBlock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{
constexpr int kListenBacklog = 16;

sockaddr_un AddressOf(const std::string& strPath)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (strPath.size() >= sizeof(address.sun_path))
        throw std::runtime_error("trace socket path too long: " + strPath);
    std::memcpy(address.sun_path, strPath.c_str(), strPath.size() + 1);
    return address;
}

// True when some viewer accepts connections on the path.
bool SomeoneListens(const sockaddr_un& address)
{
    const int hProbe = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (hProbe < 0)
        return false;
    const bool bListens =
        ::connect(hProbe, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    ::close(hProbe);
    return bListens;
}
} // namespace

CTraceViewer::CTraceViewer(std::string strSocketPath, uid_t clientUser)
    : m_strSocketPath(std::move(strSocketPath)), m_clientUser(clientUser)
{
    if (m_strSocketPath.empty())
        throw std::runtime_error("no private folder for the trace socket (/tmp/ovdiag-" +
                                 std::to_string(::geteuid()) +
                                 " belongs to someone else); name one with --socket");
    const sockaddr_un address = AddressOf(m_strSocketPath);
    if (SomeoneListens(address))
        throw std::runtime_error("another viewer is listening on " + m_strSocketPath);
    ::unlink(m_strSocketPath.c_str()); // a stale socket of a viewer that died
    m_hListen = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (m_hListen < 0 ||
        ::bind(m_hListen, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
        ::chmod(m_strSocketPath.c_str(), 0600) != 0 || ::listen(m_hListen, kListenBacklog) != 0 ||
        ::pipe2(m_hWake, O_CLOEXEC | O_NONBLOCK) != 0)
    {
        const std::string strReason = std::strerror(errno);
        if (m_hListen >= 0)
            ::close(m_hListen);
        throw std::runtime_error("cannot listen on " + m_strSocketPath + ": " + strReason);
    }
}

CTraceViewer::~CTraceViewer()
{
    for (const int hClient : m_listClients)
        ::close(hClient);
    ::close(m_hListen);
    ::unlink(m_strSocketPath.c_str());
    ::close(m_hWake[0]);
    ::close(m_hWake[1]);
}

void CTraceViewer::Stop()
{
    const char c = 'q';
    [[maybe_unused]] const ssize_t n = ::write(m_hWake[1], &c, 1);
}

void CTraceViewer::Run()
{
    while (true)
    {
        std::vector<pollfd> fds{{m_hWake[0], POLLIN, 0}, {m_hListen, POLLIN, 0}};
        for (const int hClient : m_listClients)
            fds.push_back({hClient, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0)
        {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        if (fds[1].revents & POLLIN)
            Accept();
        for (std::size_t i = 2; i < fds.size(); ++i)
        {
            if (fds[i].revents && !Serve(fds[i].fd))
            {
                ::close(fds[i].fd);
                std::erase(m_listClients, fds[i].fd);
            }
        }
    }
    for (const int hClient : m_listClients)
        ::close(hClient);
    m_listClients.clear();
    ::unlink(m_strSocketPath.c_str());
}

void CTraceViewer::Accept()
{
    const int hClient = ::accept4(m_hListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (hClient < 0)
        return;
    if (!host::PeerIsUser(hClient, m_clientUser))
    {
        ::close(hClient);
        return;
    }
    m_listClients.push_back(hClient);
}

// Reads one message and answers it; false when the client has gone.
bool CTraceViewer::Serve(int hClient)
{
    host::STraceMessage message{};
    const ssize_t nRead = ::recv(hClient, &message, sizeof(message), 0);
    if (nRead <= 0)
        return false;
    const DWORD dwReply = m_reader.Read(&message, static_cast<std::size_t>(nRead));
    return ::send(hClient, &dwReply, sizeof(dwReply), MSG_NOSIGNAL) == sizeof(dwReply);
}
