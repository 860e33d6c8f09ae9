// The trace client against a viewer inside the test: the block as it arrives, the
// channel, cut texts, viewers that are missing, hung or restarted, and traced locks.
#include "host/Trace.h"

#include "host/TraceBlock.h"
#include "host/TracedLock.h"
#include "support/TestSupport.h"
#include "support/TraceCapture.h"
#include "support/Wait.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using testsupport::TraceCapture;

TEST(Trace, BlockLayoutChannelAndCutText)
{
    TraceCapture capture;
    TraceText(std::string(5000, 'a').c_str());
    TraceText("short");
    CloseTraceChannel();
    CloseTraceChannel(); // nothing left to close: sends nothing

    auto messages = capture.Messages();
    ASSERT_EQ(messages.size(), 4u);

    const auto& open = messages[0];
    EXPECT_EQ(open.dwKind, host::kTraceKindOpen);
    EXPECT_EQ(open.block.dwBlockSize, 4104u);
    EXPECT_EQ(open.block.nChannelId, 0);
    EXPECT_EQ(open.block.dwOpenParameter, 0u);
    EXPECT_EQ(open.block.dwOpenMask, 0xEFFFFFFFu);
    EXPECT_EQ(open.block.bOpenFlag, 1);
    EXPECT_EQ(open.Text(), "test");
    EXPECT_EQ(open.block.dwTextLength, 5u);

    const auto& cut = messages[1];
    EXPECT_EQ(cut.dwKind, host::kTraceKindText);
    EXPECT_EQ(cut.block.nChannelId, 42);
    EXPECT_EQ(cut.block.dwTextLength, 4000u);
    EXPECT_EQ(cut.Text(), std::string(3999, 'a'));
    // The open fields keep their values in later messages.
    EXPECT_EQ(cut.block.bOpenFlag, 1);
    EXPECT_EQ(cut.block.dwOpenMask, 0xEFFFFFFFu);

    const auto& shorter = messages[2];
    EXPECT_EQ(shorter.Text(), "short");
    EXPECT_EQ(shorter.block.dwTextLength, 6u);
    // Bytes after the terminator keep what the longer line left there.
    EXPECT_EQ(shorter.block.szText[6], 'a');

    EXPECT_EQ(messages[3].dwKind, host::kTraceKindClose);
    EXPECT_EQ(messages[3].block.nChannelId, 42);
    EXPECT_EQ(host::TraceChannelId(), -1);
}

TEST(Trace, FormatsWithThePlatformRulesAndTakesOutsideTextAsAnArgument)
{
    TraceCapture capture;
    DWORD dwValue = 4000000000u;
    Trace("value %lu hex %08lX name %s", dwValue, 0xBEEFu, "x");
    const char* pszServerText = "100% %s %n";
    Trace("%s", pszServerText);
    Trace(std::string(2000, 'b').c_str());
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "value 4000000000 hex 0000BEEF name x");
    EXPECT_EQ(lines[1], "100% %s %n");
    EXPECT_EQ(lines[2].size(), 1024u); // the formatter's limit
}

namespace
{
// Ends the viewer that listens on the socket (not a child of this process: it was
// started detached) and waits, within the limit, until it has gone.
void StopViewerAt(const std::string& socket)
{
    const int hSocket = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::connect(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ucred peer{};
    socklen_t nSize = sizeof(peer);
    ASSERT_EQ(::getsockopt(hSocket, SOL_SOCKET, SO_PEERCRED, &peer, &nSize), 0);
    ::close(hSocket);
    const int hProcess = static_cast<int>(::syscall(SYS_pidfd_open, peer.pid, 0));
    ASSERT_GE(hProcess, 0);
    ASSERT_EQ(::kill(peer.pid, SIGTERM), 0);
    pollfd ended{hProcess, POLLIN, 0};
    EXPECT_EQ(::poll(&ended, 1, static_cast<int>(testsupport::kWaitLimitMs)), 1)
        << "the viewer did not end within the limit";
    ::close(hProcess);
}
} // namespace

// The viewer is started from the installation alone (here the build's bin folder, beside
// this test program), never as a program named ovdiag in the current folder that an empty
// PATH entry names, and not at all when OVDIAG_NOSTART forbids it.
TEST(Trace, TheViewerIsStartedOnlyFromTheInstallation)
{
    ASSERT_FALSE(host::TraceViewerProgram().empty());
    EXPECT_EQ(std::filesystem::canonical(host::TraceViewerProgram()),
              std::filesystem::canonical(OVDIAG_PATH));
    struct SRow
    {
        const char* name;
        const char* pszNoStart;
        bool bWantViewer;
    };
    constexpr SRow kRows[] = {{"the installation's viewer starts", "0", true},
                              {"no start when forbidden", "1", false}};
    for (const SRow& row : kRows)
    {
        SCOPED_TRACE(row.name);
        testsupport::TempHome home;
        const std::string planted = home.File("ovdiag");
        testsupport::WriteFile(planted, "#!/bin/sh\ntouch \"$0.ran\"\n");
        ASSERT_EQ(::chmod(planted.c_str(), 0755), 0);
        const testsupport::ScopedEnv path("PATH", ":");
        const testsupport::ScopedEnv noStart("OVDIAG_NOSTART", row.pszNoStart);
        const std::string socket = home.File("diag.sock");
        const testsupport::ScopedEnv at("OVDIAG_SOCKET", socket.c_str());
        const std::filesystem::path before = std::filesystem::current_path();
        std::filesystem::current_path(home.Path());
        host::ForgetTraceViewer();
        const int nFound = FindViewer();
        host::ForgetTraceViewer();
        std::filesystem::current_path(before);
        EXPECT_EQ(nFound == 0, row.bWantViewer);
        EXPECT_FALSE(std::filesystem::exists(planted + ".ran")) << "the planted program ran";
        if (nFound == 0)
            StopViewerAt(socket);
    }
}

TEST(Trace, RestartedViewerIsFoundAgainWithoutSigpipe)
{
    TraceCapture capture;
    Trace("before");
    ASSERT_TRUE(capture.DisconnectClients());
    // The first send after the viewer went away fails; the trace looks for the viewer
    // once more and sends the line there.
    EXPECT_EQ(Trace("after"), 1u);
    EXPECT_TRUE(capture.HasLine("after"));
}

TEST(Trace, HungViewerCostsOneWaitThenCountsAsGone)
{
    TraceCapture capture;
    capture.StopAnswering();
    EXPECT_EQ(Trace("unanswered"), 0u);
    std::size_t nReceived = capture.Messages().size();
    EXPECT_EQ(Trace("not sent"), 0u);
    EXPECT_EQ(capture.Messages().size(), nReceived);
}

TEST(Trace, LinesFromManyThreadsArriveWhole)
{
    TraceCapture capture;
    constexpr int kThreads = 4;
    constexpr int kLines = 50;
    testsupport::OnThreads(kThreads, "the tracing threads to end",
                           [](int t)
                           {
                               for (int i = 0; i < kLines; ++i)
                                   Trace("thread %d line %d %s", t, i,
                                         std::string(100 + t, 'a' + t).c_str());
                           });
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
    for (const auto& line : lines)
    {
        int t = line[7] - '0';
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(line.substr(line.rfind(' ') + 1), std::string(100 + t, 'a' + t)) << line;
    }
}

namespace
{
// Enters the section twice on one thread, which the analysis (rightly, for every other
// caller) reports as a double acquisition: this test is about the recursion itself.
void EnterTwiceTraced(platform::CriticalSection& cs) OVR_NO_THREAD_SAFETY_ANALYSIS
{
    TracedLock lock(cs, "CStreamManager::ReadStream", 1);
    TracedLock again(cs, nullptr, 1); // recursive, and an absent label is empty
}
} // namespace

TEST(TracedLock, TracesEntryOnlyWhenAskedAndLeavesTheLock)
{
    TraceCapture capture;
    platform::CriticalSection cs;
    EnterTwiceTraced(cs);
    {
        TracedLock quiet(cs, "quiet");
    }
    std::thread other([&] { TracedLock lock(cs, "other thread"); });
    testsupport::Within("the other thread to take the lock", [&] { other.join(); });
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("Entered CriticalSection - CStreamManager::ReadStream(", 0), 0u);
    EXPECT_EQ(lines[0].size(),
              std::string("Entered CriticalSection - CStreamManager::ReadStream(").size() + 9);
    EXPECT_EQ(lines[0].back(), ')');
    EXPECT_EQ(lines[1].rfind("Entered CriticalSection - (", 0), 0u);
}
