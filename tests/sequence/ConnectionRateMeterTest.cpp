// The rate meter's window on a manual clock, and the stopwatch.
#include "sequence/ConnectionRateMeter.h"

#include "platform/Clock.h"
#include "sequence/Stopwatch.h"
#include "support/Wait.h"

#include <gtest/gtest.h>
#include <thread>
#include <vector>

TEST(ConnectionRateMeter, GivesNoRateUntilAWholeWindowWasSeen)
{
    platform::ManualClock clock;
    CConnectionRateMeter meter;
    meter.SetWindow(30);
    double dRate = -1;
    for (int i = 0; i < 300; ++i) // exactly 30 s of reads: none older than the window yet
    {
        meter.AddSample(8192, 0.05);
        clock.Advance(100);
    }
    EXPECT_FALSE(meter.GetRate(dRate));
    EXPECT_EQ(dRate, -1);
    EXPECT_EQ(meter.GetSampleCount(), 300u);
    clock.Advance(1);
    meter.AddSample(8192, 0.05);             // the first sample ages out
    EXPECT_EQ(meter.GetSampleCount(), 300u); // one per read of the window, however long it runs
    ASSERT_TRUE(meter.GetRate(dRate));
    // Running sums of 300 durations carry rounding; the rate is right to far below a byte.
    EXPECT_NEAR(dRate, 8192 / 0.05, 1e-6);
}

TEST(ConnectionRateMeter, LongPauseResetsButStaysFilledAndWindowsRule)
{
    platform::ManualClock clock;
    CConnectionRateMeter meter;
    meter.SetWindow(1);
    meter.AddSample(1000, 0.5);
    clock.Advance(1001);
    double dRate = -1;
    ASSERT_TRUE(meter.GetRate(dRate)); // every sample aged out: rate 0, still filled
    EXPECT_EQ(dRate, 0.0);
    meter.AddSample(1000, 0.5);
    ASSERT_TRUE(meter.GetRate(dRate));
    EXPECT_DOUBLE_EQ(dRate, 2000.0);

    meter.SetWindow(1); // not longer: stays filled
    EXPECT_TRUE(meter.GetRate(dRate));
    meter.SetWindow(0.5);
    EXPECT_TRUE(meter.GetRate(dRate));
    meter.SetWindow(40); // longer: a whole window must be seen again
    EXPECT_FALSE(meter.GetRate(dRate));
}

TEST(ConnectionRateMeter, ConcurrentSamplesAreAllCounted)
{
    platform::ManualClock clock;
    CConnectionRateMeter meter;
    meter.SetWindow(0); // every later sample ages out once the clock moves
    testsupport::OnThreads(4, "the sampling threads to end",
                           [&](int)
                           {
                               for (int i = 0; i < 1000; ++i)
                                   meter.AddSample(10, 0.001);
                           });
    clock.Advance(1);
    meter.AddSample(10, 0.001); // drops the 4000, leaves this one
    double dRate = 0;
    ASSERT_TRUE(meter.GetRate(dRate));
    EXPECT_NEAR(dRate, 10 / 0.001, 1e-6);
}

TEST(Stopwatch, MeasuresTheManualClock)
{
    platform::ManualClock clock;
    CStopwatch watch;
    watch.Start();
    clock.Advance(250);
    EXPECT_NEAR(watch.Elapsed(), 0.25, 1e-9);
    EXPECT_NEAR(watch.GetLast(), 0.25, 1e-9);
}
