#include "StopSignal.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <unistd.h>

namespace station
{
StopSignal::StopSignal()
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    m_read = fds[0];
    m_write = fds[1];
}

StopSignal::~StopSignal()
{
    close(m_read);
    close(m_write);
}

void StopSignal::Raise()
{
    if (m_raised.exchange(true))
        return;
    if (write(m_write, "x", 1) != 1)
        std::perror("station stop");
}

bool StopSignal::WaitFor(int fd, short events) const
{
    pollfd fds[2] = {{fd, events, 0}, {m_read, POLLIN, 0}};
    for (;;)
    {
        const int ready = poll(fds, 2, -1);
        if (ready < 0 && errno == EINTR)
            continue;
        return ready > 0 && fds[1].revents == 0;
    }
}

StopSignal::EWait StopSignal::WaitFor(int fd, short events, std::chrono::milliseconds limit) const
{
    // Without a socket (fd < 0) only the stop pipe is watched: a pause.
    pollfd fds[2] = {{m_read, POLLIN, 0}, {fd, events, 0}};
    const nfds_t count = fd < 0 ? 1 : 2;
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        const int ready = poll(fds, count, static_cast<int>(std::max<int64_t>(left.count(), 0)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || fds[0].revents != 0)
            return EWait::eStopped;
        if (ready > 0)
            return EWait::eReady;
        if (left.count() <= 0)
            return EWait::eTimedOut;
    }
}

bool StopSignal::Pause(std::chrono::milliseconds duration) const
{
    return WaitFor(-1, 0, duration) != EWait::eStopped;
}
} // namespace station
