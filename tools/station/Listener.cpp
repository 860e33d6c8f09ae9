#include "Listener.h"

#include "Connection.h"
#include "StopSignal.h"
#include "platform/Clock.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace station
{
namespace
{
// A port that is free now. The listening socket binds it by number: a socket bound to
// port 0 would give its port back when it stops listening for a refusal window.
uint16_t FreePort()
{
    const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    uint16_t port = 0;
    if (probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    if (probe >= 0)
        close(probe);
    return port;
}
} // namespace

Listener::Listener(uint16_t port, const StopSignal& stop) : m_stop(stop)
{
    // A free port found by a probe may be taken before it is bound again: try a few.
    for (int nTry = 0; nTry < 10; ++nTry)
    {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port == 0 ? FreePort() : port);
        socklen_t length = sizeof address;
        if (m_listen >= 0 && !setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) &&
            !bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof address) &&
            !listen(m_listen, 64) &&
            !getsockname(m_listen, reinterpret_cast<sockaddr*>(&address), &length))
        {
            m_port = ntohs(address.sin_port);
            return;
        }
        const int error = errno;
        if (m_listen >= 0)
            close(m_listen);
        m_listen = -1;
        if (port != 0 || error != EADDRINUSE)
            throw std::runtime_error("cannot listen on port " + std::to_string(port) + ": " +
                                     std::strerror(error));
    }
    throw std::runtime_error("cannot listen on a free port");
}

Listener::~Listener()
{
    Join();
}

void Listener::Start(Handler handler, const TlsContext* tls)
{
    m_handler = std::move(handler);
    m_tls = tls;
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

void Listener::Join()
{
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    // Connections still waiting to be accepted are refused with the socket.
    {
        platform::MutexLock lock(m_refuseMutex);
        m_closed = true;
        if (m_listen >= 0)
            close(std::exchange(m_listen, -1));
    }
    // The accept thread has ended, so the list no longer grows.
    std::list<Worker> workers;
    {
        platform::MutexLock lock(m_workersMutex);
        workers.swap(m_workers);
    }
    for (Worker& worker : workers)
        worker.thread.join();
}

void Listener::RefuseFor(uint64_t ms)
{
    platform::MutexLock lock(m_refuseMutex);
    if (m_closed)
        return;
    m_refusing = true;
    m_refuseUntil =
        platform::GetTickCount() + static_cast<uint32_t>(std::min<uint64_t>(ms, 1u << 30));
    // The socket stops listening (new connections are refused) and keeps its port; the
    // accept thread's wait wakes and finds the refusal.
    shutdown(m_listen, SHUT_RD);
}

bool Listener::WaitOutRefusal()
{
    for (;;)
    {
        {
            platform::MutexLock lock(m_refuseMutex);
            if (!m_refusing)
                return true;
            if (static_cast<int32_t>(platform::GetTickCount() - m_refuseUntil) >= 0)
            {
                m_refusing = false;
                listen(m_listen, 64);
                return true;
            }
        }
        // The window is on the platform clock, which may be a test's manual one that no
        // wait here can follow: look again shortly.
        if (!m_stop.Pause(std::chrono::milliseconds(2)))
            return false;
    }
}

void Listener::AcceptLoop()
{
    while (WaitOutRefusal() && m_stop.WaitFor(m_listen, POLLIN))
    {
        const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::thread thread(
            [this, fd, done]
            {
                {
                    Connection connection(fd, m_stop, m_tls);
                    m_handler(connection);
                }
                done->store(true);
            });
        platform::MutexLock lock(m_workersMutex);
        // Join the threads that have ended, so the list stays short.
        for (auto it = m_workers.begin(); it != m_workers.end();)
        {
            if (it->done->load())
            {
                it->thread.join();
                it = m_workers.erase(it);
            }
            else
                ++it;
        }
        m_workers.push_back({std::move(thread), std::move(done)});
    }
}
} // namespace station
