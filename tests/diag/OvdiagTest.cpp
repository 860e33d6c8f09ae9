// The ovdiag viewer as a process of its own: engines' lines on their channels, several
// clients at once, the output file, and a clean end on SIGTERM.
#include "TraceViewer.h"
#include "host/Trace.h"
#include "host/TraceBlock.h"
#include "support/ChildProcess.h"
#include "support/TestSupport.h"
#include "support/Wait.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
// ovdiag with pipes on its stdout and stderr; killed if the test ends early.
struct ViewerProcess : testsupport::ChildProcess
{
    explicit ViewerProcess(const std::vector<std::string>& args)
        : ChildProcess(OVDIAG_PATH, testsupport::SChildOptions{args})
    {
    }

    // The next line, without its line feed; empty at the end of the stream (and when none
    // came within the limit, which fails the test).
    std::string OutLine()
    {
        std::string line;
        EXPECT_TRUE(ChildProcess::OutLine(line)) << "a line on ovdiag's stdout";
        return line;
    }
    std::string ErrLine()
    {
        std::string line;
        EXPECT_TRUE(ChildProcess::ErrLine(line)) << "a line on ovdiag's stderr";
        return line;
    }
    // Sends the signal (unless 0) and waits for the process to end; its exit status, -1
    // when killed or when it did not end within the limit (which fails the test).
    int SignalAndWait(int nSignal)
    {
        if (nSignal != 0)
            Signal(nSignal);
        EXPECT_TRUE(Finish()) << "ovdiag did not end within the limit";
        return ExitCode();
    }
};

// A second engine on its own connection, speaking the transport by hand.
class RawClient
{
public:
    explicit RawClient(const std::string& path)
    {
        m_socket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
        if (::connect(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
            throw std::runtime_error("connect");
        // A viewer that never answers fails the receive below instead of hanging it.
        const timeval limit{static_cast<time_t>(testsupport::kWaitLimitMs / 1000), 0};
        ::setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    ~RawClient() { ::close(m_socket); }

    DWORD Send(DWORD dwKind, LONG nChannelId, const std::string& text)
    {
        host::STraceMessage message{};
        message.dwKind = dwKind;
        message.block.dwBlockSize = host::kTraceBlockSize;
        message.block.nChannelId = nChannelId;
        std::memcpy(message.block.szText, text.c_str(), text.size() + 1);
        message.block.dwTextLength = static_cast<DWORD>(text.size() + 1);
        EXPECT_EQ(::send(m_socket, &message, sizeof(message), MSG_NOSIGNAL),
                  static_cast<ssize_t>(sizeof(message)));
        DWORD dwReply = 0;
        EXPECT_EQ(::recv(m_socket, &dwReply, sizeof(dwReply), 0),
                  static_cast<ssize_t>(sizeof(dwReply)));
        return dwReply;
    }

private:
    int m_socket = -1;
};

const std::regex kStamp(R"(^\d\d:\d\d:\d\d\.\d\d\d \[([^\]]*)\] (.*)$)");

using Line = std::pair<std::string, std::string>;

// The channel and text of a printed line; fails the test when the line is malformed.
std::pair<std::string, std::string> Split(const std::string& line)
{
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, kStamp)) << line;
    if (match.size() != 3)
        return {};
    return {match[1], match[2]};
}
} // namespace

TEST(Ovdiag, PrintsEachEnginesLinesOnItsChannelAndEndsCleanly)
{
    testsupport::TempHome home;
    const std::string socket = home.File("diag.sock");
    const std::string outFile = home.File("trace.log");
    ViewerProcess viewer({"--socket", socket, "--out", outFile});
    ASSERT_EQ(viewer.ErrLine(), "listening on " + socket);

    ::setenv("OVDIAG_SOCKET", socket.c_str(), 1);
    host::ForgetTraceViewer();
    ASSERT_EQ(FindViewer(), 0);
    const DWORD dwFirst = OpenTraceChannel("engine-a", 0, 1, host::kTraceDefaultOpenMask);
    Trace("tuned to %s at %d kbit/s\n", "demo", 128);
    EXPECT_EQ(Split(viewer.OutLine()), Line("engine-a", "tuned to demo at 128 kbit/s"));

    RawClient second(socket);
    const DWORD dwSecond = second.Send(host::kTraceKindOpen, 0, "engine-b");
    EXPECT_NE(dwSecond, dwFirst);
    second.Send(host::kTraceKindText, static_cast<LONG>(dwSecond), "two\r\nlines\n");
    EXPECT_EQ(Split(viewer.OutLine()).second, "two");
    EXPECT_EQ(Split(viewer.OutLine()), Line("engine-b", "lines"));

    TraceText(std::string(5000, 'x').c_str());
    EXPECT_EQ(Split(viewer.OutLine()).second, std::string(3999, 'x'));
    CloseTraceChannel();
    host::ForgetTraceViewer();

    // A second viewer on the same socket refuses and names it.
    ViewerProcess rival({"--socket", socket});
    EXPECT_NE(rival.ErrLine().find(socket), std::string::npos);
    EXPECT_EQ(rival.SignalAndWait(0), 1);

    EXPECT_EQ(std::filesystem::status(socket).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(viewer.SignalAndWait(SIGTERM), 0);
    EXPECT_FALSE(std::filesystem::exists(socket));
    // The file is the user's alone: its lines quote signed addresses.
    EXPECT_EQ(std::filesystem::status(outFile).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    const std::string logged = testsupport::ReadFile(outFile);
    EXPECT_NE(logged.find("[engine-a] tuned to demo at 128 kbit/s\n"), std::string::npos);
    EXPECT_NE(logged.find("[engine-b] lines\n"), std::string::npos);
    ::unsetenv("OVDIAG_SOCKET");
}

TEST(Ovdiag, EndsOnSigintAndTakesOverAStaleSocket)
{
    testsupport::TempHome home;
    const std::string socket = home.File("diag.sock");
    {
        ViewerProcess dead({"--socket", socket});
        ASSERT_EQ(dead.ErrLine(), "listening on " + socket);
        dead.SignalAndWait(SIGKILL); // leaves its socket file behind
    }
    ASSERT_TRUE(std::filesystem::exists(socket));
    ViewerProcess viewer({"--socket", socket});
    ASSERT_EQ(viewer.ErrLine(), "listening on " + socket);
    RawClient client(socket);
    EXPECT_GE(client.Send(host::kTraceKindOpen, 0, "tool"), 1u);
    EXPECT_EQ(viewer.SignalAndWait(SIGINT), 0);
    EXPECT_FALSE(std::filesystem::exists(socket));
}

// A viewer serves its own user's clients alone, and the trace sends only to its own user's
// viewer; another user is simulated on each end by expecting a user the peer is not.
TEST(Ovdiag, TracesStayWithTheirUser)
{
    struct SRow
    {
        const char* name;
        bool bEngineExpectsOther;
        bool bViewerExpectsOther;
        bool bWantLine;
    };
    constexpr SRow kRows[] = {{"the same user", false, false, true},
                              {"a viewer of another user", true, false, false},
                              {"a client of another user", false, true, false}};
    for (const SRow& row : kRows)
    {
        SCOPED_TRACE(row.name);
        testsupport::TempHome home;
        const std::string socket = home.File("diag.sock");
        std::ostringstream out;
        CTraceViewer viewer(socket, ::geteuid() + (row.bViewerExpectsOther ? 1 : 0));
        viewer.AddOutput(out);
        std::thread serving([&viewer] { viewer.Run(); });
        const testsupport::ScopedEnv at("OVDIAG_SOCKET", socket.c_str());
        if (row.bEngineExpectsOther)
            host::SetTraceViewerOwner(::geteuid() + 1);
        host::ForgetTraceViewer();
        FindViewer();
        OpenTraceChannel("engine", 0, 1, host::kTraceDefaultOpenMask);
        Trace("a line for the user alone");
        CloseTraceChannel();
        host::ForgetTraceViewer();
        host::SetTraceViewerOwner(std::nullopt);
        viewer.Stop();
        testsupport::Within("the viewer to end", [&serving] { serving.join(); });
        EXPECT_EQ(out.str().find("a line for the user alone") != std::string::npos, row.bWantLine)
            << out.str();
    }
}
