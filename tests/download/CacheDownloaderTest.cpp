// The content source base with a scripted feed: the private pipe, the pause handshake
// on the marks, the reader's bounded wait on an empty pipe, failures and aborts, with the
// feeder and reader threads really running.
#include "download/CacheDownloader.h"

#include "DownloadTestSupport.h"
#include "host/WorkerError.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Thread.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <optional>
#include <string>

using downloadtest::CCall;
using downloadtest::kLimitMs;
using downloadtest::WaitUntil;

namespace
{
// Feeds a string chunk by chunk. It can hold a feed at an offset until released (or
// aborted), fail at an offset, and it records its calls.
class CScriptedSource : public mcCacheDownloader
{
public:
    CScriptedSource(std::string content, DWORD dwChunk, DWORD dwLow, DWORD dwHigh, DWORD dwPipe)
        : mcCacheDownloader(nullptr, dwChunk, dwLow, dwHigh, dwPipe), m_content(std::move(content))
    {
    }
    ~CScriptedSource() override { StopFeeder(); }

    std::optional<std::size_t> holdAt;
    std::optional<std::size_t> failAt;
    // The server refuses the request before any data: InitFeedData fails with 403.
    bool bRefuseAtStart = false;
    std::atomic<bool> bReadyAtReport{false};
    platform::Event held{true, false};
    platform::Event release{true, false};
    platform::Event paused{true, false};
    platform::Event uninitialised{true, false};
    // Set once FeedData has been called this many times.
    std::size_t nSignalAtCall = 0;
    platform::Event calledEnough{true, false};
    std::atomic<int> nFeedCalls{0};
    std::atomic<int> nPauses{0};
    std::atomic<int> nReports{0};
    std::string strReport;
    DWORD dwReportedStatus = 0;

    BOOL Abort() override
    {
        release.Set(); // as a network source cancels its read
        return AbortBase();
    }
    void InitFeedData() override
    {
        if (bRefuseAtStart)
        {
            m_dwHttpStatus = 403;
            throw CWorkerError("scripted refusal");
        }
        SetConnected(TRUE);
    }
    void FeedData(void* pBuffer, DWORD* pdwSize, DWORD* pdwGot) override
    {
        if (static_cast<std::size_t>(++nFeedCalls) == nSignalAtCall)
            calledEnough.Set();
        if (holdAt && m_offset >= *holdAt)
        {
            holdAt.reset();
            held.Set();
            release.WaitRealTime(kLimitMs);
        }
        if (failAt && m_offset >= *failAt)
        {
            m_dwHttpStatus = 200;
            throw CWorkerError("scripted failure");
        }
        const std::size_t n = std::min<std::size_t>(*pdwSize, m_content.size() - m_offset);
        std::memcpy(pBuffer, m_content.data() + m_offset, n);
        m_offset += n;
        *pdwGot = static_cast<DWORD>(n);
    }
    void UnInitFeedData() override { uninitialised.Set(); }
    void ExceptionHandling(const std::string& strMessage, DWORD dwHttpStatus) override
    {
        ++nReports;
        bReadyAtReport = IsReady() != FALSE;
        strReport = strMessage;
        dwReportedStatus = dwHttpStatus;
        SetConnected(TRUE);
        SetFailed(TRUE);
    }
    BOOL Pause() override
    {
        ++nPauses;
        const BOOL bResult = mcCacheDownloader::Pause();
        paused.Set();
        return bResult;
    }

private:
    const std::string m_content;
    std::size_t m_offset = 0;
};

// One pull of the download thread; the count it returned.
DWORD ReadOnce(mcCacheDownloader& source, BYTE* pbFailed = nullptr)
{
    char buffer[100];
    DWORD dwSize = sizeof buffer;
    BYTE bFailed = FALSE;
    const DWORD dwRead = source.ReadDataFromPipe(buffer, &dwSize, &bFailed);
    if (pbFailed)
        *pbFailed = bFailed;
    return dwRead;
}

std::string Pattern(std::size_t n)
{
    std::string bytes(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

// Pulls the source to its end as the download thread does; the bytes, and the most the
// pipe held after any read.
std::string DrainSource(mcCacheDownloader& source, DWORD& dwMaxHeld)
{
    std::string bytes;
    char buffer[4096];
    dwMaxHeld = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (!source.IsEndOfData())
    {
        if (std::chrono::steady_clock::now() > deadline)
        {
            ADD_FAILURE() << "no end of data after " << bytes.size() << " bytes";
            break;
        }
        DWORD dwSize = sizeof buffer;
        BYTE bFailed = FALSE;
        const DWORD dwRead = source.ReadDataFromPipe(buffer, &dwSize, &bFailed);
        EXPECT_FALSE(bFailed);
        bytes.append(buffer, dwRead);
        dwMaxHeld = std::max(dwMaxHeld, source.GetPipeHeldBytes());
    }
    return bytes;
}
} // namespace

TEST(CacheDownloader, CutsTheChunkToThePipeAndSizesThePipeForBoth)
{
    CScriptedSource small("", 8192, 100, 500, 1000);
    EXPECT_EQ(small.GetChunkSize(), 1000u);
    EXPECT_EQ(small.GetPipeCapacity(), 2000u);
    CScriptedSource large("", 8192, 100, 500, 65536);
    EXPECT_EQ(large.GetChunkSize(), 8192u);
    EXPECT_EQ(large.GetPipeCapacity(), 8192u + 65536u);
    // A sum past 32 bits is refused before anything is allocated, not wrapped to a small pipe.
    EXPECT_THROW(CScriptedSource("", 8192, 100, 500, 0xFFFFF000u), CWorkerError);
}

TEST(CacheDownloader, DeliversTheContentInOrderPausingAboveTheHighMark)
{
    const std::string content = Pattern(300000);
    CScriptedSource source(content, 8192, 8192, 32768, 65536);
    source.StartFeedThread();
    // Let the feeder run ahead until it pauses itself, then drain.
    ASSERT_TRUE(testsupport::Signalled(source.paused, "the source's paused event"));
    DWORD dwMaxHeld = 0;
    EXPECT_TRUE(DrainSource(source, dwMaxHeld) == content);
    EXPECT_TRUE(source.IsFeedFinished());
    EXPECT_EQ(source.nReports.load(), 0);
    // Each chunk that crosses the mark is the last before the pause.
    EXPECT_LE(dwMaxHeld, 32768u + 8192u);
    EXPECT_GT(source.nPauses.load(), 1);
}

TEST(CacheDownloader, AReaderThatEmptiesThePipeNeverWaitsOnAFeederThatPausedMeanwhile)
{
    // On a clock that never moves, a reader left waiting on an empty pipe while the feeder
    // sits paused would wait for ever: the handshake itself must never leave them so.
    platform::ManualClock clock;
    const std::string content = Pattern(4 * 1024 * 1024);
    CScriptedSource source(content, 4096, 4096, 8192, 16384);
    source.StartFeedThread();
    std::string bytes;
    DWORD dwMaxHeld = 0;
    CCall([&] { bytes = DrainSource(source, dwMaxHeld); }).ExpectDone("the drain");
    EXPECT_TRUE(bytes == content);
    EXPECT_GT(source.nPauses.load(), 100);
}

TEST(CacheDownloader, AnEmptyFeedFinishesAndTheReaderSeesTheEnd)
{
    CScriptedSource source("", 8192, 100, 500, 4096);
    source.StartFeedThread();
    DWORD dwMaxHeld = 0;
    EXPECT_EQ(DrainSource(source, dwMaxHeld), "");
    EXPECT_TRUE(source.IsFeedFinished());
    EXPECT_TRUE(source.IsReady());
    EXPECT_EQ(source.nFeedCalls.load(), 1);
}

TEST(CacheDownloader, AReaderOfAnEmptyPipeWaitsItsLimitOnTheClockThenResumes)
{
    platform::ManualClock clock;
    CScriptedSource source(Pattern(10000), 8192, 100, 500, 4096);
    source.holdAt = 0;
    source.StartFeedThread();
    ASSERT_TRUE(WaitUntil([&] { return source.held.IsSet(); }));
    source.Pause(); // as if the feeder had paused itself

    DWORD dwResult = 1234;
    {
        CCall reader([&] { dwResult = ReadOnce(source); });
        ASSERT_TRUE(clock.WaitForTimedWaiters(1)) << "the reader never waited";
        EXPECT_FALSE(source.IsPaused()) << "the reader resumes the feeder before it waits";
        clock.Advance(mcCacheDownloader::kEmptyPipeWaitMs - 1);
        EXPECT_FALSE(reader.IsDone());
        clock.Advance(1);
        reader.ExpectDone("the wait at its limit");
    }
    EXPECT_EQ(dwResult, 0u);

    // Bytes end the wait without the clock moving.
    dwResult = 1234;
    {
        CCall reader([&] { dwResult = ReadOnce(source); });
        ASSERT_TRUE(clock.WaitForTimedWaiters(1));
        source.release.Set();
        reader.ExpectDone("the wait that bytes end");
    }
    EXPECT_EQ(dwResult, 0u);
}

TEST(CacheDownloader, TheEndOfTheFeedEndsTheReadersWait)
{
    platform::ManualClock clock;
    CScriptedSource source("", 8192, 100, 500, 4096);
    source.holdAt = 0;
    source.StartFeedThread();
    ASSERT_TRUE(WaitUntil([&] { return source.held.IsSet(); }));
    {
        CCall reader([&] { ReadOnce(source); });
        ASSERT_TRUE(clock.WaitForTimedWaiters(1));
        source.release.Set(); // the feed brings nothing more and ends
        reader.ExpectDone("the wait that the feed's end ends");
    }
    EXPECT_EQ(ReadOnce(source), 0u);
    EXPECT_TRUE(source.IsEndOfData());
}

TEST(CacheDownloader, AFailingFeedReportsOnceWithTheLastStatusAndNeverFinishes)
{
    CScriptedSource source(Pattern(50000), 8192, 100, 40000, 65536);
    source.failAt = 16384;
    source.StartFeedThread();
    ASSERT_TRUE(testsupport::Signalled(source.uninitialised, "the source's uninitialised event"));
    EXPECT_EQ(source.nReports.load(), 1);
    EXPECT_EQ(source.strReport, "scripted failure");
    EXPECT_EQ(source.dwReportedStatus, 200u);
    EXPECT_FALSE(source.IsFeedFinished());
    EXPECT_TRUE(source.IsReady());
    // The reader takes what came, told of the failure, and never sees an end of data.
    std::string bytes;
    BYTE bFailed = FALSE;
    char buffer[4096];
    DWORD dwRead = 0;
    do
    {
        DWORD dwSize = sizeof buffer;
        dwRead = source.ReadDataFromPipe(buffer, &dwSize, &bFailed);
        bytes.append(buffer, dwRead);
        EXPECT_TRUE(bFailed);
    } while (dwRead > 0);
    EXPECT_EQ(bytes.size(), 16384u);
    EXPECT_FALSE(source.IsEndOfData());
}

// A track whose source counts as ready is taken on: its refusal must be known before.
TEST(CacheDownloader, ARefusedStartIsReportedBeforeTheSourceCountsAsReady)
{
    CScriptedSource source(Pattern(1000), 8192, 100, 4000, 65536);
    source.bRefuseAtStart = true;
    source.StartFeedThread();
    ASSERT_TRUE(testsupport::Signalled(source.uninitialised, "the source's uninitialised event"));
    EXPECT_EQ(source.nReports.load(), 1);
    EXPECT_EQ(source.dwReportedStatus, 403u);
    EXPECT_FALSE(source.bReadyAtReport.load());
    EXPECT_TRUE(source.IsReady());
    EXPECT_TRUE(source.IsFailed());
}

TEST(CacheDownloader, AbortWakesAPausedFeederWhichFeedsNoMore)
{
    CScriptedSource source(Pattern(200000), 8192, 1000, 20000, 65536);
    source.StartFeedThread();
    ASSERT_TRUE(testsupport::Signalled(source.paused, "the source's paused event"));
    // The feeder goes on to its next chunk only once it is resumed.
    ASSERT_TRUE(WaitUntil([&] { return source.GetPipeHeldBytes() > 20000; }));
    const int nCalls = source.nFeedCalls.load();
    source.Abort();
    EXPECT_EQ(source.uninitialised.Wait(0), platform::WAIT_OBJECT_0) << "the feeder had not ended";
    EXPECT_EQ(source.nFeedCalls.load(), nCalls);
    EXPECT_FALSE(source.IsFeedFinished());
    EXPECT_TRUE(source.IsAborted());
    EXPECT_TRUE(source.IsConnected());
}

TEST(CacheDownloader, AbortReleasesAFeederBlockedOnAFullPipe)
{
    // A high mark above what the pipe holds: the feeder never pauses and blocks instead.
    CScriptedSource source(Pattern(500000), 4096, 1000, 1000000, 16384);
    source.nSignalAtCall = (4096 + 16384) / 4096 + 1;
    source.StartFeedThread();
    ASSERT_TRUE(testsupport::Signalled(source.calledEnough, "the source's calledEnough event"));
    ASSERT_TRUE(WaitUntil([&] { return source.GetPipeHeldBytes() == source.GetPipeCapacity(); }));
    source.Abort();
    EXPECT_EQ(source.uninitialised.Wait(0), platform::WAIT_OBJECT_0)
        << "Abort returned before the blocked feeder ended";
    EXPECT_EQ(source.GetPipeHeldBytes(), 0u);
}

TEST(CacheDownloader, AbortEndsTheWaitOfAReaderOnTheEmptyPipe)
{
    platform::ManualClock clock; // the reader's limit never passes on its own
    CScriptedSource source(Pattern(1000), 8192, 100, 500, 4096);
    source.holdAt = 0;
    source.StartFeedThread();
    ASSERT_TRUE(WaitUntil([&] { return source.held.IsSet(); }));
    {
        CCall reader([&] { ReadOnce(source); });
        ASSERT_TRUE(clock.WaitForTimedWaiters(1));
        source.Abort();
        reader.ExpectDone("the wait that the abort ends");
    }
    BYTE bFailed = TRUE;
    EXPECT_EQ(ReadOnce(source, &bFailed), 0u);
    EXPECT_FALSE(bFailed) << "an aborted source is not a failed one";
}
