#include "Connection.h"

#include "FormText.h"
#include "StopSignal.h"

#include <chrono>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace station
{
namespace
{
constexpr std::size_t kMaxHead = 65536;
constexpr std::size_t kMaxBody = 65536;

// A Content-Length of at most 9 digits; 0 for anything else.
std::size_t BodyLength(const HttpRequest& request)
{
    return Decimal(request.Header("Content-Length").value_or("0"), 9).value_or(0);
}
} // namespace

Connection::Connection(int fd, const StopSignal& stop) : m_fd(fd), m_stop(stop) {}

Connection::~Connection()
{
    close(m_fd);
}

std::optional<HttpRequest> Connection::ReadRequest()
{
    std::string received;
    std::size_t headEnd = std::string::npos;
    char buffer[4096];
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos)
    {
        if (received.size() > kMaxHead || !m_stop.WaitFor(m_fd, POLLIN))
            return std::nullopt;
        const ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            return std::nullopt;
        received.append(buffer, static_cast<std::size_t>(got));
    }
    HttpRequest request = HttpRequest::Parse(std::string_view(received).substr(0, headEnd));

    // No request the station serves has a body; one that comes is read and dropped.
    const std::size_t wanted = BodyLength(request);
    std::size_t have = received.size() - headEnd - 4;
    while (have < wanted && have < kMaxBody && m_stop.WaitFor(m_fd, POLLIN))
    {
        const ssize_t got = recv(m_fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        have += static_cast<std::size_t>(got);
    }
    return request;
}

bool Connection::Send(std::string_view bytes)
{
    while (!bytes.empty())
    {
        if (!m_stop.WaitFor(m_fd, POLLOUT))
            return false;
        const ssize_t sent = send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

void Connection::ResetOnClose()
{
    // Wait until the socket holds no byte that has not been sent yet, so a client that
    // reads slowly still gets every byte before the reset. With a not-sent low-water mark
    // of 1, POLLOUT means exactly that; the short limit only re-checks the count should a
    // wake-up not come.
    const int lowWater = 1;
    setsockopt(m_fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &lowWater, sizeof lowWater);
    for (;;)
    {
        int unsent = 0;
        if (ioctl(m_fd, SIOCOUTQNSD, &unsent) != 0 || unsent == 0)
            break;
        const auto waited = m_stop.WaitFor(m_fd, POLLOUT, std::chrono::milliseconds(20));
        if (waited == StopSignal::EWait::eStopped)
            break;
        // POLLOUT while bytes are still queued would make this loop spin: pause instead.
        if (waited == StopSignal::EWait::eReady && !m_stop.Pause(std::chrono::milliseconds(1)))
            break;
    }
    const linger hard{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}
} // namespace station
