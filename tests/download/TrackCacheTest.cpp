// The track cache on its own: the marks, the write status and its notifications, the
// controls without a download, and objects that cannot be set up.
#include "download/TrackCache.h"

#include "DownloadTestSupport.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "support/TestSupport.h"
#include "support/TraceCapture.h"

#include <gtest/gtest.h>

using downloadtest::CTestOwner;
using downloadtest::kLimitMs;

// The marks are the header's seconds at the track's bit rate, within what resumes a paused
// download: a high mark of at least a byte, a low mark from a byte to the high mark.
TEST(TrackCache, MarksComeFromTheBitRateAndTheHeadersSecondsWithinWhatResumesADownload)
{
    struct SRow
    {
        const char* name;
        DWORD dwBitRate, dwLow, dwHigh, dwWantLow, dwWantHigh;
        bool bTraced; // "should FAIL": the marks do not fit a buffer of 1048576 bytes
    };
    const SRow rows[] = {
        {"Fits", 128, 10, 20, 160000, 320000, false},
        {"HighBelowLow", 128, 10, 5, 80000, 80000, true},
        {"LowZeroActsAsOneByte", 128, 0, 20, 1, 320000, false},
        {"BothZero", 128, 0, 0, 1, 1, true},
        // 400000 kbit/s for 100 s is beyond 32 bits: the largest value, not a wrapped one.
        {"BeyondThirtyTwoBits", 400000, 100, 200, 0xFFFFFFFFu, 0xFFFFFFFFu, true},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        testsupport::TraceCapture trace;
        STrackInfo rec;
        rec.songbr = row.dwBitRate;
        rec.cachelow = row.dwLow;
        rec.cachehigh = row.dwHigh;
        CTestOwner owner;
        CTrackCache cache(&rec, 1048576, &owner);
        EXPECT_EQ(cache.GetLowWater(), row.dwWantLow);
        EXPECT_EQ(cache.GetHighWater(), row.dwWantHigh);
        EXPECT_EQ(trace.HasLine("Per given parms, it should FAIL to create CTrackCache object!!\n"),
                  row.bTraced);
    }
}

TEST(TrackCache, AnObjectWithoutRecordOrSizeCannotBeSetUp)
{
    CTestOwner owner;
    STrackInfo rec = downloadtest::RecordWithMarks(1000, 2000);
    rec.songurl = "http://127.0.0.1:1/content/1/song.mp3?MAGIC=x";
    CTrackCache noRecord(nullptr, 4096, &owner);
    EXPECT_FALSE(noRecord.SetupForWrite());
    CTrackCache noSize(&rec, 0, &owner);
    EXPECT_FALSE(noSize.SetupForWrite());
    char buffer[16];
    EXPECT_EQ(noSize.Read(buffer, sizeof buffer), 0u);
    EXPECT_EQ(noSize.GetCurrentSize(), 0u);
    EXPECT_EQ(noSize.Write(buffer, sizeof buffer), 0u);
    EXPECT_FALSE(noSize.IsEndOfData());
}

// A done status (complete, denied, aborted) is final: a late start of a download thread
// does not undo it, each end notifies once, and a failure becomes an abort whose
// notification is made outside the status lock.
TEST(TrackCache, ADoneStatusStaysDoneAndEachEndNotifiesOnceOutsideTheStatusLock)
{
    testsupport::TempHome home;
    STrackInfo rec = downloadtest::RecordWithMarks(1000, 2000);
    CTestOwner owner;
    CTrackCache denied(&rec, 4096, &owner);
    EXPECT_TRUE(denied.PauseWrite());
    EXPECT_EQ(denied.GetWriteStatus(), static_cast<DWORD>(WS_PAUSED));
    EXPECT_TRUE(denied.StartWrite());
    EXPECT_FALSE(denied.IsWriteDone());
    denied.SetWriteStatus(WS_DENIED);
    EXPECT_EQ(owner.Completes(), 1);
    EXPECT_TRUE(denied.IsWriteDone());
    EXPECT_FALSE(denied.StartWrite());
    denied.SetWriteStatus(WS_WRITING); // a late start of a download thread
    EXPECT_EQ(denied.GetWriteStatus(), static_cast<DWORD>(WS_DENIED));
    denied.SetWriteStatus(WS_COMPLETE);
    EXPECT_EQ(owner.Completes(), 2);
    EXPECT_TRUE(denied.AbortWrite());
    EXPECT_EQ(denied.GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
    EXPECT_EQ(owner.Completes(), 2);

    // The stream manager answers from another thread that changes the status too: with
    // the status lock held across the call, that thread would never get through.
    CTrackCache failed(&rec, 4096, &owner);
    DWORD dwSeen = 0;
    bool bOtherThreadDone = false;
    owner.onComplete = [&](CTrackCache* pCache)
    {
        dwSeen = pCache->GetWriteStatus();
        platform::Thread other(
            [pCache]
            {
                pCache->PauseWrite();
                return DWORD{0};
            });
        bOtherThreadDone = testsupport::Ended(other, "a pause from another thread");
    };
    failed.SetWriteStatus(WS_WRITING);
    failed.SetWriteStatus(WS_FAILED);
    EXPECT_TRUE(bOtherThreadDone);
    EXPECT_EQ(dwSeen, static_cast<DWORD>(WS_ABORTED));
    EXPECT_EQ(owner.Completes(), 3);
    failed.SetWriteStatus(WS_COMPLETE); // aborted is final and quiet
    failed.SetWriteStatus(WS_WRITING);
    EXPECT_EQ(failed.GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
    EXPECT_EQ(owner.Completes(), 3);
    EXPECT_TRUE(failed.AbortWrite());
}
