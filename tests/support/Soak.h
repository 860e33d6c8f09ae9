// What the soak runs share: their counts and seeds, both printed and both settable from
// the environment (OVR_SOAK_COUNT lowers a count while iterating, OVR_SOAK_SEED replays a
// run that failed), and the process's thread count and resident set, which other tests
// look at too. The runs take minutes, so they run only when OVR_SOAK is set (`make
// test-soak` sets it): a plain ctest run of a build folder skips them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>

// Skips the test unless the soak runs were asked for.
#define OVR_SOAK_ONLY()                                                                            \
    if (std::getenv("OVR_SOAK") == nullptr)                                                        \
    GTEST_SKIP() << "a soak run: set OVR_SOAK=1 (make test-soak does)"

namespace soak
{
// The run's count: OVR_SOAK_COUNT when set, else the given default.
inline int Count(const char* pszRun, int nDefault)
{
    int nCount = nDefault;
    if (const char* pszValue = std::getenv("OVR_SOAK_COUNT"))
        nCount = std::max(1, std::atoi(pszValue));
    std::printf("[ soak     ] %s: count %d\n", pszRun, nCount);
    return nCount;
}

// The run's seed: OVR_SOAK_SEED when set, else a fresh one; printed for a replay.
inline uint32_t Seed(const char* pszRun)
{
    uint32_t seed = std::random_device{}();
    if (const char* pszValue = std::getenv("OVR_SOAK_SEED"))
        seed = static_cast<uint32_t>(std::strtoul(pszValue, nullptr, 10));
    std::printf("[ soak     ] %s: seed %u (replay with OVR_SOAK_SEED=%u)\n", pszRun, seed, seed);
    std::fflush(stdout);
    return seed;
}

// A number from lo to hi, both included.
inline uint64_t Between(std::mt19937_64& random, uint64_t lo, uint64_t hi)
{
    return std::uniform_int_distribution<uint64_t>(lo, hi)(random);
}

// The threads of this process, as /proc/self/task lists them.
inline int ThreadCount()
{
    std::error_code error;
    const std::filesystem::directory_iterator tasks("/proc/self/task", error);
    return static_cast<int>(std::distance(tasks, std::filesystem::directory_iterator()));
}

// The process's resident set in bytes (VmRSS of /proc/self/status); 0 when unknown.
inline uint64_t ResidentBytes()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
    return 0;
}
} // namespace soak
