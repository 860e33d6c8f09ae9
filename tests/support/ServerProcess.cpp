#include "support/ServerProcess.h"

#include <csignal>
#include <string_view>

namespace testsupport
{
ServerProcess::ServerProcess(const std::vector<std::string>& argv)
{
    if (argv.empty())
        return;
    SChildOptions options{{argv.begin() + 1, argv.end()}};
    options.bInheritStderr = true;
    m_pChild = std::make_unique<ChildProcess>(argv[0], std::move(options));
    if (!m_pChild->Started())
        return;
    EXPECT_TRUE(m_pChild->OutLine(m_firstLine)) << "the first line of " << argv[0];
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
    if (!m_pChild || m_pChild->Pid() <= 0)
        return -1;
    m_pChild->Signal(SIGTERM);
    const bool bEnded = m_pChild->Finish();
    EXPECT_TRUE(bEnded) << "the server did not end on SIGTERM within the limit";
    const int status = bEnded ? m_pChild->Status() : -1;
    m_pChild.reset();
    return status;
}
} // namespace testsupport
