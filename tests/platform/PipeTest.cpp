// The in-process pipe with real reader and writer threads.
#include "platform/Pipe.h"

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "support/Wait.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <thread>

using namespace platform;
using testsupport::Ended;

namespace
{
std::string Drain(PipeReadEnd& reader, std::size_t nReadSize = 7)
{
    std::string out;
    std::string buf(nReadSize, '\0');
    DWORD got = 0;
    while (reader.Read(buf.data(), static_cast<DWORD>(buf.size()), &got))
        out.append(buf.data(), got);
    return out;
}

// Waits until the pipe holds n bytes, that is until a writer thread has filled it. The
// pipe tells nobody when bytes come in, so this looks again after each yield; the writer
// is already running, so in a passing test that takes microseconds.
::testing::AssertionResult Holds(const PipeReadEnd& reader, DWORD n)
{
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(testsupport::kWaitLimitMs);
    DWORD avail = 0;
    while (reader.Peek(nullptr, 0, nullptr, &avail) && avail < n)
    {
        if (std::chrono::steady_clock::now() >= deadline)
            return ::testing::AssertionFailure() << "timed out waiting for the writer to put " << n
                                                 << " bytes in the pipe; " << avail << " came";
        std::this_thread::yield();
    }
    return ::testing::AssertionSuccess();
}
} // namespace

TEST(PipeTest, CarriesBytesInOrderAcrossItsStorageEdges)
{
    struct Case
    {
        DWORD dwSize;
        std::size_t nTotal, nMaxWrite, nReadSize;
    };
    // Uneven write sizes put the storage's edges at every possible offset: a pipe smaller
    // than one block of storage, and one of several blocks read in pieces that cross them.
    for (const Case c : {Case{10, 5000, 13, 7}, Case{200000, 1500000, 70001, 50000}})
    {
        SCOPED_TRACE(c.dwSize);
        auto [reader, writer] = CreatePipe(c.dwSize);
        std::string expected;
        for (std::size_t i = 0; i < c.nTotal; ++i)
            expected += static_cast<char>('a' + i % 26 + i / 26 % 7);
        auto source = std::make_shared<std::string>(expected);
        auto w = std::make_shared<PipeWriteEnd>(std::move(writer));
        Thread producer(
            [source, w, c]
            {
                DWORD written = 0;
                for (std::size_t at = 0, n = 1; at < source->size();
                     at += n, n = n % c.nMaxWrite + 1 + n / 3)
                {
                    n = std::min(n, source->size() - at);
                    if (!w->Write(source->data() + at, static_cast<DWORD>(n), &written))
                        return DWORD{1};
                }
                w->Close();
                return DWORD{0};
            });
        EXPECT_EQ(testsupport::Within("the producer's bytes",
                                      [&r = reader, c] { return Drain(r, c.nReadSize); }),
                  expected);
        ASSERT_TRUE(Ended(producer, "the producer to end"));
        EXPECT_EQ(producer.ExitCode(), 0u);
    }
}

// A large pipe costs only the pages of the bytes it holds: bytes passing through do not
// walk through the whole capacity touching page after page, whether its reader keeps up
// or lags behind by a track's worth of seconds.
TEST(PipeTest, TouchesOnlyThePagesOfTheBytesItHolds)
{
    constexpr DWORD kSize = 16 * 1024 * 1024;
    constexpr DWORD kStep = 8192;
    for (const DWORD dwHeld : {0u, 512u * 1024})
    {
        SCOPED_TRACE(dwHeld);
        auto [reader, writer] = CreatePipe(kSize);
        std::string chunk(dwHeld + kStep, 'x');
        const auto faults = []
        {
            rusage usage{};
            ::getrusage(RUSAGE_THREAD, &usage);
            return usage.ru_minflt;
        };
        DWORD n = 0;
        ASSERT_TRUE(writer.Write(chunk.data(), dwHeld, &n));
        const long nBefore = faults();
        for (DWORD nPassed = 0; nPassed < kSize / 2; nPassed += kStep)
        {
            ASSERT_TRUE(writer.Write(chunk.data(), kStep, &n));
            ASSERT_TRUE(reader.Read(chunk.data(), kStep, &n));
            ASSERT_EQ(n, kStep);
        }
        // Passing through half the capacity would touch 2048 pages (a sanitizer's shadow
        // memory adds its own faults to the few pages used).
        EXPECT_LT(faults() - nBefore, 512);
    }
}

// A track's bytes pass through pipes on threads that come and go with the track, several
// at a time: a pipe on a new thread takes the memory an earlier pipe let go of instead of
// faulting in pages of its own, even while the earlier pipe's thread still runs.
TEST(PipeTest, APipeOnANewThreadReusesTheMemoryOfAnEarlierOne)
{
    constexpr DWORD kSize = 1024 * 1024;
    // The pages faulted in on the calling thread to fill and drop a full pipe.
    const auto fill = []
    {
        rusage before{}, after{};
        ::getrusage(RUSAGE_THREAD, &before);
        {
            auto [reader, writer] = CreatePipe(kSize);
            const std::string chunk(8192, 'x');
            DWORD n = 0;
            for (DWORD nIn = 0; nIn < kSize; nIn += n)
                if (!writer.Write(chunk.data(), static_cast<DWORD>(chunk.size()), &n))
                    return DWORD{100000};
        }
        ::getrusage(RUSAGE_THREAD, &after);
        return static_cast<DWORD>(after.ru_minflt - before.ru_minflt);
    };
    auto done = std::make_shared<Event>(true, false);
    auto firstFaults = std::make_shared<std::atomic<DWORD>>(0);
    auto filled = std::make_shared<Event>(true, false);
    Thread first(
        [fill, done, filled, firstFaults]
        {
            firstFaults->store(fill());
            filled->Set();
            // Held until the second pipe is done; a test that fails first lets it go
            // at the limit.
            return done->WaitRealTime(testsupport::kWaitLimitMs) == WAIT_OBJECT_0 ? DWORD{0}
                                                                                  : DWORD{1};
        });
    ASSERT_EQ(filled->WaitRealTime(testsupport::kWaitLimitMs), WAIT_OBJECT_0)
        << "the first pipe was never filled";
    Thread second(fill);
    const bool bSecondEnded = Ended(second, "the second pipe's thread to end");
    done->Set();
    ASSERT_TRUE(bSecondEnded);
    ASSERT_TRUE(Ended(first, "the first pipe's thread to end"));
    EXPECT_EQ(first.ExitCode(), 0u) << "the first pipe's thread was never let go";
    // Fresh memory for a full pipe is 256 pages; a sanitizer's own memory for the new
    // thread and its shadow add some tens to the few of a reused one.
    EXPECT_LT(second.ExitCode(), 128u) << "the first pipe faulted in " << firstFaults->load();
}

TEST(PipeTest, WriterBlockedOnFullPipeIsReleasedByReadAndByClose)
{
    auto [reader, writer] = CreatePipe(4);
    auto w = std::make_shared<PipeWriteEnd>(std::move(writer));
    auto written = std::make_shared<std::atomic<DWORD>>(0);
    auto result = std::make_shared<std::atomic<BOOL>>(-1);
    Thread blocked(
        [=]
        {
            DWORD n = 0;
            result->store(w->Write("0123456789ABCD", 14, &n));
            written->store(n);
            return DWORD{0};
        });

    // The writer fills the pipe and waits; a read of 4 frees room for the next 4.
    auto read4 = [&r = reader]
    {
        char buf[4];
        DWORD got = 0;
        return testsupport::Within("4 bytes from the writer", [&] { return r.Read(buf, 4, &got); })
                   ? std::string(buf, got)
                   : std::string("<failed>");
    };
    EXPECT_EQ(read4(), "0123");
    EXPECT_EQ(blocked.Wait(0), WAIT_TIMEOUT);
    EXPECT_EQ(read4(), "4567");

    // The writer refills the pipe and waits for room for its last 2 bytes; closing the
    // read end then releases it with those unwritten.
    EXPECT_TRUE(Holds(reader, 4));
    reader.Close();
    ASSERT_TRUE(Ended(blocked, "the writer to be released by the closed read end"));
    EXPECT_FALSE(result->load());
    EXPECT_EQ(written->load(), 12u); // 8 read + 4 buffered when the reader left
    // Writing to a pipe whose reader is gone fails at once.
    DWORD n = 0;
    EXPECT_FALSE(w->Write("x", 1, &n));
    EXPECT_EQ(n, 0u);
}

TEST(PipeTest, WriterClosingItsOwnEndFromAnotherThreadIsReleased)
{
    auto [reader, writer] = CreatePipe(2);
    auto w = std::make_shared<PipeWriteEnd>(std::move(writer));
    auto result = std::make_shared<std::atomic<BOOL>>(-1);
    Thread blocked(
        [=]
        {
            DWORD n = 0;
            result->store(w->Write("abcdef", 6, &n));
            return DWORD{0};
        });
    EXPECT_TRUE(Holds(reader, 2));
    w->Close();
    ASSERT_TRUE(Ended(blocked, "the writer to be released by closing its own end"));
    EXPECT_FALSE(result->load());
    // What went in before the close is still delivered, then the pipe reports its end.
    EXPECT_EQ(testsupport::Within("the pipe's end", [&r = reader] { return Drain(r); }), "ab");
}

// Peek shows what the pipe holds without taking it; ReadAvailable never waits, telling
// "nothing yet" (true, 0 bytes) from the end (false) once the writer has gone.
TEST(PipeTest, PeekAndReadAvailableNeverWait)
{
    auto [reader, writer] = CreatePipe(8);
    char buf[8] = {};
    DWORD got = 7;
    DWORD avail = 0;
    ASSERT_TRUE(reader.ReadAvailable(buf, sizeof buf, &got));
    EXPECT_EQ(got, 0u);
    DWORD n = 0;
    ASSERT_TRUE(writer.Write("abcdef", 6, &n));
    ASSERT_TRUE(reader.Peek(buf, 3, &got, &avail));
    EXPECT_EQ(std::string(buf, got), "abc");
    EXPECT_EQ(avail, 6u);
    ASSERT_TRUE(reader.ReadAvailable(buf, 4, &got));
    EXPECT_EQ(std::string(buf, got), "abcd");
    ASSERT_TRUE(reader.Peek(nullptr, 0, nullptr, &avail));
    EXPECT_EQ(avail, 2u);
    writer.Close();
    // What is left after the writer has gone, then the end.
    ASSERT_TRUE(reader.ReadAvailable(buf, sizeof buf, &got));
    EXPECT_EQ(std::string(buf, got), "ef");
    EXPECT_FALSE(reader.ReadAvailable(buf, sizeof buf, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(reader.Read(buf, sizeof buf, &got));
    EXPECT_TRUE(reader);
    reader.Close();
    EXPECT_FALSE(reader);
    EXPECT_FALSE(reader.Peek(nullptr, 0, nullptr, &avail));
    PipeReadEnd empty;
    EXPECT_FALSE(empty);
    EXPECT_FALSE(empty.Read(buf, 1, &got));
}

// A wait for bytes ends on bytes or on either end's close, without the clock moving.
// (Its limit on the platform clock: ManualClockTest.AdvanceEndsExactlyTheWaitsWhoseLimitItPasses.)
TEST(PipeTest, WaitReadableEndsOnBytesOrOnEitherClose)
{
    struct SRow
    {
        const char* name;
        void (*act)(PipeReadEnd& reader, PipeWriteEnd& writer);
    };
    const SRow rows[] = {
        {"bytes",
         [](PipeReadEnd&, PipeWriteEnd& writer)
         {
             DWORD n = 0;
             ASSERT_TRUE(writer.Write("x", 1, &n));
         }},
        {"the writer's close", [](PipeReadEnd&, PipeWriteEnd& writer) { writer.Close(); }},
        {"the reader's own close, from another thread",
         [](PipeReadEnd& reader, PipeWriteEnd&) { reader.Close(); }},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        ManualClock clock;
        auto pipe = std::make_shared<std::pair<PipeReadEnd, PipeWriteEnd>>(CreatePipe(8));
        Thread waiter([pipe] { return pipe->first.WaitReadable(250); });
        ASSERT_TRUE(clock.WaitForTimedWaiters(1));
        row.act(pipe->first, pipe->second);
        ASSERT_TRUE(Ended(waiter, "the wait to end"));
        EXPECT_EQ(waiter.ExitCode(), WAIT_OBJECT_0);
    }
}
