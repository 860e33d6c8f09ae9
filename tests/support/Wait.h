// The limits of the tests' waits. Every wait in a test has one: generous, so that a slow
// or busy machine never trips it, and finite, so that a regression shows as a failure
// naming what did not happen rather than as ctest's time-out minutes later. The limits
// are real time: a manual clock that stands still does not stop them.
#pragma once

#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/Types.h"

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <sys/types.h>
#include <thread>
#include <type_traits>
#include <vector>

namespace testsupport
{
inline constexpr DWORD kWaitLimitMs = 30000;

// Where a helper was called from, for its failure message: helpers take it as a last
// argument defaulted to {__builtin_FILE(), __builtin_LINE()}, which the compiler fills in
// at the call (std::source_location is not there with clang 14 and libstdc++).
struct SCallSite
{
    const char* pszFile;
    int nLine;
};

// The event is signalled within the limit (an auto-reset event's signal is consumed).
// Use as ASSERT_TRUE(Signalled(event, "the first request")).
::testing::AssertionResult Signalled(platform::Event& event, const std::string& what,
                                     DWORD dwLimitMs = kWaitLimitMs);
// The thread has ended within the limit.
::testing::AssertionResult Ended(const platform::Thread& thread, const std::string& what,
                                 DWORD dwLimitMs = kWaitLimitMs);

// The child process has ended within the limit; its waitpid status in status (reaped).
::testing::AssertionResult Exited(pid_t pid, int& status, const std::string& what,
                                  DWORD dwLimitMs = kWaitLimitMs);
// One line (without its line feed) has come from the stream within the limit. `pending`
// keeps what was read beyond the line for the next call. A stream that ends first gives
// what it had, as the last line (empty at the very end).
::testing::AssertionResult LineFrom(int fd, std::string& pending, std::string& line,
                                    const std::string& what, DWORD dwLimitMs = kWaitLimitMs);

// Reports that `what` did not happen within the limit, at the caller's place, and ends
// the test process: a step that still runs uses the test's objects, so the test cannot
// go on and must not hang.
[[noreturn]] void FailAndEnd(const std::string& what, DWORD dwLimitMs, const SCallSite& where);

// Runs a blocking step of the test (a join, a future's get, a call that waits without a
// limit of its own) on a helper thread and waits up to the limit for it to return; gives
// what it returned. When the limit passes first, FailAndEnd.
template <typename Step>
std::invoke_result_t<Step&> Within(const std::string& what, Step&& step,
                                   DWORD dwLimitMs = kWaitLimitMs,
                                   SCallSite where = {__builtin_FILE(), __builtin_LINE()})
{
    using Result = std::invoke_result_t<Step&>;
    std::packaged_task<Result()> task([&step]() -> Result { return step(); });
    std::future<Result> result = task.get_future();
    std::thread runner(std::move(task));
    if (result.wait_for(std::chrono::milliseconds(dwLimitMs)) != std::future_status::ready)
    {
        runner.detach();
        FailAndEnd(what, dwLimitMs, where);
    }
    runner.join();
    return result.get();
}

// Runs body(0) to body(nThreads - 1) on threads of their own at once and joins them all
// within the limit (else FailAndEnd, naming `what`).
template <typename Body>
void OnThreads(int nThreads, const std::string& what, Body&& body,
               SCallSite where = {__builtin_FILE(), __builtin_LINE()})
{
    std::vector<std::thread> threads;
    for (int t = 0; t < nThreads; ++t)
        threads.emplace_back([&body, t] { body(t); });
    Within(
        what,
        [&]
        {
            for (std::thread& thread : threads)
                thread.join();
        },
        kWaitLimitMs, where);
}
} // namespace testsupport
