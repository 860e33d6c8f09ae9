// A player for the stream manager tests: it records the status callback, answers a failed
// request for the next track as a player does (AckNotified(0), then waits for 7, 8 or 3),
// and plays tracks to their end through OpenStream, ReadStream and CloseStream. Every
// wait has a real-time limit and fails the test with what did not happen.
#pragma once

#include "engine/StreamManager.h"
#include "host/RadEngException.h"
#include "support/Wait.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <optional>
#include <string>
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
            EXPECT_EQ(m_mgr.GetStatus(), 1);
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
} // namespace streamtest
