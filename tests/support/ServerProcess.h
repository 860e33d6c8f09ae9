// A server program started for a test: its first line on stdout must be
// "listening on http://127.0.0.1:PORT" (or https://); the destructor ends it with SIGTERM.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport
{
class ServerProcess
{
public:
    // Runs argv[0] (looked up on PATH) and reads the port from its first line; Port()
    // is 0 when the program did not start or printed something else.
    explicit ServerProcess(const std::vector<std::string>& argv);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    uint16_t Port() const { return m_port; }
    const std::string& FirstLine() const { return m_firstLine; }
    // Sends SIGTERM and waits; the exit status as waitpid gives it (-1 when not running).
    int Stop();

private:
    pid_t m_pid = -1;
    int m_out = -1;
    uint16_t m_port = 0;
    std::string m_firstLine;
};
} // namespace testsupport
