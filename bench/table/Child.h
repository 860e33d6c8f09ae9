// A child process of the benchmark driver: started with extra environment values and its
// standard output kept (in a file) or dropped, waited for with a limit (killed when it
// passes), and measured: wall time from start to exit, and its rusage from wait4.
#pragma once

#include <chrono>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace bench
{
struct SChildResult
{
    bool bExited = false; // false: killed at the limit, or it could not start
    int nExitCode = -1;
    double dWallSeconds = 0.0;
    rusage usage{};
    std::string strOutput; // standard output, when kept

    // User and system CPU of the whole process, in seconds.
    double CpuSeconds() const
    {
        return static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6 +
               static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6;
    }
};

class CChild
{
public:
    // Starts argv[0] (a path) with argv; bKeepOutput keeps standard output for the result,
    // otherwise it goes to /dev/null. Standard error is inherited. Throws
    // std::runtime_error when the process cannot be started.
    CChild(const std::vector<std::string>& argv, bool bKeepOutput);
    ~CChild();
    CChild(const CChild&) = delete;
    CChild& operator=(const CChild&) = delete;

    pid_t Pid() const { return m_pid; }
    // The first line of standard output (kept output only); waits at most the limit.
    // Empty when none came.
    std::string FirstLine(std::chrono::milliseconds limit);
    void Signal(int nSignal);
    // Waits for the exit, at most the limit; kills the process when it passes.
    SChildResult Wait(std::chrono::milliseconds limit);

private:
    pid_t m_pid = -1;
    int m_hPidFd = -1;
    int m_hOutput = -1; // read end of standard output, kept output only
    std::string m_strBuffered;
    std::chrono::steady_clock::time_point m_start;
    bool m_bWaited = false;
};

// Runs a command to its end (at most the limit) and returns what it did.
SChildResult Run(const std::vector<std::string>& argv, bool bKeepOutput,
                 std::chrono::milliseconds limit);
} // namespace bench
