#include "Child.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace bench
{
namespace
{
int PidFd(pid_t pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int RemainingMs(std::chrono::steady_clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}
} // namespace

CChild::CChild(const std::vector<std::string>& argv, bool bKeepOutput)
{
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int hPipe[2] = {-1, -1};
    if (bKeepOutput)
    {
        if (::pipe2(hPipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_adddup2(&actions, hPipe[1], STDOUT_FILENO);
    }
    else
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    m_start = std::chrono::steady_clock::now();
    const int nError = ::posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (bKeepOutput)
    {
        ::close(hPipe[1]);
        m_hOutput = hPipe[0];
    }
    if (nError != 0)
    {
        if (m_hOutput >= 0)
            ::close(m_hOutput);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(nError));
    }
    m_hPidFd = PidFd(m_pid);
}

CChild::~CChild()
{
    if (!m_bWaited)
        Wait(std::chrono::milliseconds(0));
    if (m_hOutput >= 0)
        ::close(m_hOutput);
    if (m_hPidFd >= 0)
        ::close(m_hPidFd);
}

std::string CChild::FirstLine(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (m_hOutput >= 0)
    {
        const std::size_t nEnd = m_strBuffered.find('\n');
        if (nEnd != std::string::npos)
            return m_strBuffered.substr(0, nEnd);
        pollfd fd{m_hOutput, POLLIN, 0};
        if (::poll(&fd, 1, RemainingMs(deadline)) <= 0)
            return {};
        char buffer[4096];
        const ssize_t n = ::read(m_hOutput, buffer, sizeof(buffer));
        if (n <= 0)
            return {};
        m_strBuffered.append(buffer, static_cast<std::size_t>(n));
    }
    return {};
}

void CChild::Signal(int nSignal)
{
    if (!m_bWaited)
        ::kill(m_pid, nSignal);
}

SChildResult CChild::Wait(std::chrono::milliseconds limit)
{
    SChildResult result;
    if (m_bWaited)
        return result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool bOutputOpen = m_hOutput >= 0;
    while (true)
    {
        pollfd fds[2] = {{m_hPidFd, POLLIN, 0}, {bOutputOpen ? m_hOutput : -1, POLLIN, 0}};
        const int nReady = ::poll(fds, 2, RemainingMs(deadline));
        if (nReady == 0)
        {
            ::kill(m_pid, SIGKILL);
            break;
        }
        if (nReady < 0 && errno != EINTR)
            break;
        if (bOutputOpen && (fds[1].revents & (POLLIN | POLLHUP)) != 0)
        {
            char buffer[65536];
            const ssize_t n = ::read(m_hOutput, buffer, sizeof(buffer));
            if (n > 0)
                m_strBuffered.append(buffer, static_cast<std::size_t>(n));
            else
                bOutputOpen = false;
        }
        if ((fds[0].revents & POLLIN) != 0 && !bOutputOpen)
            break;
        if ((fds[0].revents & POLLIN) != 0 && m_hOutput >= 0)
        {
            // Exited: what is left in the pipe can be read without waiting.
            char buffer[65536];
            ssize_t n = 0;
            ::fcntl(m_hOutput, F_SETFL, O_NONBLOCK);
            while ((n = ::read(m_hOutput, buffer, sizeof(buffer))) > 0)
                m_strBuffered.append(buffer, static_cast<std::size_t>(n));
            break;
        }
    }
    int nStatus = 0;
    const pid_t pid = ::wait4(m_pid, &nStatus, 0, &result.usage);
    result.dWallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
    m_bWaited = true;
    result.bExited = pid == m_pid && WIFEXITED(nStatus) && RemainingMs(deadline) > 0;
    result.nExitCode = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    result.strOutput = std::move(m_strBuffered);
    return result;
}

SChildResult Run(const std::vector<std::string>& argv, bool bKeepOutput,
                 std::chrono::milliseconds limit)
{
    CChild child(argv, bKeepOutput);
    return child.Wait(limit);
}
} // namespace bench
