#include "support/ServerProcess.h"

#include "support/Wait.h"

#include <cerrno>
#include <csignal>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport
{
ServerProcess::ServerProcess(const std::vector<std::string>& argv)
{
    int out[2];
    if (argv.empty() || pipe(out) != 0)
        return;
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0)
    {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    m_out = out[0];
    if (m_pid < 0)
        return;
    std::string pending;
    EXPECT_TRUE(LineFrom(m_out, pending, m_firstLine, "the first line of " + argv[0]));
    for (const std::string_view prefix :
         {"listening on http://127.0.0.1:", "listening on https://127.0.0.1:"})
        if (m_firstLine.rfind(prefix, 0) == 0)
            m_port = static_cast<uint16_t>(std::stoul(m_firstLine.substr(prefix.size())));
}

ServerProcess::~ServerProcess()
{
    Stop();
}

int ServerProcess::Stop()
{
    int status = -1;
    if (m_pid > 0)
    {
        kill(m_pid, SIGTERM);
        if (!Exited(m_pid, status, "the server to end on SIGTERM"))
        {
            ADD_FAILURE() << "the server did not end on SIGTERM within the limit";
            kill(m_pid, SIGKILL);
            while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR)
            {
            }
            status = -1;
        }
        m_pid = -1;
    }
    if (m_out >= 0)
        close(m_out);
    m_out = -1;
    return status;
}
} // namespace testsupport
