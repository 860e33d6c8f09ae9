// A program run by a test as a process of its own (posix_spawnp: a name without a slash is
// looked up on PATH): its arguments, changes to the environment it inherits, its folder;
// standard input from /dev/null, standard output and standard error on pipes (or both on
// one, or standard error the test's own). The test reads lines as they come, sends
// signals, and collects the rest with the exit status, each within a limit that fails the
// test with a message. The destructor kills a process that is still running.
#pragma once

#include "support/Wait.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace testsupport
{
struct SChildOptions
{
    SChildOptions() = default;
    // Only the arguments: SChildOptions{{"--tracks", "2"}}.
    SChildOptions(std::vector<std::string> arguments) : args(std::move(arguments)) {}

    std::vector<std::string> args;                        // without the program
    std::vector<std::pair<std::string, std::string>> env; // set in the child's environment
    std::vector<std::string> unsetEnv;                    // removed from it
    std::string folder;                                   // this process's when empty
    bool bMergeStderr = false;   // standard error goes where standard output goes
    bool bInheritStderr = false; // standard error is the test's own
    // Standard error is a pseudo-terminal (isatty answers true there), read as Err().
    bool bStderrTerminal = false;
};

class ChildProcess
{
public:
    // Starts the program (a path); the test fails when it cannot be started.
    ChildProcess(const std::string& program, SChildOptions options);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0 || m_bEnded; }
    pid_t Pid() const { return m_pid; }

    // The next line of standard output (standard error), without its line feed; what came
    // before the end of the stream as the last line, then "" at the very end.
    ::testing::AssertionResult OutLine(std::string& line, DWORD dwLimitMs = kWaitLimitMs);
    ::testing::AssertionResult ErrLine(std::string& line, DWORD dwLimitMs = kWaitLimitMs);

    void Signal(int nSignal);

    // Reads both streams to their end and waits for the process to end, all within the
    // limit: what was not read as lines before lands in Out() and Err(). When the limit
    // passes first, the process is killed and the failure names it.
    ::testing::AssertionResult Finish(DWORD dwLimitMs = kWaitLimitMs);
    // After Finish: the exit code, or -1 when a signal ended the process.
    int ExitCode() const { return m_nExit; }
    int TermSignal() const { return m_nSignal; }
    // After Finish: the status as waitpid gave it.
    int Status() const { return m_nStatus; }
    const std::string& Out() const { return m_strOut; }
    const std::string& Err() const { return m_strErr; }

private:
    void Kill();

    std::string m_strProgram;
    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    bool m_bEnded = false;
    int m_nExit = -1;
    int m_nSignal = 0;
    int m_nStatus = -1;
    std::string m_strOut; // read but not yet handed out as a line
    std::string m_strErr;
};

// This test program's own path, and the options that run it again in a process of its own
// with only the test named (one whose name starts with DISABLED_, so that the program's own
// run passes it by) and the environment value set, standard error with standard output: for
// a test of settings that hold for a whole process, as a limit on the size of files.
std::string ThisProgram();
SChildOptions OnlyTest(const std::string& strTest,
                       std::pair<std::string, std::string> environmentValue);

// Runs the program to its end within the limit; Finish's failure becomes the test's.
struct SChildResult
{
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};
SChildResult RunChild(const std::string& program, SChildOptions options,
                      DWORD dwLimitMs = kWaitLimitMs);
} // namespace testsupport
