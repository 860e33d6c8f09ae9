// A server program started for a test: its first line on stdout must be
// "listening on http://127.0.0.1:PORT" (or https://); its standard error is the test's own.
// The destructor ends it with SIGTERM.
#pragma once

#include "support/ChildProcess.h"

#include <cstdint>
#include <memory>
#include <string>
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
    std::unique_ptr<ChildProcess> m_pChild;
    uint16_t m_port = 0;
    std::string m_firstLine;
};
} // namespace testsupport
