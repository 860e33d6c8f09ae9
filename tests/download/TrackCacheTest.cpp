// The track cache on its own: the marks, the write status and its notifications, the
// controls without a download, and objects that cannot be set up.
#include "download/TrackCache.h"

#include "DownloadTestSupport.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "support/TestSupport.h"
#include "support/TraceCapture.h"

#include <algorithm>
#include <cstdint>
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
        rec.minpreconnectcache = 2;
        CTestOwner owner;
        CTrackCache cache(&rec, 1048576, &owner);
        EXPECT_EQ(cache.GetLowWater(), row.dwWantLow);
        EXPECT_EQ(cache.GetHighWater(), row.dwWantHigh);
        EXPECT_EQ(cache.GetPreconnectBytes(), std::min<uint64_t>(row.dwBitRate * 250ull, ~0u));
        EXPECT_EQ(cache.GetPipeSize(), 1048576u);
        EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_IDLE));
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

TEST(TrackCache, AFailureBecomesAnAbortAfterOneNotificationMadeOutsideTheStatusLock)
{
    testsupport::TempHome home;
    STrackInfo rec = downloadtest::RecordWithMarks(1000, 2000);
    CTestOwner owner;
    CTrackCache cache(&rec, 4096, &owner);
    // The stream manager answers from another thread that changes the status too: with
    // the status lock held across the call, that thread would never get through.
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
    cache.SetWriteStatus(WS_WRITING);
    cache.SetWriteStatus(WS_FAILED);
    EXPECT_TRUE(bOtherThreadDone);
    EXPECT_EQ(dwSeen, static_cast<DWORD>(WS_ABORTED));
    EXPECT_EQ(owner.Completes(), 1);
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));

    // Aborted is final and quiet.
    cache.SetWriteStatus(WS_COMPLETE);
    cache.SetWriteStatus(WS_WRITING);
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
    EXPECT_EQ(owner.Completes(), 1);
    EXPECT_TRUE(cache.AbortWrite());
}

TEST(TrackCache, ADoneStatusStaysDoneAndCompletionAndRefusalNotify)
{
    STrackInfo rec = downloadtest::RecordWithMarks(1000, 2000);
    CTestOwner owner;
    CTrackCache cache(&rec, 4096, &owner);
    EXPECT_TRUE(cache.PauseWrite());
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_PAUSED));
    EXPECT_TRUE(cache.StartWrite());
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_WRITING));
    EXPECT_FALSE(cache.IsWriteDone());
    EXPECT_FALSE(cache.IsWritePaused()); // no downloader

    // A refusal ends the download: one notification.
    cache.SetWriteStatus(WS_DENIED);
    EXPECT_EQ(owner.Completes(), 1);
    EXPECT_TRUE(cache.IsWriteDone());
    EXPECT_FALSE(cache.StartWrite());
    EXPECT_TRUE(cache.PauseWrite());
    cache.SetWriteStatus(WS_WRITING); // a late start of a download thread
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_DENIED));

    cache.SetWriteStatus(WS_COMPLETE);
    EXPECT_EQ(owner.Completes(), 2);
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_COMPLETE));
    EXPECT_TRUE(cache.AbortWrite());
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
    EXPECT_TRUE(cache.AbortWrite());
    EXPECT_EQ(owner.Completes(), 2);
}

TEST(TrackCache, SkippableWhenTheTrackSaysSoOrOnceReadToItsEnd)
{
    CTestOwner owner;
    STrackInfo rec = downloadtest::RecordWithMarks(1000, 2000);
    rec.skip = 1;
    CTrackCache skippable(&rec, 4096, &owner);
    skippable.SetWriteStatus(WS_WRITING);
    EXPECT_TRUE(skippable.IsSkippable());

    rec.skip = 0;
    CTrackCache plain(&rec, 4096, &owner);
    plain.SetWriteStatus(WS_WRITING);
    EXPECT_FALSE(plain.IsSkippable());
    EXPECT_FALSE(plain.IsReadComplete());
    plain.SetWriteStatus(WS_COMPLETE);
    EXPECT_TRUE(plain.IsReadComplete());
    EXPECT_TRUE(plain.IsSkippable());
}

TEST(TrackCache, TheDestructorOfAnIdleCacheReturnsAtOnce)
{
    testsupport::TraceCapture trace;
    CTestOwner owner;
    STrackInfo rec = downloadtest::RecordWithMarks(1000, 2000);
    rec.track = "idle";
    {
        CTrackCache cache(&rec, 4096, &owner);
    }
    EXPECT_TRUE(trace.HasLine("Download registered abort on idle\nFlushing cache..."));
    EXPECT_EQ(owner.Completes(), 0);
}
