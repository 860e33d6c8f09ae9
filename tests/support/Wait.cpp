#include "support/Wait.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport
{
namespace
{
std::string TimedOut(const std::string& what, DWORD dwLimitMs)
{
    return "timed out after " + std::to_string(dwLimitMs / 1000) + " s waiting for " + what;
}
} // namespace

::testing::AssertionResult Signalled(platform::Event& event, const std::string& what,
                                     DWORD dwLimitMs)
{
    if (event.WaitRealTime(dwLimitMs) == platform::WAIT_OBJECT_0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << TimedOut(what, dwLimitMs);
}

::testing::AssertionResult Ended(const platform::Thread& thread, const std::string& what,
                                 DWORD dwLimitMs)
{
    if (thread.WaitRealTime(dwLimitMs) == platform::WAIT_OBJECT_0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << TimedOut(what, dwLimitMs);
}

::testing::AssertionResult Exited(pid_t pid, int& status, const std::string& what, DWORD dwLimitMs)
{
    // A pidfd turns readable when the child ends, so the wait needs no polling.
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0)
        return ::testing::AssertionFailure() << "no pidfd for " << what;
    pollfd wait{pidfd, POLLIN, 0};
    int nReady = 0;
    do
        nReady = ::poll(&wait, 1, static_cast<int>(dwLimitMs));
    while (nReady < 0 && errno == EINTR);
    ::close(pidfd);
    if (nReady <= 0)
        return ::testing::AssertionFailure() << TimedOut(what, dwLimitMs);
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR)
    {
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult LineFrom(int fd, std::string& pending, std::string& line,
                                    const std::string& what, DWORD dwLimitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwLimitMs);
    std::size_t nEnd = pending.find('\n');
    while (nEnd == std::string::npos)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd wait{fd, POLLIN, 0};
        const int nReady = left.count() > 0 ? ::poll(&wait, 1, static_cast<int>(left.count())) : 0;
        if (nReady < 0 && errno == EINTR)
            continue;
        if (nReady <= 0)
            return ::testing::AssertionFailure() << TimedOut(what, dwLimitMs);
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
        {
            line = std::move(pending); // the stream ended
            pending.clear();
            return ::testing::AssertionSuccess();
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        nEnd = pending.find('\n');
    }
    line = pending.substr(0, nEnd);
    pending.erase(0, nEnd + 1);
    return ::testing::AssertionSuccess();
}

void FailAndEnd(const std::string& what, DWORD dwLimitMs, const SCallSite& where)
{
    ADD_FAILURE_AT(where.pszFile, where.nLine) << TimedOut(what, dwLimitMs);
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(1);
}
} // namespace testsupport
