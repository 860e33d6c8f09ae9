// Events, WaitAny, threads, critical sections, the manual clock and who a change wakes,
// with real threads.
#include "platform/Clock.h"
#include "platform/CriticalSection.h"
#include "platform/Event.h"
#include "platform/Pipe.h"
#include "platform/Thread.h"
#include "support/Wait.h"

#include <atomic>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

using namespace platform;
using testsupport::Ended;
using testsupport::Signalled;

TEST(EventTest, AutoResetReleasesOneWaiterPerSet)
{
    auto event = std::make_shared<Event>(false, false);
    auto released = std::make_shared<std::atomic<int>>(0);
    auto done = std::make_shared<Event>(false, false);
    std::vector<Thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back(
            [=]
            {
                event->Wait();
                ++*released;
                done->Set();
                return DWORD{0};
            });

    for (int expected = 1; expected <= 3; ++expected)
    {
        event->Set();
        ASSERT_TRUE(Signalled(*done, "a waiter to be released"));
        // The signal was consumed by exactly one waiter.
        EXPECT_FALSE(event->IsSet());
        EXPECT_EQ(released->load(), expected);
    }
    for (auto& t : waiters)
        EXPECT_TRUE(Ended(t, "a released waiter to end"));
}

// WaitAny reports the first set event and consumes only that one (an auto-reset event);
// a manual-reset event stays set.
TEST(EventTest, WaitAnyReportsWhichEventAndConsumesOnlyThatOne)
{
    Event first(false, false);
    Event second(false, false);
    Event third(true, false);
    EXPECT_EQ(WaitAny({&first, &second, &third}, 0), WAIT_TIMEOUT);

    second.Set();
    third.Set();
    EXPECT_EQ(WaitAny({&first, &second, &third}, 0), WAIT_OBJECT_0 + 1);
    EXPECT_FALSE(second.IsSet());
    EXPECT_TRUE(third.IsSet());
    EXPECT_EQ(WaitAny({&first, &second, &third}, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(third.Wait(0), WAIT_OBJECT_0); // a manual-reset event stays set until reset
    third.Reset();
    EXPECT_EQ(third.Wait(0), WAIT_TIMEOUT);
    Event autoInitial(false, true);
    EXPECT_EQ(autoInitial.Wait(0), WAIT_OBJECT_0);
    EXPECT_EQ(autoInitial.Wait(0), WAIT_TIMEOUT);

    // Set from another thread while waiting.
    Thread setter(
        [&]
        {
            first.Set();
            return DWORD{0};
        });
    EXPECT_EQ(WaitAny({&second, &first}, testsupport::kWaitLimitMs), WAIT_OBJECT_0 + 1);
    EXPECT_TRUE(Ended(setter, "the setter thread to end"));
}

namespace
{
// A timed wait of one kind, started on a thread of its own; the thread ends with the
// wait's result. release() lets go of what the wait kept running (a thread's procedure).
struct SStartedWait
{
    Thread waiter;
    std::function<void()> release = [] {};
};

struct SWaitKind
{
    const char* pszName;
    SStartedWait (*start)(DWORD dwLimit);
};

const SWaitKind kWaitKinds[] = {
    {"Event",
     [](DWORD dwLimit)
     {
         auto event = std::make_shared<Event>(true, false);
         return SStartedWait{Thread([=] { return event->Wait(dwLimit); })};
     }},
    {"WaitAny",
     [](DWORD dwLimit)
     {
         auto first = std::make_shared<Event>(false, false);
         auto second = std::make_shared<Event>(true, false);
         return SStartedWait{Thread([=] { return WaitAny({first.get(), second.get()}, dwLimit); })};
     }},
    {"ThreadEnd",
     [](DWORD dwLimit)
     {
         auto release = std::make_shared<Event>(true, false);
         auto worker = std::make_shared<Thread>([=] { return release->Wait(); });
         return SStartedWait{Thread([=] { return worker->Wait(dwLimit); }),
                             [=] { release->Set(); }};
     }},
    {"PipeWaitReadable",
     [](DWORD dwLimit)
     {
         auto pipe = std::make_shared<std::pair<PipeReadEnd, PipeWriteEnd>>(CreatePipe(8));
         return SStartedWait{Thread([=] { return pipe->first.WaitReadable(dwLimit); })};
     }},
    {"Sleep",
     [](DWORD dwLimit)
     {
         return SStartedWait{Thread(
             [=]
             {
                 Sleep(dwLimit);
                 return WAIT_TIMEOUT;
             })};
     }},
};
} // namespace

// Every kind of timed wait measures its limit on the platform clock, so a manual clock
// drives limits of 45 s in milliseconds; and Advance ends exactly the waits whose limit it
// passes, leaving the others waiting.
TEST(ManualClockTest, AdvanceEndsExactlyTheWaitsWhoseLimitItPasses)
{
    for (const SWaitKind& kind : kWaitKinds)
    {
        SCOPED_TRACE(kind.pszName);
        ManualClock clock;
        const DWORD start = GetTickCount();
        SStartedWait shorter = kind.start(30000);
        ASSERT_TRUE(clock.WaitForTimedWaiters(1));
        SStartedWait longer = kind.start(45000);
        ASSERT_TRUE(clock.WaitForTimedWaiters(2));
        clock.Advance(29999);
        EXPECT_EQ(shorter.waiter.Wait(0), WAIT_TIMEOUT) << "ended before its limit";
        clock.Advance(1);
        ASSERT_TRUE(Ended(shorter.waiter, "the 30 s wait to end at its limit"));
        EXPECT_EQ(shorter.waiter.ExitCode(), WAIT_TIMEOUT);
        EXPECT_EQ(clock.TimedWaiters(), 1u);
        EXPECT_EQ(longer.waiter.Wait(0), WAIT_TIMEOUT) << "the longer wait ended with the shorter";
        clock.Advance(14999);
        EXPECT_EQ(longer.waiter.Wait(0), WAIT_TIMEOUT);
        clock.Advance(1);
        ASSERT_TRUE(Ended(longer.waiter, "the 45 s wait to end at its limit"));
        EXPECT_EQ(longer.waiter.ExitCode(), WAIT_TIMEOUT);
        EXPECT_EQ(GetTickCount() - start, 45000u);
        EXPECT_EQ(clock.TimedWaiters(), 0u);
        shorter.release();
        longer.release();
    }
}

namespace
{
// The thread's voluntary context switches so far (each time it blocked), from /proc.
long VoluntarySwitches(pid_t tid)
{
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    const std::string key = "voluntary_ctxt_switches:";
    for (std::string line; std::getline(status, line);)
        if (line.rfind(key, 0) == 0)
            return std::stol(line.substr(key.size()));
    return -1;
}

// Passes a signal to a thread of its own and waits for its answer, nRounds times: each
// round is a Set that wakes a blocked thread, and gives the other threads time to run.
void PingPong(int nRounds, const std::function<void()>& eachRound)
{
    auto ping = std::make_shared<Event>(false, false);
    auto pong = std::make_shared<Event>(false, false);
    auto stop = std::make_shared<std::atomic<bool>>(false);
    Thread partner(
        [=]
        {
            while (ping->Wait() == WAIT_OBJECT_0 && !stop->load())
                pong->Set();
            return DWORD{0};
        });
    for (int i = 0; i < nRounds; ++i)
    {
        eachRound();
        ping->Set();
        ASSERT_TRUE(Signalled(*pong, "the partner's answer"));
    }
    stop->store(true);
    ping->Set();
    EXPECT_TRUE(Ended(partner, "the partner to end"));
}
} // namespace

// A blocked thread wakes for what it waits on, not for every change in the process:
// events set and pipes written elsewhere and the clock moving short of its limit leave it
// asleep. What it costs shows as the waiting thread's context switches.
TEST(WaitTest, AWaiterSleepsThroughChangesItDoesNotWaitFor)
{
    constexpr int kRounds = 200;
    struct SCase
    {
        const char* pszName;
        bool bManualClock;
        // The wait of the sleeping thread (its limit far beyond the test) and what happens
        // in each round; the wait ends when the event given is set.
        DWORD (*wait)(Event& release, PipeReadEnd& pipe);
        void (*round)(ManualClock* pClock, PipeWriteEnd& pipe);
    };
    const SCase cases[] = {
        {"another event is set", false, [](Event& release, PipeReadEnd&) { return release.Wait(); },
         [](ManualClock*, PipeWriteEnd&) {}},
        {"bytes short of what a reader waits for", false,
         [](Event& release, PipeReadEnd& pipe)
         {
             pipe.WaitReadable(1000000, kRounds + 1);
             return release.Wait();
         },
         [](ManualClock*, PipeWriteEnd& pipe)
         {
             DWORD n = 0;
             pipe.Write("x", 1, &n);
         }},
        {"the clock moves short of the limit", true,
         [](Event& release, PipeReadEnd&) { return release.Wait(1000000); },
         [](ManualClock* pClock, PipeWriteEnd&) { pClock->Advance(1); }},
    };
    for (const SCase& c : cases)
    {
        SCOPED_TRACE(c.pszName);
        std::optional<ManualClock> clock;
        if (c.bManualClock)
            clock.emplace();
        auto release = std::make_shared<Event>(true, false);
        auto pipe = std::make_shared<std::pair<PipeReadEnd, PipeWriteEnd>>(CreatePipe(4096));
        auto tid = std::make_shared<std::atomic<pid_t>>(0);
        auto started = std::make_shared<Event>(true, false);
        const auto wait = c.wait;
        Thread sleeper(
            [=]
            {
                tid->store(::gettid());
                started->Set();
                return wait(*release, pipe->first);
            });
        ASSERT_TRUE(Signalled(*started, "the sleeper to start"));
        if (clock)
        {
            ASSERT_TRUE(clock->WaitForTimedWaiters(1));
        }
        const long nBefore = VoluntarySwitches(tid->load());
        PingPong(kRounds, [&] { c.round(clock ? &*clock : nullptr, pipe->second); });
        const long nAfter = VoluntarySwitches(tid->load());
        EXPECT_EQ(sleeper.Wait(0), WAIT_TIMEOUT);
        release->Set();
        pipe->second.Close();
        ASSERT_TRUE(Ended(sleeper, "the sleeper to end"));
        EXPECT_EQ(sleeper.ExitCode(), WAIT_OBJECT_0);
        // A few for the scheduler's own reasons; one per round if each woke it.
        EXPECT_LT(nAfter - nBefore, 10) << "the sleeper woke " << nAfter - nBefore << " times";
    }
}

TEST(ManualClockTest, CountersAndLocalTimeFollowTheClock)
{
    ManualClock clock(0xFFFFFF00u);
    const LONGLONG counter = QueryPerformanceCounter();
    const SYSTEMTIME before = GetLocalTime();
    clock.Advance(0x200);
    // The tick count wraps at 32 bits as on Windows.
    EXPECT_EQ(GetTickCount(), 0x100u);
    EXPECT_EQ(timeGetTime(), 0x100u);
    EXPECT_EQ(QueryPerformanceCounter() - counter, 0x200LL * QueryPerformanceFrequency() / 1000);
    const SYSTEMTIME after = GetLocalTime();
    const int beforeMs = before.wSecond * 1000 + before.wMilliseconds;
    const int afterMs = after.wSecond * 1000 + after.wMilliseconds;
    EXPECT_EQ((afterMs - beforeMs + 60000) % 60000, 0x200);
}

TEST(ThreadTest, OwnerThatStopsWaitingLeavesTheThreadSafe)
{
    // The owner gives up after its (manual) limit and is destroyed while the thread
    // still runs; the thread keeps using the state it shares and ends cleanly.
    ManualClock clock;
    auto release = std::make_shared<Event>(true, false);
    auto finished = std::make_shared<Event>(true, false);
    {
        struct Owner
        {
            std::shared_ptr<std::vector<int>> data = std::make_shared<std::vector<int>>();
            Thread worker;
        };
        auto owner = std::make_unique<Owner>();
        owner->worker = Thread(
            [data = owner->data, release, finished]
            {
                release->Wait();
                for (int i = 0; i < 1000; ++i)
                    data->push_back(i);
                finished->Set();
                return DWORD{0};
            });
        auto waited = std::make_shared<std::atomic<DWORD>>(0);
        Thread waiter(
            [&owner, waited]
            {
                waited->store(owner->worker.Wait(5000));
                return DWORD{0};
            });
        ASSERT_TRUE(clock.WaitForTimedWaiters(1));
        clock.Advance(5000);
        ASSERT_TRUE(Ended(waiter, "the owner's 5 s wait to time out"));
        EXPECT_EQ(waited->load(), WAIT_TIMEOUT);
        EXPECT_TRUE(owner->worker.IsAlive());
        owner.reset();
    }
    release->Set();
    EXPECT_TRUE(Signalled(*finished, "the outliving thread to finish"));
}

namespace
{
// Enters the section twice on this thread and lets another thread try it meanwhile. The
// analysis (rightly, for every other caller) reports the second entry as a double
// acquisition; this test is about the recursion itself.
void CheckRecursionExcludesOthers(CriticalSection& cs) OVR_NO_THREAD_SAFETY_ANALYSIS
{
    cs.Enter();
    EXPECT_TRUE(cs.TryEnter()); // same thread enters again
    auto otherGotIt = std::make_shared<std::atomic<bool>>(true);
    Thread other(
        [&cs, otherGotIt]
        {
            const bool bGot = cs.TryEnter();
            otherGotIt->store(bGot);
            if (bGot)
                cs.Leave();
            return DWORD{0};
        });
    EXPECT_TRUE(Ended(other, "the other thread's try"));
    EXPECT_FALSE(otherGotIt->load());
    cs.Leave();
    cs.Leave();
}
} // namespace

TEST(CriticalSectionTest, IsRecursiveAndExcludesOtherThreads)
{
    CriticalSection cs;
    CheckRecursionExcludesOthers(cs);

    // Two threads counting under the lock lose no increment.
    int counter = 0;
    auto work = [&]
    {
        for (int i = 0; i < 10000; ++i)
        {
            CriticalSectionLock lock(cs);
            ++counter;
        }
        return DWORD{0};
    };
    Thread a(work);
    Thread b(work);
    ASSERT_TRUE(Ended(a, "the first counting thread"));
    ASSERT_TRUE(Ended(b, "the second counting thread"));
    EXPECT_EQ(counter, 20000);
}
