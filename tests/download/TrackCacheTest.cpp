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

TEST(TrackCache, MarksComeFromTheBitRateAndTheHeadersSeconds)
{
    STrackInfo rec;
    rec.songbr = 128;
    rec.cachelow = 10;
    rec.cachehigh = 20;
    rec.minpreconnectcache = 2;
    CTestOwner owner;
    CTrackCache cache(&rec, 1048576, &owner);
    EXPECT_EQ(cache.GetLowWater(), 160000u);
    EXPECT_EQ(cache.GetHighWater(), 320000u);
    EXPECT_EQ(cache.GetPreconnectBytes(), 32000u);
    EXPECT_EQ(cache.GetPipeSize(), 1048576u);
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_IDLE));

    // Unsigned 32-bit arithmetic: 400000 kbit/s for 100 s wraps.
    rec.songbr = 400000;
    rec.cachelow = 100;
    CTrackCache wrapped(&rec, 1048576, &owner);
    EXPECT_EQ(wrapped.GetLowWater(), static_cast<DWORD>(400000ull * 100 * 125));
}

TEST(TrackCache, MarksThatDoNotFitTheSizeAreTracedAndKept)
{
    testsupport::TraceCapture trace;
    STrackInfo rec;
    rec.songbr = 128;
    rec.cachelow = 10;
    rec.cachehigh = 5; // below the low mark
    CTestOwner owner;
    CTrackCache cache(&rec, 1048576, &owner);
    EXPECT_TRUE(trace.HasLine("Per given parms, it should FAIL to create CTrackCache object!!\n"));
    EXPECT_EQ(cache.GetHighWater(), 80000u);

    trace.Clear();
    rec.cachehigh = 20;
    CTrackCache fits(&rec, 1048576, &owner);
    EXPECT_FALSE(trace.HasLineContaining("should FAIL"));
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

TEST(TrackCache, ADoneStatusStaysDoneAndOnlyCompletionNotifies)
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

    cache.SetWriteStatus(WS_DENIED);
    EXPECT_EQ(owner.Completes(), 0);
    EXPECT_TRUE(cache.IsWriteDone());
    EXPECT_FALSE(cache.StartWrite());
    EXPECT_TRUE(cache.PauseWrite());
    cache.SetWriteStatus(WS_WRITING); // a late start of a download thread
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_DENIED));

    cache.SetWriteStatus(WS_COMPLETE);
    EXPECT_EQ(owner.Completes(), 1);
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_COMPLETE));
    EXPECT_TRUE(cache.AbortWrite());
    EXPECT_EQ(cache.GetWriteStatus(), static_cast<DWORD>(WS_ABORTED));
    EXPECT_TRUE(cache.AbortWrite());
    EXPECT_EQ(owner.Completes(), 1);
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
