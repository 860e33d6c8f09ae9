// A player for the stream manager tests: it records the status callback, answers a failed
// request for the next track as a player does (AckNotified(0), then waits for 7, 8 or 3),
// and plays tracks to their end through OpenStream, ReadStream and CloseStream. Every
// wait has a real-time limit and fails the test with what did not happen.
#pragma once

#include "download/DownloadTestSupport.h"
#include "engine/StreamManager.h"
#include "host/RadEngException.h"
#include "platform/Event.h"
#include "support/Soak.h"
#include "support/Wait.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace streamtest
{
inline constexpr DWORD kLimitMs = testsupport::kWaitLimitMs;

// The codes (and texts) the status callback received, in order.
class CStatusRecorder
{
public:
    StatusCallback Callback()
    {
        return [this](int nCode, const char* pszText) { Record(nCode, pszText); };
    }

    void Record(int nCode, const char* pszText)
    {
        std::lock_guard lock(m_mutex);
        m_calls.emplace_back(nCode, pszText ? std::string(pszText) : std::string("<null>"));
        m_changed.notify_all();
    }

    // Waits for a code among `codes` after the first `from` calls; the index of the call,
    // or nullopt after the limit.
    std::optional<std::size_t> WaitForCode(std::size_t from, const std::vector<int>& codes,
                                           DWORD dwLimitMs = kLimitMs)
    {
        std::unique_lock lock(m_mutex);
        std::optional<std::size_t> found;
        m_changed.wait_for(lock, std::chrono::milliseconds(dwLimitMs),
                           [&]
                           {
                               for (std::size_t i = from; i < m_calls.size(); ++i)
                                   for (int nCode : codes)
                                       if (m_calls[i].first == nCode)
                                       {
                                           found = i;
                                           return true;
                                       }
                               return false;
                           });
        return found;
    }

    std::vector<std::pair<int, std::string>> Calls() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls;
    }
    std::size_t Count() const
    {
        std::lock_guard lock(m_mutex);
        return m_calls.size();
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::pair<int, std::string>> m_calls;
};

// The code of the CRadEngException that the call raised; 0 when it raised none.
template <typename Call>
int CodeOf(Call&& call)
{
    try
    {
        call();
    }
    catch (const CRadEngException& e)
    {
        return e.code;
    }
    return 0;
}

// Plays the track handed out as a player that may be interrupted at any moment does: opens
// it, reads until its end, a failed read, 1000 reads or bStop, and closes it. Failures are
// part of the play, not of the test. Counts each read that brought bytes in both counters.
inline void PlayTrackLoosely(CStreamManager& mgr, DWORD nTrackID, const std::atomic<bool>& bStop,
                             std::atomic<int>& nReads, std::atomic<int>& nProgress)
{
    BYTE buffer[8192];
    SStreamFormat format;
    if (CodeOf([&] { mgr.OpenStream(nTrackID, format); }) == 0)
    {
        for (int i = 0; i < 1000 && !bStop; ++i)
        {
            DWORD dwCount = sizeof buffer;
            EReadStatus eStatus = RS_EOF;
            if (CodeOf([&] { eStatus = mgr.ReadStream(buffer, dwCount); }) != 0 ||
                eStatus == RS_EOF)
                break;
            ++nReads;
            ++nProgress;
        }
    }
    mgr.CloseStream();
}

// What RandomSessionCalls did and saw.
struct SSessionCallsRun
{
    int nChanges = 0, nRefreshes = 0, nEnds = 0, nStarts = 0;
    int nTracks = 0, nReads = 0;
    int nCalls = 0;     // callbacks
    int nLateCalls = 0; // callbacks while no session ran
};

// Starts a session on station "one" and makes nCount calls of ChangeStation,
// RefreshStation, EndSession and StartSession (to "one" or "two") at random moments while
// a player thread plays: after none, one or two steps of the player, then a jitter. Ends
// the session and the player thread; what it did and saw.
inline SSessionCallsRun RandomSessionCalls(CStreamManager& mgr, int nCount, std::mt19937_64& random)
{
    SSessionCallsRun run;
    std::atomic<bool> bEnded{true};
    std::atomic<int> nLateCalls{0};
    std::atomic<int> nCalls{0};
    CStatusRecorder status;
    StatusCallback callback = [&](int nCode, const char*)
    {
        ++nCalls;
        if (bEnded)
            ++nLateCalls;
        if (nCode == 7 || nCode == 8 || nCode == 3)
            status.Record(nCode, nullptr);
    };
    // Set while a session runs, and at the end: without a session the player waits (a few
    // milliseconds at most) for the next instead of asking again at once.
    platform::Event sessionOrStop{true, false};
    const auto setSession = [&](bool bRunning)
    {
        bEnded = !bRunning;
        bRunning ? sessionOrStop.Set() : sessionOrStop.Reset();
    };
    bEnded = false;
    EXPECT_TRUE(mgr.StartSession("one", "One", "afd", "caps", "::id=1", callback));
    setSession(true);

    std::atomic<bool> bStop{false};
    std::atomic<int> nReads{0};
    std::atomic<int> nTracks{0};
    // Tracks handed out, reads that brought bytes and requests refused: the moments.
    std::atomic<int> nProgress{0};
    std::thread playerThread(
        [&]
        {
            while (!bStop)
            {
                SPlayerTrackInfo info;
                const std::size_t nFrom = status.Count();
                const int nCode = CodeOf([&] { mgr.GetNextTrack(info); });
                ++nProgress;
                if (nCode == 11)
                {
                    // A session ended or started again owes no 7: after a short while the
                    // player asks again rather than wait for it.
                    mgr.AckNotified(0);
                    status.WaitForCode(nFrom, {3, 7, 8}, 10);
                    continue;
                }
                if (nCode != 0)
                {
                    sessionOrStop.WaitRealTime(5);
                    continue;
                }
                ++nTracks;
                PlayTrackLoosely(mgr, info.nTrackID, bStop, nReads, nProgress);
            }
        });

    const char* const stations[] = {"one", "two"};
    for (int i = 0; i < nCount; ++i)
    {
        const int nTarget = nProgress + static_cast<int>(soak::Between(random, 0, 2));
        if (!downloadtest::WaitUntil([&] { return nProgress >= nTarget; }))
            testsupport::FailAndEnd("the player to make progress before call " + std::to_string(i),
                                    kLimitMs, {__builtin_FILE(), __builtin_LINE()});
        std::this_thread::sleep_for(
            std::chrono::microseconds(soak::Between(random, 0, 2000))); // jitter only
        const char* pszStation = stations[soak::Between(random, 0, 1)];
        if (bEnded)
        {
            ++run.nStarts;
            bEnded = false;
            testsupport::Within(
                "StartSession " + std::to_string(i), [&]
                { return mgr.StartSession(pszStation, "S", "afd", "caps", "::id=1", callback); });
            setSession(true);
            continue;
        }
        switch (soak::Between(random, 0, 3))
        {
        case 0:
        case 1:
            ++run.nChanges;
            testsupport::Within("ChangeStation " + std::to_string(i),
                                [&] { return mgr.ChangeStation(pszStation); });
            break;
        case 2:
            ++run.nRefreshes;
            mgr.RefreshStation("afd-" + std::to_string(i), "::id=1::usr_info=" + std::to_string(i));
            break;
        default:
            ++run.nEnds;
            testsupport::Within("EndSession " + std::to_string(i),
                                [&] { return mgr.EndSession(); });
            // Until the next StartSession any callback comes too late.
            setSession(false);
        }
    }
    bStop = true;
    sessionOrStop.Set();
    testsupport::Within("EndSession", [&] { return mgr.EndSession(); });
    bEnded = true;
    testsupport::Within("the player thread to end", [&] { playerThread.join(); });
    run.nTracks = nTracks;
    run.nReads = nReads;
    run.nCalls = nCalls;
    run.nLateCalls = nLateCalls;
    return run;
}

class CPlayer
{
public:
    CPlayer(CStreamManager& mgr, CStatusRecorder& status) : m_mgr(mgr), m_status(status) {}

    // The next track as a player gets it: a request that fails with code 11 is
    // acknowledged and made again after 7 or 8. False after 3 (or another error); the
    // answers seen are kept in Answers().
    bool NextTrack(SPlayerTrackInfo& info)
    {
        for (int nTry = 0; nTry < 20; ++nTry)
        {
            const std::size_t nFrom = m_status.Count();
            const int nCode = CodeOf([&] { m_mgr.GetNextTrack(info); });
            if (nCode == 0)
                return true;
            m_answers.push_back(nCode);
            if (nCode != 11)
                return false;
            // Waiting for the acknowledgement (1), or already told that the station has
            // ended (3): a station whose sequences ended fails the new cache at once.
            const int nStatus = m_mgr.GetStatus();
            EXPECT_TRUE(nStatus == 1 || nStatus == 3) << nStatus;
            m_mgr.AckNotified(0);
            const std::optional<std::size_t> at = m_status.WaitForCode(nFrom, {3, 7, 8});
            if (!at)
            {
                ADD_FAILURE() << "no status 7, 8 or 3 within " << kLimitMs
                              << " ms after AckNotified(0)";
                return false;
            }
            const int nAnswer = m_status.Calls()[*at].first;
            m_answers.push_back(nAnswer);
            if (nAnswer == 3)
                return false;
        }
        ADD_FAILURE() << "no track after 20 answers";
        return false;
    }

    // Opens the track handed out and reads it to RS_EOF; the bytes. Fails the test when
    // no byte and no end come for the limit. With pnCode, a read that fails ends the track
    // too, and *pnCode gets its code (0 when none failed).
    std::string PlayOpened(const SPlayerTrackInfo& info, bool bClose = true, int* pnCode = nullptr)
    {
        SStreamFormat format;
        EXPECT_EQ(CodeOf([&] { m_mgr.OpenStream(info.nTrackID, format); }), 0);
        std::string bytes = ReadToEnd(pnCode);
        if (bClose)
            m_mgr.CloseStream();
        return bytes;
    }

    std::string ReadToEnd(int* pnCode = nullptr)
    {
        std::string bytes;
        BYTE buffer[8192];
        auto lastProgress = std::chrono::steady_clock::now();
        if (pnCode)
            *pnCode = 0;
        while (true)
        {
            DWORD dwCount = sizeof buffer;
            EReadStatus eStatus = RS_EOF;
            const int nCode = CodeOf([&] { eStatus = m_mgr.ReadStream(buffer, dwCount); });
            if (nCode != 0 && pnCode)
            {
                *pnCode = nCode;
                return bytes;
            }
            EXPECT_EQ(nCode, 0) << "ReadStream failed after " << bytes.size() << " bytes";
            if (eStatus == RS_OK)
            {
                EXPECT_GT(dwCount, 0u);
                bytes.append(reinterpret_cast<const char*>(buffer), dwCount);
                lastProgress = std::chrono::steady_clock::now();
                continue;
            }
            EXPECT_EQ(dwCount, 0u);
            if (eStatus == RS_EOF)
                return bytes;
            if (std::chrono::steady_clock::now() - lastProgress >
                std::chrono::milliseconds(kLimitMs))
            {
                ADD_FAILURE() << "the track stalled after " << bytes.size() << " bytes";
                return bytes;
            }
        }
    }

    const std::vector<int>& Answers() const { return m_answers; }

private:
    CStreamManager& m_mgr;
    CStatusRecorder& m_status;
    std::vector<int> m_answers;
};

// The station's first track as a player plays it, in a session of its own that ends
// afterwards; nullopt when no track was handed out (the answers are in status).
inline std::optional<std::string> PlayFirstTrack(const std::string& stationId,
                                                 CStatusRecorder& status)
{
    CStreamManager mgr;
    EXPECT_TRUE(mgr.StartSession(stationId, "Station", "afd", "caps", "::id=42::usr_info=a",
                                 status.Callback()));
    CPlayer player(mgr, status);
    SPlayerTrackInfo info;
    std::optional<std::string> bytes;
    if (player.NextTrack(info))
        bytes = player.PlayOpened(info);
    mgr.EndSession();
    return bytes;
}
} // namespace streamtest
