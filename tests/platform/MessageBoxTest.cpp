#include "platform/MessageBox.h"

#include "platform/DebugOutput.h"
#include "support/TestSupport.h"
#include "support/Wait.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
using namespace platform;

// Sends this process's stderr to a file while it lives.
class CapturedStderr
{
public:
    CapturedStderr() : m_path(m_home.File("stderr.txt"))
    {
        fflush(stderr);
        m_saved = dup(STDERR_FILENO);
        const int fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~CapturedStderr() { Restore(); }
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;

    // Everything written so far.
    std::string Text() const { return testsupport::ReadFile(m_path); }

private:
    void Restore()
    {
        if (m_saved < 0)
            return;
        fflush(stderr);
        dup2(m_saved, STDERR_FILENO);
        close(m_saved);
        m_saved = -1;
    }

    testsupport::TempHome m_home;
    std::string m_path;
    int m_saved = -1;
};

struct HookReset
{
    ~HookReset()
    {
        SetMessageBoxHook({});
        SetDebugOutputHook({});
    }
};

// Without a hook a box prints its title and text to stderr and answers its default
// button; a hook answers instead (printing nothing) until it is cleared.
TEST(MessageBox, PrintsAndAnswersTheDefaultButtonUnlessAHookAnswers)
{
    const HookReset reset;
    {
        CapturedStderr captured;
        EXPECT_EQ(MessageBox("Syntax Error Found in Loaded Buffer!", "Error", MB_OK), IDOK);
        EXPECT_EQ(MessageBox("two\nlines", "ORVALE Radio Message", MB_YESNO | MB_ICONSTOP), IDYES);
        EXPECT_EQ(
            captured.Text(),
            "Error: Syntax Error Found in Loaded Buffer!\nORVALE Radio Message: two\nlines\n");
    }
    const std::pair<UINT, int> defaults[] = {
        {MB_OKCANCEL, IDOK},
        {MB_OKCANCEL | MB_DEFBUTTON2, IDCANCEL},
        {MB_ABORTRETRYIGNORE | MB_DEFBUTTON3, IDIGNORE},
        {MB_YESNOCANCEL | MB_ICONQUESTION, IDYES},
        {MB_YESNOCANCEL | MB_DEFBUTTON3, IDCANCEL},
        {MB_YESNO | MB_DEFBUTTON2, IDNO},
        {MB_YESNO | MB_DEFBUTTON3, IDYES}, // no third button: the first
        {MB_RETRYCANCEL, IDRETRY},
        {0xE, IDOK}, // unknown set: OK
    };
    for (const auto& [type, expected] : defaults)
        EXPECT_EQ(DefaultButton(type), expected) << type;

    std::vector<std::string> seen;
    SetMessageBoxHook(
        [&](const std::string& text, const std::string& title, UINT uType)
        {
            seen.push_back(title + "|" + text + "|" + std::to_string(uType));
            return IDNO;
        });
    {
        CapturedStderr captured;
        EXPECT_EQ(MessageBox("Continue?", "Error", MB_YESNO | MB_ICONSTOP), IDNO);
        EXPECT_EQ(captured.Text(), "");
    }
    EXPECT_EQ(seen, std::vector<std::string>{"Error|Continue?|" +
                                             std::to_string(MB_YESNO | MB_ICONSTOP)});
    SetMessageBoxHook({});
    CapturedStderr captured;
    EXPECT_EQ(MessageBox("Continue?", "Error", MB_YESNO), IDYES);
    EXPECT_EQ(seen.size(), 1u);
    EXPECT_EQ(captured.Text(), "Error: Continue?\n");
}

TEST(MessageBox, AHookThatWaitsHoldsUpNoOtherBox)
{
    const HookReset reset;
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    SetMessageBoxHook(
        [&entered, released](const std::string&, const std::string&, UINT)
        {
            entered.set_value();
            // A host waiting for its user; the test lets it go within the limit.
            EXPECT_EQ(released.wait_for(std::chrono::milliseconds(testsupport::kWaitLimitMs)),
                      std::future_status::ready);
            return IDCANCEL;
        });
    auto waiting =
        std::async(std::launch::async, [] { return MessageBox("blocked", "Host", MB_OKCANCEL); });
    testsupport::Within("the first box to reach the hook", [&] { entered.get_future().wait(); });

    // While that box waits, another thread replaces the hook and shows a box of its own.
    auto other = std::async(std::launch::async,
                            []
                            {
                                SetMessageBoxHook([](const std::string&, const std::string&, UINT)
                                                  { return IDRETRY; });
                                return MessageBox("free", "Host", MB_RETRYCANCEL);
                            });
    const bool bOtherDone = other.wait_for(std::chrono::milliseconds(testsupport::kWaitLimitMs)) ==
                            std::future_status::ready;
    release.set_value();
    ASSERT_TRUE(bOtherDone) << "timed out waiting for the other box while the first one waits";
    EXPECT_EQ(other.get(), IDRETRY);
    // The first call finished with the hook it began with.
    EXPECT_EQ(testsupport::Within("the first box to return", [&] { return waiting.get(); }),
              IDCANCEL);
}

// Debug output goes to stderr, a line each, only while OVRADIO_DEBUG is set; a hook sees
// every text as passed either way, until it is cleared.
TEST(DebugOutput, GoesToStderrOnlyWhenOvradioDebugIsSetAndToTheHook)
{
    const HookReset reset;
    std::vector<std::string> seen;
    SetDebugOutputHook([&](const std::string& text) { seen.push_back(text); });
    {
        const testsupport::ScopedEnv off("OVRADIO_DEBUG", nullptr);
        CapturedStderr captured;
        DebugOutput("dropped\n");
        EXPECT_EQ(captured.Text(), "");
    }
    const testsupport::ScopedEnv on("OVRADIO_DEBUG", "1");
    CapturedStderr captured;
    DebugOutput("CRadioSequenceMgr::GetNextSequence <exit>\n");
    SetDebugOutputHook({});
    DebugOutput("CTrackCache::<Write>");
    DebugOutput("Invalid parameter");
    DebugOutput("");
    EXPECT_EQ(captured.Text(), "CRadioSequenceMgr::GetNextSequence <exit>\n"
                               "CTrackCache::<Write>\nInvalid parameter\n\n");
    EXPECT_EQ(seen, (std::vector<std::string>{"dropped\n",
                                              "CRadioSequenceMgr::GetNextSequence <exit>\n"}));
}

TEST(DebugOutput, LinesFromManyThreadsNeverMix)
{
    const HookReset reset;
    const testsupport::ScopedEnv on("OVRADIO_DEBUG", "1");
    CapturedStderr captured;
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    testsupport::OnThreads(kThreads, "the writing threads to end",
                           [](int t)
                           {
                               const std::string line =
                                   "thread " + std::to_string(t) + " " +
                                   std::string(200, static_cast<char>('a' + t));
                               for (int i = 0; i < kLines; ++i)
                                   DebugOutput(line);
                           });

    std::set<std::string> expected;
    for (int t = 0; t < kThreads; ++t)
        expected.insert("thread " + std::to_string(t) + " " +
                        std::string(200, static_cast<char>('a' + t)));
    std::istringstream in(captured.Text());
    std::string line;
    int nLines = 0;
    while (std::getline(in, line))
    {
        ++nLines;
        ASSERT_TRUE(expected.count(line)) << line.substr(0, 40);
    }
    EXPECT_EQ(nLines, kThreads * kLines);
}
} // namespace
