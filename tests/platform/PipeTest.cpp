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
std::string Drain(PipeReadEnd& reader)
{
    std::string out;
    char buf[7];
    DWORD got = 0;
    while (reader.Read(buf, sizeof buf, &got))
        out.append(buf, got);
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

TEST(PipeTest, CarriesBytesInOrderAcrossTheRingEdge)
{
    auto [reader, writer] = CreatePipe(10);
    std::string expected;
    for (int i = 0; i < 5000; ++i)
        expected += static_cast<char>('a' + i % 26);
    auto source = std::make_shared<std::string>(expected);
    auto w = std::make_shared<PipeWriteEnd>(std::move(writer));
    Thread producer(
        [source, w]
        {
            DWORD written = 0;
            // Uneven chunk sizes wrap the 10-byte ring at every possible offset.
            for (std::size_t at = 0, n = 1; at < source->size(); at += n, n = n % 13 + 1)
            {
                n = std::min(n, source->size() - at);
                if (!w->Write(source->data() + at, static_cast<DWORD>(n), &written))
                    return DWORD{1};
            }
            w->Close();
            return DWORD{0};
        });
    EXPECT_EQ(testsupport::Within("the producer's bytes", [&r = reader] { return Drain(r); }),
              expected);
    ASSERT_TRUE(Ended(producer, "the producer to end"));
    EXPECT_EQ(producer.ExitCode(), 0u);
}

// A large pipe whose reader keeps up costs only the pages its bytes pass through: the
// writes do not walk through the whole buffer touching page after page.
TEST(PipeTest, AReaderThatKeepsUpKeepsTheBytesInTheFirstPages)
{
    constexpr DWORD kSize = 16 * 1024 * 1024;
    auto [reader, writer] = CreatePipe(kSize);
    std::string chunk(8192, 'x');
    const auto faults = []
    {
        rusage usage{};
        ::getrusage(RUSAGE_THREAD, &usage);
        return usage.ru_minflt;
    };
    const long nBefore = faults();
    for (DWORD nPassed = 0; nPassed < kSize; nPassed += 8192)
    {
        DWORD n = 0;
        ASSERT_TRUE(writer.Write(chunk.data(), 8192, &n));
        ASSERT_TRUE(reader.Read(chunk.data(), 8192, &n));
        ASSERT_EQ(n, 8192u);
    }
    // Passing through the whole buffer would touch its 4096 pages (a sanitizer's shadow
    // memory adds its own faults to the few pages used).
    EXPECT_LT(faults() - nBefore, 512);
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

TEST(PipeTest, ReaderWaitsWhileEmptyAndEndsWhenTheWriterCloses)
{
    auto [reader, writer] = CreatePipe(64);
    auto r = std::make_shared<PipeReadEnd>(std::move(reader));
    auto w = std::make_shared<PipeWriteEnd>(std::move(writer));
    auto first = std::make_shared<std::string>();
    auto gotFirst = std::make_shared<Event>(true, false);
    auto sawEnd = std::make_shared<std::atomic<bool>>(false);
    Thread readerThread(
        [=]
        {
            char buf[64];
            DWORD got = 0;
            if (r->Read(buf, sizeof buf, &got))
                first->assign(buf, got);
            gotFirst->Set();
            sawEnd->store(!r->Read(buf, sizeof buf, &got) && got == 0);
            return DWORD{0};
        });
    EXPECT_EQ(readerThread.Wait(0), WAIT_TIMEOUT);
    DWORD n = 0;
    ASSERT_TRUE(w->Write("hello", 5, &n));
    ASSERT_TRUE(testsupport::Signalled(*gotFirst, "the reader's first read"));
    // A read returns what is there, not the full count.
    EXPECT_EQ(*first, "hello");
    w->Close();
    ASSERT_TRUE(Ended(readerThread, "the reader to see the end"));
    EXPECT_TRUE(sawEnd->load());
}

TEST(PipeTest, PeekShowsHeldBytesWithoutRemovingThem)
{
    auto [reader, writer] = CreatePipe(8);
    DWORD n = 0;
    ASSERT_TRUE(writer.Write("abcdef", 6, &n));
    char buf[4] = {};
    DWORD got = 0;
    DWORD avail = 0;
    ASSERT_TRUE(reader.Peek(buf, 3, &got, &avail));
    EXPECT_EQ(std::string(buf, got), "abc");
    EXPECT_EQ(avail, 6u);
    ASSERT_TRUE(reader.Read(buf, 4, &got));
    EXPECT_EQ(std::string(buf, got), "abcd");
    ASSERT_TRUE(reader.Peek(nullptr, 0, nullptr, &avail));
    EXPECT_EQ(avail, 2u);
    EXPECT_TRUE(reader);
    reader.Close();
    EXPECT_FALSE(reader);
    EXPECT_FALSE(reader.Peek(nullptr, 0, nullptr, &avail));
    PipeReadEnd empty;
    EXPECT_FALSE(empty);
    EXPECT_FALSE(empty.Read(buf, 1, &got));
}

TEST(PipeTest, ReadAvailableNeverWaitsAndTellsTheEndApart)
{
    auto [reader, writer] = CreatePipe(8);
    char buf[8] = {};
    DWORD got = 7;
    // Empty with the writer there: nothing, at once.
    ASSERT_TRUE(reader.ReadAvailable(buf, sizeof buf, &got));
    EXPECT_EQ(got, 0u);
    DWORD n = 0;
    ASSERT_TRUE(writer.Write("abcde", 5, &n));
    ASSERT_TRUE(reader.ReadAvailable(buf, 3, &got));
    EXPECT_EQ(std::string(buf, got), "abc");
    writer.Close();
    // What is left after the writer has gone, then the end.
    ASSERT_TRUE(reader.ReadAvailable(buf, sizeof buf, &got));
    EXPECT_EQ(std::string(buf, got), "de");
    EXPECT_FALSE(reader.ReadAvailable(buf, sizeof buf, &got));
    EXPECT_EQ(got, 0u);
}

// (Its limit on the platform clock: ManualClockTest.AdvanceEndsExactlyTheWaitsWhoseLimitItPasses.)
TEST(PipeTest, WaitReadableEndsOnBytesOrOnEitherClose)
{
    ManualClock clock;
    auto [reader, writer] = CreatePipe(8);
    auto r = std::make_shared<PipeReadEnd>(std::move(reader));
    auto w = std::make_shared<PipeWriteEnd>(std::move(writer));
    const auto waitOnThread = [r](std::shared_ptr<std::atomic<DWORD>> result)
    {
        return Thread(
            [r, result]
            {
                result->store(r->WaitReadable(250));
                return DWORD{0};
            });
    };

    // Bytes, without the clock moving.
    auto result = std::make_shared<std::atomic<DWORD>>(0);
    Thread bytes = waitOnThread(result);
    ASSERT_TRUE(clock.WaitForTimedWaiters(1));
    DWORD n = 0;
    ASSERT_TRUE(w->Write("x", 1, &n));
    ASSERT_TRUE(Ended(bytes, "a wait meeting bytes"));
    EXPECT_EQ(result->load(), WAIT_OBJECT_0);
    char buf[1];
    ASSERT_TRUE(r->Read(buf, 1, &n));

    // The writer's close.
    Thread closed = waitOnThread(result);
    ASSERT_TRUE(clock.WaitForTimedWaiters(1));
    w->Close();
    ASSERT_TRUE(Ended(closed, "a wait meeting the writer's close"));
    EXPECT_EQ(result->load(), WAIT_OBJECT_0);

    // The reader's own close, from another thread.
    auto [reader2, writer2] = CreatePipe(8);
    auto r2 = std::make_shared<PipeReadEnd>(std::move(reader2));
    auto result2 = std::make_shared<std::atomic<DWORD>>(0);
    Thread own(
        [r2, result2]
        {
            result2->store(r2->WaitReadable(250));
            return DWORD{0};
        });
    ASSERT_TRUE(clock.WaitForTimedWaiters(1));
    r2->Close();
    ASSERT_TRUE(Ended(own, "a wait meeting its own end's close"));
    EXPECT_EQ(result2->load(), WAIT_OBJECT_0);
}
