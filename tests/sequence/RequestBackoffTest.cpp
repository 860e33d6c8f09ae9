// The pause before a sequence request after refused sequences, on a manual clock.
#include "sequence/RequestBackoff.h"

#include "platform/Clock.h"
#include "support/Wait.h"

#include <future>
#include <gtest/gtest.h>

// Sequences refused in a row: 1 s, 2 s, 4 s, 8 s, each from its refusal on the clock, then
// the station is given up until Reset; a usable track in between ends the pauses.
TEST(RequestBackoff, ThePauseDoublesUntilTheStationIsGivenUpAndAUsableTrackEndsIt)
{
    platform::ManualClock clock;
    CRequestBackoff backoff;
    backoff.SequenceFailed();
    backoff.SequenceSucceeded();
    EXPECT_EQ(backoff.RemainingMs(), 0u);
    for (const DWORD dwPause : {1000u, 2000u, 4000u, 8000u})
    {
        backoff.SequenceFailed();
        clock.Advance(dwPause / 4);
        EXPECT_EQ(backoff.RemainingMs(), dwPause - dwPause / 4);
        EXPECT_FALSE(backoff.HasGivenUp());
        clock.Advance(dwPause);
    }
    backoff.SequenceFailed();
    EXPECT_TRUE(backoff.HasGivenUp());
    EXPECT_FALSE(backoff.WaitForPause()); // at once: nothing may be asked for
    backoff.Reset();
    EXPECT_EQ(backoff.RemainingMs(), 0u);
    EXPECT_TRUE(backoff.WaitForPause());
}

// A wait for the pause ends when the clock reaches its end, not before; Reset and Abort
// end it at once.
TEST(RequestBackoff, AWaitEndsWithThePauseOrAtOnceOnResetOrAbort)
{
    struct SRow
    {
        const char* name;
        void (*end)(platform::ManualClock&, CRequestBackoff&);
        bool bWant;
    };
    const SRow rows[] = {
        {"ThePauseRunsOut",
         [](platform::ManualClock& clock, CRequestBackoff&) { clock.Advance(1); }, true},
        {"TheHostAsksAgain", [](platform::ManualClock&, CRequestBackoff& b) { b.Reset(); }, true},
        {"TheStationEnds", [](platform::ManualClock&, CRequestBackoff& b) { b.Abort(); }, false},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        platform::ManualClock clock;
        CRequestBackoff backoff;
        backoff.SequenceFailed();
        clock.Advance(200);
        std::future<bool> wait =
            std::async(std::launch::async, [&] { return backoff.WaitForPause(); });
        ASSERT_TRUE(clock.WaitForTimedWaiters(1, testsupport::kWaitLimitMs));
        EXPECT_TRUE(backoff.IsWaiting());
        clock.Advance(799); // a millisecond short of the second
        EXPECT_NE(wait.wait_for(std::chrono::milliseconds(20)), std::future_status::ready);
        row.end(clock, backoff);
        ASSERT_EQ(wait.wait_for(std::chrono::milliseconds(testsupport::kWaitLimitMs)),
                  std::future_status::ready);
        EXPECT_EQ(wait.get(), row.bWant);
        EXPECT_FALSE(backoff.IsWaiting());
    }
}
