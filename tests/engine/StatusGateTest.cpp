// The status gate: no call after Close has returned, Close waits for a call under way on
// another thread, and a callback may close the gate or call the engine from inside itself.
#include "engine/StatusGate.h"

#include "support/Wait.h"

#include <atomic>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace
{
TEST(StatusGateTest, CallsReachTheCallbackOnlyWhileOpen)
{
    CStatusGate gate;
    std::vector<std::pair<int, std::string>> calls;
    EXPECT_FALSE(gate.Call(7, nullptr));
    gate.Open([&](int nCode, const char* pszText)
              { calls.emplace_back(nCode, pszText ? pszText : "<null>"); });
    EXPECT_TRUE(gate.IsOpen());
    EXPECT_TRUE(gate.Call(9, "script()"));
    gate.Close();
    EXPECT_FALSE(gate.IsOpen());
    EXPECT_FALSE(gate.Call(10, nullptr));
    gate.Open(nullptr);
    EXPECT_FALSE(gate.IsOpen());
    EXPECT_FALSE(gate.Call(3, nullptr));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0], std::make_pair(9, std::string("script()")));
}

TEST(StatusGateTest, CloseWaitsForACallUnderWayOnAnotherThread)
{
    CStatusGate gate;
    platform::Event inside(true, false);
    platform::Event release(true, false);
    std::atomic<bool> bReturned{false};
    gate.Open(
        [&](int, const char*)
        {
            inside.Set();
            release.WaitRealTime(testsupport::kWaitLimitMs);
            bReturned = true;
        });
    std::thread caller([&] { gate.Call(7, nullptr); });
    ASSERT_TRUE(testsupport::Signalled(inside, "the callback to be entered"));
    std::future<void> closing = std::async(std::launch::async, [&] { gate.Close(); });
    // Close cannot return before the callback has.
    EXPECT_EQ(closing.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_FALSE(bReturned);
    release.Set();
    testsupport::Within("Close", [&] { closing.get(); });
    EXPECT_TRUE(bReturned);
    testsupport::Within("the caller", [&] { caller.join(); });
}

TEST(StatusGateTest, ACallbackMayCloseTheGateFromInsideItself)
{
    CStatusGate gate;
    int nCalls = 0;
    gate.Open(
        [&](int, const char*)
        {
            ++nCalls;
            gate.Close();
            EXPECT_FALSE(gate.Call(7, nullptr));
        });
    const bool bCalled =
        testsupport::Within("a call that closes its gate", [&] { return gate.Call(6, "next"); });
    EXPECT_TRUE(bCalled);
    EXPECT_EQ(nCalls, 1);
    EXPECT_FALSE(gate.IsOpen());
}
} // namespace
