// The content source base with a scripted feed, for what only a unit test reaches: the
// pipe's size, the reader's bounded wait on an empty pipe under a manual clock, the order
// of a refusal's report and the source's readiness, and an abort of a feeder blocked on
// a full pipe, with the feeder really running.
#include "download/CacheDownloader.h"

#include "DownloadTestSupport.h"
#include "host/WorkerError.h"
#include "platform/Clock.h"
#include "platform/Event.h"
#include "support/TraceCapture.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <utility>

using downloadtest::CCall;
using downloadtest::kLimitMs;
using downloadtest::WaitUntil;

namespace
{
// Feeds a string chunk by chunk. It can hold the feed at its start until released (or
// aborted) or refuse at the start, and it records its report.
class CScriptedSource : public mcCacheDownloader
{
public:
    CScriptedSource(std::string content, DWORD dwChunk, DWORD dwLow, DWORD dwHigh, DWORD dwPipe)
        : mcCacheDownloader(nullptr, dwChunk, dwLow, dwHigh, dwPipe), m_content(std::move(content))
    {
    }
    ~CScriptedSource() override { StopFeeder(); }

    bool bHoldAtStart = false;
    // The server refuses the request before any data: InitFeedData fails with 403.
    bool bRefuseAtStart = false;
    std::atomic<bool> bReadyAtReport{false};
    platform::Event held{true, false};
    platform::Event release{true, false};
    platform::Event uninitialised{true, false};
    std::atomic<int> nFeedCalls{0};
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
        ++nFeedCalls;
        if (std::exchange(bHoldAtStart, false))
        {
            held.Set();
            release.WaitRealTime(kLimitMs);
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
} // namespace

TEST(CacheDownloader, CutsTheChunkToThePipeAndRefusesAPipeBeyondThirtyTwoBits)
{
    CScriptedSource small("", 8192, 100, 500, 1000);
    EXPECT_EQ(small.GetChunkSize(), 1000u);
    EXPECT_EQ(small.GetPipeCapacity(), 2000u);
    // A sum past 32 bits is refused before anything is allocated, not wrapped to a small pipe.
    EXPECT_THROW(CScriptedSource("", 8192, 100, 500, 0xFFFFF000u), CWorkerError);
}

// A reader that finds the pipe empty resumes a paused feeder and waits on the platform
// clock; each row ends that wait another way.
TEST(CacheDownloader, AReaderOfAnEmptyPipeWaitsUntilBytesTheEndAnAbortOrItsLimit)
{
    enum EEnd
    {
        eLimit,
        eBytes,
        eFeedEnds,
        eAbort
    };
    const std::pair<const char*, EEnd> rows[] = {
        {"TheLimitOnTheClock", eLimit},
        {"BytesArrive", eBytes},
        {"TheFeedEnds", eFeedEnds},
        {"AnAbort", eAbort},
    };
    for (const auto& [name, end] : rows)
    {
        SCOPED_TRACE(name);
        platform::ManualClock clock;
        testsupport::TraceCapture trace;
        CScriptedSource source(end == eFeedEnds ? "" : Pattern(10000), 8192, 100, 500, 4096);
        source.bHoldAtStart = true;
        source.StartFeedThread();
        ASSERT_TRUE(WaitUntil([&] { return source.held.IsSet(); }));
        source.Pause(); // as if the feeder had paused itself
        DWORD dwResult = 1234;
        {
            CCall reader([&] { dwResult = ReadOnce(source); });
            ASSERT_TRUE(clock.WaitForTimedWaiters(1)) << "the reader never waited";
            EXPECT_FALSE(source.IsPaused()) << "the reader resumes the feeder before it waits";
            if (end == eLimit)
            {
                clock.Advance(mcCacheDownloader::kEmptyPipeWaitMs - 1);
                EXPECT_FALSE(reader.IsDone());
                clock.Advance(1);
            }
            else if (end == eAbort)
                source.Abort();
            else
                source.release.Set();
            reader.ExpectDone("the reader's wait");
        }
        EXPECT_EQ(dwResult, 0u);
        if (end == eFeedEnds)
        {
            EXPECT_EQ(ReadOnce(source), 0u);
            EXPECT_TRUE(source.IsEndOfData());
            EXPECT_TRUE(source.IsFeedFinished());
            // The feeder's closing trace counts the bytes it fed: none.
            EXPECT_TRUE(trace.HasLineContaining("Bytes Downloaded by Object"));
            EXPECT_TRUE(trace.HasLineContaining(" is 0, for"));
        }
        if (end == eAbort)
        {
            BYTE bFailed = TRUE;
            EXPECT_EQ(ReadOnce(source, &bFailed), 0u);
            EXPECT_FALSE(bFailed) << "an aborted source is not a failed one";
            EXPECT_FALSE(source.IsFeedFinished());
        }
    }
}

// A refusal is reported once with its status, before the source counts as ready (a track
// whose source is ready is taken on); the reader is told of the failure and never sees an
// end of data. A failure after some bytes is met in the integration tests.
TEST(CacheDownloader, ARefusedStartIsReportedBeforeTheSourceCountsAsReady)
{
    CScriptedSource source(Pattern(1000), 8192, 100, 4000, 65536);
    source.bRefuseAtStart = true;
    source.StartFeedThread();
    ASSERT_TRUE(testsupport::Signalled(source.uninitialised, "the source's uninitialised event"));
    EXPECT_EQ(source.nReports.load(), 1);
    EXPECT_EQ(source.strReport, "scripted refusal");
    EXPECT_EQ(source.dwReportedStatus, 403u);
    EXPECT_FALSE(source.bReadyAtReport.load());
    EXPECT_TRUE(source.IsReady());
    EXPECT_TRUE(source.IsFailed());
    EXPECT_FALSE(source.IsFeedFinished());
    BYTE bFailed = FALSE;
    EXPECT_EQ(ReadOnce(source, &bFailed), 0u);
    EXPECT_TRUE(bFailed);
    EXPECT_FALSE(source.IsEndOfData());
}

TEST(CacheDownloader, AbortReleasesAFeederBlockedOnAFullPipe)
{
    // A high mark above what the pipe holds: the feeder never pauses and blocks instead,
    // in the write of its sixth chunk.
    CScriptedSource source(Pattern(500000), 4096, 1000, 1000000, 16384);
    source.StartFeedThread();
    ASSERT_TRUE(WaitUntil(
        [&]
        {
            return source.nFeedCalls.load() == (4096 + 16384) / 4096 + 1 &&
                   source.GetPipeHeldBytes() == source.GetPipeCapacity();
        }));
    source.Abort();
    EXPECT_EQ(source.uninitialised.Wait(0), platform::WAIT_OBJECT_0)
        << "Abort returned before the blocked feeder ended";
    EXPECT_EQ(source.GetPipeHeldBytes(), 0u);
    EXPECT_FALSE(source.IsFeedFinished());
    EXPECT_TRUE(source.IsAborted());
}
