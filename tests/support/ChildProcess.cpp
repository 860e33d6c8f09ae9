#include "support/ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport
{
namespace
{
// This process's environment with the changes.
std::vector<std::string> ChildEnvironment(const SChildOptions& options)
{
    std::map<std::string, std::string> values;
    for (char** pEntry = environ; *pEntry != nullptr; ++pEntry)
    {
        const std::string entry = *pEntry;
        const std::size_t nEquals = entry.find('=');
        if (nEquals != std::string::npos)
            values[entry.substr(0, nEquals)] = entry.substr(nEquals + 1);
    }
    for (const std::string& name : options.unsetEnv)
        values.erase(name);
    for (const auto& [name, value] : options.env)
        values[name] = value;
    std::vector<std::string> entries;
    for (const auto& [name, value] : values)
        entries.push_back(name + "=" + value);
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

std::string TimedOut(const std::string& what, DWORD dwLimitMs)
{
    return "timed out after " + std::to_string(dwLimitMs / 1000) + " s waiting for " + what;
}
} // namespace

ChildProcess::ChildProcess(const std::string& program, SChildOptions options)
    : m_strProgram(program)
{
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    bool bStreams = ::pipe2(out, O_CLOEXEC) == 0;
    if (bStreams && options.bStderrTerminal)
    {
        // err[0] the terminal's master side, which the test reads; err[1] the child's side.
        bStreams = ::openpty(&err[0], &err[1], nullptr, nullptr, nullptr) == 0;
        if (bStreams)
        {
            ::fcntl(err[0], F_SETFD, FD_CLOEXEC);
            ::fcntl(err[1], F_SETFD, FD_CLOEXEC);
        }
    }
    else if (bStreams && !options.bMergeStderr && !options.bInheritStderr)
        bStreams = ::pipe2(err, O_CLOEXEC) == 0;
    if (!bStreams)
    {
        ADD_FAILURE() << "no pipe for " << program;
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (!options.bInheritStderr)
        posix_spawn_file_actions_adddup2(&actions, options.bMergeStderr ? out[1] : err[1], 2);
    if (!options.folder.empty())
        posix_spawn_file_actions_addchdir_np(&actions, options.folder.c_str());
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), options.args.begin(), options.args.end());
    std::vector<std::string> envp = ChildEnvironment(options);
    const int rc = posix_spawnp(&m_pid, program.c_str(), &actions, nullptr, Pointers(argv).data(),
                                Pointers(envp).data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    // The child's sides close here; a terminal's master sees the end of the stream (EIO)
    // only once every descriptor of its other side is closed.
    if (err[1] >= 0)
        ::close(err[1]);
    m_out = out[0];
    m_err = err[0];
    if (rc != 0)
    {
        m_pid = -1;
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(rc);
    }
}

ChildProcess::~ChildProcess()
{
    Kill();
    if (m_out >= 0)
        ::close(m_out);
    if (m_err >= 0)
        ::close(m_err);
}

void ChildProcess::Kill()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR)
    {
    }
    m_pid = -1;
}

::testing::AssertionResult ChildProcess::OutLine(std::string& line, DWORD dwLimitMs)
{
    return LineFrom(m_out, m_strOut, line, "a line on the standard output of " + m_strProgram,
                    dwLimitMs);
}

::testing::AssertionResult ChildProcess::ErrLine(std::string& line, DWORD dwLimitMs)
{
    if (m_err < 0)
        return ::testing::AssertionFailure() << "standard error is not read apart";
    return LineFrom(m_err, m_strErr, line, "a line on the standard error of " + m_strProgram,
                    dwLimitMs);
}

void ChildProcess::Signal(int nSignal)
{
    if (m_pid > 0)
        ::kill(m_pid, nSignal);
}

::testing::AssertionResult ChildProcess::Finish(DWORD dwLimitMs)
{
    if (m_pid <= 0)
        return ::testing::AssertionFailure() << m_strProgram << " is not running";
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(dwLimitMs);
    const std::string what = m_strProgram + " to end";
    // Both streams are read as they fill, so a child that writes much never waits on a
    // full pipe while the test waits for it to end.
    while (m_out >= 0 || m_err >= 0)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waits[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        const int nReady = left.count() > 0 ? ::poll(waits, 2, static_cast<int>(left.count())) : 0;
        if (nReady < 0 && errno == EINTR)
            continue;
        if (nReady <= 0)
        {
            Kill();
            return ::testing::AssertionFailure() << TimedOut(what, dwLimitMs);
        }
        for (int i = 0; i < 2; ++i)
        {
            int& fd = i == 0 ? m_out : m_err;
            if (fd < 0 || waits[i].revents == 0)
                continue;
            char buffer[65536];
            const ssize_t n = ::read(fd, buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
            {
                ::close(fd);
                fd = -1;
            }
            else
                (i == 0 ? m_strOut : m_strErr).append(buffer, static_cast<std::size_t>(n));
        }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    int status = 0;
    if (!Exited(m_pid, status, what, static_cast<DWORD>(std::max<long long>(left.count(), 1))))
    {
        Kill();
        return ::testing::AssertionFailure() << TimedOut(what, dwLimitMs);
    }
    m_pid = -1;
    m_bEnded = true;
    m_nStatus = status;
    m_nExit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    m_nSignal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return ::testing::AssertionSuccess();
}

std::string ThisProgram()
{
    std::error_code error;
    const std::string strSelf = std::filesystem::read_symlink("/proc/self/exe", error).string();
    EXPECT_FALSE(error) << "this program's path: " << error.message();
    return strSelf;
}

SChildOptions OnlyTest(const std::string& strTest,
                       std::pair<std::string, std::string> environmentValue)
{
    SChildOptions options{{"--gtest_also_run_disabled_tests", "--gtest_filter=" + strTest}};
    options.env = {std::move(environmentValue)};
    options.bMergeStderr = true;
    return options;
}

SChildResult RunChild(const std::string& program, SChildOptions options, DWORD dwLimitMs)
{
    ChildProcess child(program, std::move(options));
    SChildResult result;
    if (!child.Started())
        return result;
    EXPECT_TRUE(child.Finish(dwLimitMs));
    result.nExit = child.ExitCode();
    result.strOut = child.Out();
    result.strErr = child.Err();
    return result;
}
} // namespace testsupport
