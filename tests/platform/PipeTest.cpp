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
