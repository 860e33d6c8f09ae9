#include "Connection.h"

#include "FormText.h"
#include "StopSignal.h"
#include "TlsContext.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
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

Connection::Connection(int fd, const StopSignal& stop, const TlsContext* tls)
    : m_fd(fd), m_stop(stop)
{
    if (tls == nullptr)
        return;
    // The TLS library writes to the socket without MSG_NOSIGNAL: a client that has gone
    // would raise SIGPIPE. Blocked on this thread (the connection's own, which ends with
    // it), the write fails with EPIPE instead.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    // TLS calls must not block past the stop: the socket does not block, and each call
    // waits for it as the TLS library asks.
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
    m_ssl = tls->NewSession(m_fd);
    if (m_ssl == nullptr)
        m_tlsFailure = TlsContext::LastError("cannot make a TLS session");
}

Connection::~Connection()
{
    if (m_ssl != nullptr)
    {
        // A normal close ends the TLS stream first, so the client sees a clean end.
        if (!m_reset && m_tlsFailure.empty() && !m_stop.Raised())
            TlsCall([this] { return SSL_shutdown(m_ssl); });
        SSL_free(m_ssl);
        ERR_clear_error();
    }
    close(m_fd);
}

template <typename Call>
int Connection::TlsCall(Call call)
{
    for (;;)
    {
        ERR_clear_error();
        const int result = call();
        if (result > 0)
            return result;
        const int error = SSL_get_error(m_ssl, result);
        short events = 0;
        if (error == SSL_ERROR_WANT_READ)
            events = POLLIN;
        else if (error == SSL_ERROR_WANT_WRITE)
            events = POLLOUT;
        else
            return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        if (!m_stop.WaitFor(m_fd, events))
            return -1;
    }
}

bool Connection::Handshake()
{
    if (m_ssl == nullptr)
        return false;
    if (TlsCall([this] { return SSL_accept(m_ssl); }) == 1)
        return true;
    m_tlsFailure = m_stop.Raised() ? "(stopped)" : TlsContext::LastError("the client left");
    return false;
}

long Connection::Receive(char* buffer, std::size_t size)
{
    if (m_ssl != nullptr)
        return TlsCall([&] { return SSL_read(m_ssl, buffer, static_cast<int>(size)); });
    if (!m_stop.WaitFor(m_fd, POLLIN))
        return -1;
    return recv(m_fd, buffer, size, 0);
}

std::optional<HttpRequest> Connection::ReadRequest()
{
    if (!m_tlsFailure.empty() || (m_ssl != nullptr && !Handshake()))
        return std::nullopt;
    std::string received;
    std::size_t headEnd = std::string::npos;
    char buffer[4096];
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos)
    {
        if (received.size() > kMaxHead)
            return std::nullopt;
        const long got = Receive(buffer, sizeof buffer);
        if (got <= 0)
        {
            // A TLS client that leaves after the handshake has refused the certificate
            // (a host name it did not ask for) or gave up: the log tells.
            if (m_ssl != nullptr && received.empty() && !m_stop.Raised())
                m_tlsFailure = TlsContext::LastError("the client left before its request");
            return std::nullopt;
        }
        received.append(buffer, static_cast<std::size_t>(got));
    }
    HttpRequest request = HttpRequest::Parse(std::string_view(received).substr(0, headEnd));

    // No request the station serves has a body; one that comes is read and dropped.
    const std::size_t wanted = BodyLength(request);
    std::size_t have = received.size() - headEnd - 4;
    while (have < wanted && have < kMaxBody)
    {
        const long got = Receive(buffer, sizeof buffer);
        if (got <= 0)
            break;
        have += static_cast<std::size_t>(got);
    }
    return request;
}

bool Connection::Send(std::string_view bytes)
{
    while (!bytes.empty() && m_ssl != nullptr)
    {
        const int size = static_cast<int>(std::min<std::size_t>(bytes.size(), 1 << 20));
        const int sent = TlsCall([&] { return SSL_write(m_ssl, bytes.data(), size); });
        if (sent <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
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
    m_reset = true;
}
} // namespace station
