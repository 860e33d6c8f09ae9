#include "support/RawServer.h"

#include "support/Wait.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport
{
void SendAll(int fd, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size())
    {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += std::size_t(n);
    }
}

std::string Head(const std::string& status, std::size_t contentLength, const std::string& more)
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(contentLength) +
           "\r\nConnection: close\r\n" + more + "\r\n";
}

RawServer::RawServer(Script script) : m_script(std::move(script))
{
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen, 8) != 0 ||
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("test server cannot listen");
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] { Run(); });
}

RawServer::~RawServer()
{
    Release.Set();
    ::shutdown(m_listen, SHUT_RDWR);
    Within("the test server's thread to end", [this] { m_thread.join(); });
    ::close(m_listen);
}

std::vector<std::string> RawServer::Requests()
{
    platform::MutexLock lock(m_mutex);
    return m_requests;
}

void RawServer::ClearRequests()
{
    platform::MutexLock lock(m_mutex);
    m_requests.clear();
}

void RawServer::HoldUntilReleased()
{
    EXPECT_TRUE(Signalled(Release, "the test to release the held answer"));
}

void RawServer::Run()
{
    for (;;)
    {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos)
        {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            request.append(buf, std::size_t(n));
        }
        {
            platform::MutexLock lock(m_mutex);
            m_requests.push_back(request);
        }
        RequestSeen.Set();
        m_script(fd, request);
        ::close(fd);
    }
}
} // namespace testsupport
