// The stream manager against ovradio-station, driven as a player drives it: a thread that
// asks for the next track, opens it, reads it to its end and closes it, and answers a
// failed request with AckNotified(0).
#include "engine/StreamManager.h"

#include "cache/CacheFileMgr.h"
#include "cache/CacheTestSupport.h"
#include "cache/RadioCacheMgr.h"
#include "download/DownloadTestSupport.h"
#include "integration/StationFixture.h"
#include "integration/StationTracks.h"
#include "integration/StreamPlayer.h"
#include "platform/Clock.h"
#include "support/FastClock.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using downloadtest::StationSong;
using downloadtest::WaitUntil;
using streamtest::CodeOf;
using streamtest::CPlayer;
using streamtest::CStatusRecorder;

namespace
{
class StreamManagerTest : public integration::StationIntegration
{
protected:
    std::unique_ptr<CStreamManager> Start(const std::string& stationId,
                                          const std::string& afd = "afd-one",
                                          const std::string& caps = "caps-initial")
    {
        auto pMgr = std::make_unique<CStreamManager>();
        EXPECT_TRUE(pMgr->StartSession(stationId, "Station " + stationId, afd, caps,
                                       "::id=42::usr_info=abc", status.Callback()));
        return pMgr;
    }

    std::vector<std::string> ContentTargets()
    {
        std::vector<std::string> targets;
        for (const station::RequestRecord& record : station.Requests())
            if (record.target.rfind("/content/", 0) == 0)
                targets.push_back(record.target);
        return targets;
    }

    // Calls the read on a thread of its own while moving the manual clock on in steps of
    // 100 ms, so that its pause ends; what it returned.
    static EReadStatus ReadAdvancing(platform::ManualClock& clock, CStreamManager& mgr,
                                     DWORD& dwCount)
    {
        BYTE buffer[4096];
        dwCount = sizeof buffer;
        std::future<EReadStatus> read =
            std::async(std::launch::async, [&] { return mgr.ReadStream(buffer, dwCount); });
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(streamtest::kLimitMs);
        while (read.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready)
        {
            if (std::chrono::steady_clock::now() > deadline)
                testsupport::FailAndEnd("a read whose pause the clock ends", streamtest::kLimitMs,
                                        {__builtin_FILE(), __builtin_LINE()});
            clock.Advance(100);
        }
        return read.get();
    }

    // The ids of the tracks whose content the station was asked for, each once, in
    // ascending order: tracks buffered ahead download side by side, so their requests
    // may reach the station in any order.
    std::vector<DWORD> ContentTracks(std::size_t nFrom = 0)
    {
        std::vector<DWORD> ids;
        const std::vector<std::string> targets = ContentTargets();
        for (std::size_t i = nFrom; i < targets.size(); ++i)
        {
            const std::string& target = targets[i];
            const DWORD dwId = static_cast<DWORD>(std::stoul(target.substr(9)));
            if (std::find(ids.begin(), ids.end(), dwId) == ids.end())
                ids.push_back(dwId);
        }
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    // Waits until the new-cache thread has seen the named track's download end and has
    // ended, its further rounds included: nothing is built after that until the player
    // moves on.
    void WaitForRest(CStreamManager& mgr, const std::string& strTrack)
    {
        const std::string line = "CStreamManager::CreateCacheForWrite -for " + strTrack + " exit";
        ASSERT_TRUE(WaitUntil([&] { return trace.HasLineContaining(line); }))
            << "no cache of " << strTrack << " was built and downloaded";
        ASSERT_TRUE(WaitUntil([&] { return !mgr.IsNewCacheThreadRunning(); }))
            << "the new-cache thread did not end";
    }

    CStatusRecorder status;
};

TEST_F(StreamManagerTest, SessionOperationsBeforeAStationAndTheLimitsFromThePreferences)
{
    CStreamManager mgr;
    EXPECT_TRUE(CStreamManager::IsInstanceAlive());
    // One per process: the locks are process-wide.
    EXPECT_EQ(CodeOf([] { CStreamManager second; }), 3);
    EXPECT_TRUE(CStreamManager::IsInstanceAlive());

    EXPECT_TRUE(mgr.EndSession());
    SPlayerTrackInfo info;
    EXPECT_EQ(CodeOf([&] { mgr.GetNextTrack(info); }), 14);
    BYTE buffer[16];
    DWORD dwCount = sizeof buffer;
    EXPECT_EQ(mgr.ReadStream(buffer, dwCount), RS_EOF);
    EXPECT_EQ(dwCount, 0u);
    EXPECT_EQ(CodeOf(
                  [&]
                  {
                      SStreamFormat format;
                      mgr.OpenStream(1, format);
                  }),
              7);
    EXPECT_TRUE(mgr.CloseStream());

    // RefreshStation without buffered tracks changes nothing.
    SSequenceThreadParams& params = mgr.SequenceMgr().ServerIfc().Params();
    params.strAFD = "before";
    EXPECT_FALSE(mgr.RefreshStation("after", "::id=1::usr_info=x"));
    EXPECT_EQ(params.strAFD, "before");

    mgr.ParseUserInfo("::id=42::usr_info=abc::");
    EXPECT_EQ(params.strUserId, "42");
    EXPECT_EQ(params.strUserInfo, "abc");
    mgr.ParseUserInfo("::other=1");
    EXPECT_EQ(params.strUserId, "");
    EXPECT_EQ(params.strUserInfo, "");

    EXPECT_TRUE(mgr.SetCacheSizeLimits());
    EXPECT_EQ(mgr.GetMaxTotalCache(), 5242880u);
    EXPECT_EQ(mgr.GetMaxTrackCache(), 1048576u);
    // A track cache cannot be built without a buffer: 0 is refused, the value kept.
    ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxCachePoolSize", 3000000), 0);
    ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxTrackCacheSize", 0), 0);
    EXPECT_TRUE(mgr.SetCacheSizeLimits());
    EXPECT_EQ(mgr.GetMaxTotalCache(), 3000000u);
    EXPECT_EQ(mgr.GetMaxTrackCache(), 1048576u);
    EXPECT_TRUE(trace.HasLineContaining("MaxTrackCacheSize 0 refused"));
    ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxTrackCacheSize", 70000), 0);
    EXPECT_TRUE(mgr.SetCacheSizeLimits());
    EXPECT_EQ(mgr.GetMaxTrackCache(), 70000u);
    // Sizes near 4 GB are bounded before any buffer is allocated.
    ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxCachePoolSize", 0xFFFFFFFF), 0);
    ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxTrackCacheSize", 0xFFFFFF00), 0);
    EXPECT_TRUE(mgr.SetCacheSizeLimits());
    EXPECT_EQ(mgr.GetMaxTotalCache(), CStreamManager::kLargestCachePool);
    EXPECT_EQ(mgr.GetMaxTrackCache(), CStreamManager::kLargestTrackCache);
}

TEST_F(StreamManagerTest, WholeAndSplitTracksPlayByteExactThroughFaultsAndTheDiskCache)
{
    station.Rules().AddRule("station mixed tracks 101,301,102,302");
    station.Rules().AddRule("station mixed header numcaches=2");
    station.Rules().AddRule("track 101 reset 1000 times 1");
    station.Rules().AddRule("track 301/cache reset 20000 times 1");
    station.Rules().AddRule("track 301/song cut 0 times 1");
    station.Rules().AddRule("track 302/song cut 30000 times 1");
    station.Rules().AddRule("track 102 cut 230416 times 1"); // the last byte comes by a resume
    const std::vector<STrackInfo> tracks = integration::FirstTracksOf("mixed", 4);
    ASSERT_EQ(tracks[2].songsize, 230417u);
    ASSERT_NE(tracks[1].cachesize, 0u);
    ASSERT_NE(tracks[3].cachesize, 0u);
    cachetest::FreeSpace free{1000 * cachetest::kMB};
    auto pMgr = std::make_unique<CStreamManager>();
    CacheSettings settings = pMgr->GetRadioCacheMgr()->GetSettings();
    settings.strLocation = home.File("cache") + "/";
    settings.bEnabled = true;
    pMgr->GetRadioCacheMgr()->SetSettings(settings);
    ASSERT_TRUE(
        pMgr->StartSession("mixed", "Mixed", "afd", "caps", "::id=42::", status.Callback()));
    CPlayer player(*pMgr, status);

    // The second sequence brings the same tracks: the cache parts come from the disk.
    for (int nPass = 1; nPass <= 2; ++nPass)
        for (const STrackInfo& rec : tracks)
        {
            SCOPED_TRACE("pass " + std::to_string(nPass) + ", track " +
                         std::to_string(rec.trackid));
            SPlayerTrackInfo info;
            ASSERT_TRUE(player.NextTrack(info));
            ASSERT_EQ(info.nTrackID, rec.trackid);
            SStreamFormat format;
            ASSERT_TRUE(pMgr->OpenStream(info.nTrackID, format));
            EXPECT_EQ(format.nTotalSizeBytes, static_cast<LONG>(rec.songsize));
            EXPECT_EQ(format.nBitRate, 128);
            EXPECT_EQ(format.nNumChannels, 2);
            EXPECT_EQ(format.nFrequency, 44100);
            EXPECT_EQ(format.strFormat, "mp3");
            const std::string bytes = player.ReadToEnd();
            EXPECT_TRUE(bytes == integration::ExpectedTrack(rec))
                << bytes.size() << " bytes of " << rec.songsize;
            EXPECT_TRUE(pMgr->CloseStream());
        }
    EXPECT_TRUE(trace.HasLineContaining("CStreamManager::ReadStream finished-" + tracks[3].track));
    // Every code 11 was answered with 7.
    for (int nAnswer : player.Answers())
        EXPECT_TRUE(nAnswer == 11 || nAnswer == 7) << nAnswer;
    EXPECT_TRUE(pMgr->EndSession());
    EXPECT_EQ(pMgr->CacheCount(), 0u);
    // A request and its resume for 301's cache part, one for 302's: none in the second pass.
    EXPECT_EQ(integration::PartRequests(station, 301, "cache", 2).size(), 2u);
    EXPECT_EQ(integration::PartRequests(station, 302, "cache", 1).size(), 1u);
    EXPECT_EQ(integration::PartRequests(station, 301, "song", 3).size(), 3u);
    EXPECT_EQ(integration::PartRequests(station, 302, "song", 3).size(), 3u);
    const std::string events = Events();
    for (const STrackInfo& rec : {tracks[1], tracks[3]})
        EXPECT_NE(events.find("\"name\":\"TrackFoundInCache\",\"params\":{\"TrackName\":\"" +
                              rec.track + "\""),
                  std::string::npos)
            << events;
}

TEST_F(StreamManagerTest, CodeElevenIsAnsweredWithSevenThenEightWithTheEndScriptThenThree)
{
    station.Rules().AddRule("station last tracks 901,902");
    station.Rules().AddRule("station last size 20000");
    station.Rules().AddRule("station last header endradiobrowserscript=Good+bye");
    station.Rules().AddRule("station last header presequencebrowserscript=show%28%29");
    station.Rules().AddRule("station last hold 0 times 1");
    station.Rules().AddRule("station last sequence-status 244 after 1");
    station.Rules().AddRule("track 902 delay 60000 times 1");
    auto pMgr = Start("last");
    CPlayer player(*pMgr, status);

    // The first sequence is held: no track can be there yet.
    SPlayerTrackInfo info;
    ASSERT_TRUE(station.WaitForHolds(1));
    EXPECT_EQ(CodeOf([&] { pMgr->GetNextTrack(info); }), 11);
    EXPECT_EQ(pMgr->GetStatus(), 1);
    pMgr->AckNotified(1); // no effect
    EXPECT_EQ(pMgr->GetStatus(), 1);
    pMgr->AckNotified(0);
    EXPECT_EQ(pMgr->GetStatus(), 2);
    station.ReleaseHeld();
    ASSERT_TRUE(status.WaitForCode(0, {7}));
    // The status returns to 0 once the callback has returned.
    EXPECT_TRUE(WaitUntil([&] { return pMgr->GetStatus() == 0; })) << pMgr->GetStatus();
    ASSERT_TRUE(player.NextTrack(info));
    EXPECT_EQ(info.nTrackID, 901u);
    EXPECT_EQ(player.PlayOpened(info), StationSong(901, 20000));

    // The next cache is begun when the player asks and finds none. Taking track 902 asks
    // for the next sequence (244); 902's answer waits until that has come, so the player
    // hears 8 with the end script.
    const std::size_t nFrom = status.Count();
    EXPECT_EQ(CodeOf([&] { pMgr->GetNextTrack(info); }), 11);
    pMgr->AckNotified(0);
    ASSERT_TRUE(station.WaitForHolds(2));
    EXPECT_EQ(SequenceTargets(2).size(), 2u);
    ASSERT_TRUE(WaitUntil([&] { return pMgr->SequenceMgr().GetSequenceStatus() == 244; }));
    station.ReleaseHeld();
    const std::optional<std::size_t> at = status.WaitForCode(nFrom, {3, 7, 8});
    ASSERT_TRUE(at);
    EXPECT_EQ(status.Calls()[*at], std::make_pair(8, std::string("Good bye")));
    ASSERT_TRUE(player.NextTrack(info));
    EXPECT_EQ(info.nTrackID, 902u);
    EXPECT_EQ(player.PlayOpened(info), StationSong(902, 20000));

    // No further sequence: 3.
    EXPECT_FALSE(player.NextTrack(info));
    ASSERT_FALSE(player.Answers().empty());
    EXPECT_EQ(player.Answers().back(), 3);
    EXPECT_TRUE(pMgr->EndSession());
    // The sequence download thread's script came through the same callback.
    const auto calls = status.Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), std::make_pair(9, std::string("show()"))),
              calls.end());
}

TEST_F(StreamManagerTest, AnEndHeardOnlyAfterTheLastTrackWasHandedOutIsStillAnEightBeforeTheThree)
{
    station.Rules().AddRule("station late tracks 901,902");
    station.Rules().AddRule("station late size 20000");
    station.Rules().AddRule("station late sequence-status 244 after 1");
    station.Rules().AddRule("station late hold 0 after 1 times 1");
    auto pMgr = Start("late");
    CPlayer player(*pMgr, status);

    SPlayerTrackInfo info;
    for (DWORD nTrack : {901u, 902u})
    {
        ASSERT_TRUE(player.NextTrack(info)) << nTrack;
        EXPECT_EQ(info.nTrackID, nTrack);
        EXPECT_EQ(player.PlayOpened(info), StationSong(nTrack, 20000));
    }
    // The answer that no sequence follows is held until the player has asked in vain.
    ASSERT_TRUE(station.WaitForHolds(1));
    const std::size_t nFrom = status.Count();
    EXPECT_EQ(CodeOf([&] { pMgr->GetNextTrack(info); }), 11);
    pMgr->AckNotified(0);
    station.ReleaseHeld();
    const std::optional<std::size_t> at = status.WaitForCode(nFrom, {3, 7, 8});
    ASSERT_TRUE(at);
    EXPECT_EQ(status.Calls()[*at].first, 8) << "the end must come before the failure";
    EXPECT_FALSE(player.NextTrack(info));
    ASSERT_FALSE(player.Answers().empty());
    EXPECT_EQ(player.Answers().back(), 3);
    EXPECT_TRUE(pMgr->EndSession());
}

// A player that got code 11 and acknowledged it keeps waiting while the host changes the
// station: the new station's first track answers it with a 7, without a new request.
TEST_F(StreamManagerTest, AChangeOfStationAnswersThePlayerThatWaitsAfterCode11)
{
    station.Rules().AddRule("station stuck tracks 951");
    station.Rules().AddRule("station stuck hold 0 times 1");
    station.Rules().AddRule("station next tracks 952");
    station.Rules().AddRule("station next size 20000");
    auto pMgr = Start("stuck");
    ASSERT_TRUE(station.WaitForHolds(1));
    const std::size_t nFrom = status.Count();
    SPlayerTrackInfo info;
    EXPECT_EQ(CodeOf([&] { pMgr->GetNextTrack(info); }), 11);
    pMgr->AckNotified(0);
    ASSERT_TRUE(pMgr->ChangeStation("next"));
    station.ReleaseHeld();
    const std::optional<std::size_t> at = status.WaitForCode(nFrom, {3, 7, 8});
    ASSERT_TRUE(at) << "the waiting player heard nothing from the new station";
    EXPECT_EQ(status.Calls()[*at].first, 7);
    CPlayer player(*pMgr, status);
    ASSERT_TRUE(player.NextTrack(info));
    EXPECT_EQ(info.nTrackID, 952u);
    EXPECT_EQ(player.PlayOpened(info), StationSong(952, 20000));
    EXPECT_TRUE(pMgr->EndSession());
}

TEST_F(StreamManagerTest, ACallbackThatAcknowledgesFromInsideItselfNeitherDeadlocksNorLoops)
{
    station.Rules().AddRule("station ack tracks 901,902");
    station.Rules().AddRule("station ack size 20000");
    std::atomic<int> nSevens{0};
    auto pMgr = std::make_unique<CStreamManager>();
    CStreamManager& mgr = *pMgr;
    ASSERT_TRUE(mgr.StartSession("ack", "Ack", "afd", "caps", "::id=1::",
                                 [&](int nCode, const char* pszText)
                                 {
                                     if (nCode == 7)
                                     {
                                         ++nSevens;
                                         mgr.AckNotified(0);
                                     }
                                     status.Record(nCode, pszText);
                                 }));
    CPlayer player(mgr, status);
    for (DWORD dwId : {901u, 902u})
    {
        SPlayerTrackInfo info;
        ASSERT_TRUE(player.NextTrack(info));
        EXPECT_EQ(info.nTrackID, dwId);
        EXPECT_EQ(player.PlayOpened(info), StationSong(dwId, 20000));
    }
    // Each 7 answered one request in vain: an acknowledgement alone starts no new round.
    ASSERT_TRUE(WaitUntil([&] { return !mgr.IsNewCacheThreadRunning(); }));
    EXPECT_GE(nSevens.load(), 1);
    EXPECT_LE(nSevens.load(), 2);
    EXPECT_TRUE(testsupport::Within("EndSession", [&] { return mgr.EndSession(); }));
}

// Every track refused while the sequence server answers: each request waits out a growing
// pause on the clock, at most ten go out in a minute, and the waiting player hears 3 with
// the reason within it. No further request follows until the host refreshes the station.
TEST_F(StreamManagerTest, RefusedSequencesPauseTheRequestsThenTheStationIsGivenUp)
{
    station.Rules().AddRule("station storm tracks 901,902");
    station.Rules().AddRule("station storm/content status 404");
    const auto sequenceRequests = [&]
    {
        std::size_t n = 0;
        for (const station::RequestRecord& record : station.Requests())
            n += record.target.rfind("/sequence.m3u?", 0) == 0 ? 1 : 0;
        return n;
    };
    platform::ManualClock clock;
    auto pMgr = Start("storm");
    SPlayerTrackInfo info;
    ASSERT_EQ(CodeOf([&] { pMgr->GetNextTrack(info); }), 11);
    pMgr->AckNotified(0);
    const CRequestBackoff& backoff = pMgr->SequenceMgr().RequestBackoff();
    std::vector<uint64_t> requestTimes; // on the manual clock
    while (true)
    {
        ASSERT_TRUE(WaitUntil([&] { return sequenceRequests() > requestTimes.size(); }));
        requestTimes.push_back(clock.Elapsed());
        ASSERT_LE(requestTimes.size(), 10u) << "requests without a pause";
        // Its track refused, the next request waits for its pause, or the player is told.
        ASSERT_TRUE(WaitUntil(
            [&]
            {
                return backoff.IsWaiting() || status.WaitForCode(0, {3, 7, 8}, 0) ||
                       sequenceRequests() > requestTimes.size();
            }));
        if (status.WaitForCode(0, {3, 7, 8}, 0))
            break;
        if (backoff.IsWaiting())
            clock.Advance(backoff.RemainingMs());
    }
    EXPECT_LE(clock.Elapsed(), 60000u) << "the player was told after a minute";
    EXPECT_LE(requestTimes.size(), 10u);
    for (std::size_t i = 2; i < requestTimes.size(); ++i)
        EXPECT_GT(requestTimes[i] - requestTimes[i - 1], requestTimes[i - 1] - requestTimes[i - 2])
            << "the pauses grow";
    EXPECT_GE(requestTimes.size(), 3u);
    EXPECT_EQ(status.Calls().back().first, 3);
    EXPECT_NE(status.Calls().back().second.find("could be downloaded: their servers refused"),
              std::string::npos);
    // Each refusal cleared the sequence, and the next track came from a new request.
    EXPECT_TRUE(trace.HasLineContaining("CreateCache calling ClearSequence for Status Denied"));
    EXPECT_EQ(pMgr->CacheCount(), 0u);

    // Asked again, the player hears 3 at once and nothing is sent; a refresh asks again.
    CPlayer player(*pMgr, status);
    EXPECT_FALSE(player.NextTrack(info));
    EXPECT_EQ(player.Answers(), (std::vector<int>{11, 3}));
    EXPECT_EQ(sequenceRequests(), requestTimes.size());
    EXPECT_TRUE(pMgr->RefreshStation("afd-two", "::id=42"));
    EXPECT_EQ(CodeOf([&] { pMgr->GetNextTrack(info); }), 11);
    pMgr->AckNotified(0);
    EXPECT_TRUE(WaitUntil([&] { return sequenceRequests() > requestTimes.size(); }));
    EXPECT_TRUE(pMgr->EndSession());
}

// A track handed out answers an earlier code 11 that was never acknowledged: the new-cache
// thread owes no 7 and does not wait for one.
TEST_F(StreamManagerTest, ATrackHandedOutEndsTheHandshakeOfAnEarlierCodeEleven)
{
    station.Rules().AddRule("station shake tracks 901");
    station.Rules().AddRule("station shake size 20000");
    station.Rules().AddRule("station shake hold 0 times 1");
    auto pMgr = Start("shake");
    ASSERT_TRUE(station.WaitForHolds(1));
    SPlayerTrackInfo info;
    EXPECT_EQ(CodeOf([&] { pMgr->GetNextTrack(info); }), 11);
    station.ReleaseHeld();
    ASSERT_TRUE(WaitUntil([&] { return pMgr->CacheCount() == 1; }));
    EXPECT_EQ(CodeOf([&] { pMgr->GetNextTrack(info); }), 0);
    EXPECT_EQ(pMgr->GetStatus(), 0);
    EXPECT_TRUE(WaitUntil([&] { return !pMgr->IsNewCacheThreadRunning(); }))
        << "the new-cache thread still waits for the acknowledgement";
    EXPECT_TRUE(pMgr->EndSession());
}

// A station as a row: its rules and the limits of the preferences, the tracks the player
// gets in order (each played whole), a line the trace must hold, and for a player that
// gets none, the answers it hears.
TEST_F(StreamManagerTest, ThePlayerGetsTheTracksTheStationAndTheLimitsAllow)
{
    // Seconds at 128 kbit/s: 1 s is 16000 bytes.
    struct SRow
    {
        const char* name;
        const char* pszTracks;          // the station's, so a rule of one row meets no other's
        std::vector<std::string> rules; // for the row's station, or "track ..." rules
        DWORD dwSize;                   // of each track
        DWORD dwPool;                   // MaxCachePoolSize
        DWORD dwTrackCache;             // MaxTrackCacheSize
        std::vector<DWORD> played;
        std::vector<int> answers; // when none is played
        const char* pszTrace;
    };
    const SRow rows[] = {
        {"a start threshold beyond the buffer",
         "901,902,903",
         {"header startthresh=10"},
         400000,
         5242880,
         65536,
         {901},
         {},
         ""},
        {"a start threshold above the high mark",
         "901,902,903",
         {"header startthresh=10", "header cachehigh=2"},
         400000,
         5242880,
         1048576,
         {901},
         {},
         ""},
        {"a low mark of zero",
         "901,902,903",
         {"header startthresh=1", "header cachelow=0", "header cachehigh=2"},
         400000,
         5242880,
         1048576,
         {901},
         {},
         ""},
        // 943 of the first sequence was dropped with it; the second starts again at 941.
        // The tracks are the row's own: a request for 902 that an earlier row abandoned
        // may reach the station late and would take the one refusal.
        {"a denied track clears the sequence and the next comes from a new request",
         "941,942,943",
         {"track 942 status 404 times 1"},
         20000,
         5242880,
         1048576,
         {941, 941, 942},
         {},
         "CreateCache calling ClearSequence for Status Denied"},
        {"a pool no larger than one track cache leaves room for none",
         "901,902,903",
         {},
         20000,
         1048576,
         1048576,
         {},
         {11, 3},
         "IsSizeLimitReached::Memory limit reached: used(0),m_dwMaxTotalCache =1048576"},
    };
    int nStation = 0;
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::string id = "outcome" + std::to_string(++nStation);
        station.Rules().AddRule("station " + id + " tracks " + row.pszTracks);
        station.Rules().AddRule("station " + id + " size " + std::to_string(row.dwSize));
        for (const std::string& rule : row.rules)
            station.Rules().AddRule(rule.rfind("track ", 0) == 0 ? rule
                                                                 : "station " + id + " " + rule);
        ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxCachePoolSize", row.dwPool), 0);
        ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxTrackCacheSize", row.dwTrackCache), 0);
        auto pMgr = Start(id);
        CPlayer player(*pMgr, status);
        SPlayerTrackInfo info;
        for (const DWORD dwId : row.played)
        {
            ASSERT_TRUE(player.NextTrack(info));
            EXPECT_EQ(info.nTrackID, dwId);
            EXPECT_EQ(player.PlayOpened(info), StationSong(info.nTrackID, row.dwSize));
        }
        if (row.played.empty())
        {
            EXPECT_FALSE(player.NextTrack(info));
            EXPECT_EQ(player.Answers(), row.answers);
            EXPECT_EQ(pMgr->CacheCount(), 0u);
        }
        if (*row.pszTrace != '\0')
        {
            EXPECT_TRUE(trace.HasLineContaining(row.pszTrace));
        }
        EXPECT_TRUE(pMgr->EndSession());
    }
}

// The player reads nothing: tracks are buffered ahead up to the sequence's count of caches,
// or while more than one track cache of the pool is left; bytes read are bytes freed.
TEST_F(StreamManagerTest, TracksAreBufferedAheadUpToTheCountOfCachesOrTheMemoryLimit)
{
    struct SRow
    {
        const char* name;
        const char* pszStation;
        DWORD dwSize;
        DWORD dwPool;
        DWORD dwTrackCache;
        std::vector<DWORD> buffered;
        const char* pszLimitTrace; // "" when no limit is reached
    };
    const SRow rows[] = {
        {"the sequence's count of caches", "count", 20000, 5242880, 1048576, {901, 902}, ""},
        // After three tracks of 40000 bytes, 171072 - 120000 is not more than one pipe.
        {"the memory limit",
         "memory",
         40000,
         171072,
         65536,
         {901, 902, 903},
         "IsSizeLimitReached::Memory limit reached: used(120000),m_dwMaxTotalCache =171072,"
         "m_dwMaxTrackCache=65536"},
    };
    station.Rules().AddRule("station count header numcaches=2");
    station.Rules().AddRule("station memory header numcaches=5");
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::string id = row.pszStation;
        station.Rules().AddRule("station " + id + " tracks 901,902,903,904,905");
        station.Rules().AddRule("station " + id + " size " + std::to_string(row.dwSize));
        ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxCachePoolSize", row.dwPool), 0);
        ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxTrackCacheSize", row.dwTrackCache), 0);
        const std::size_t nContentBefore = ContentTargets().size();
        auto pMgr = Start(id);
        CPlayer player(*pMgr, status);
        SPlayerTrackInfo info;
        ASSERT_TRUE(player.NextTrack(info));
        ASSERT_EQ(info.nTrackID, 901u);
        WaitForRest(*pMgr, "track " + std::to_string(row.buffered.back()));
        EXPECT_EQ(pMgr->CacheCount(), row.buffered.size());
        // The station logs a request once it has answered it, which may be after the
        // engine has seen the download end: wait for the last one.
        EXPECT_TRUE(
            WaitUntil([&] { return ContentTracks(nContentBefore).size() >= row.buffered.size(); }))
            << "the station logged the content requests of " << ContentTracks(nContentBefore).size()
            << " tracks";
        EXPECT_EQ(ContentTracks(nContentBefore), row.buffered);
        if (*row.pszLimitTrace != '\0')
        {
            EXPECT_TRUE(trace.HasLineContaining(row.pszLimitTrace));
        }
        else
        {
            EXPECT_FALSE(trace.HasLineContaining("IsSizeLimitReached::"));
        }
        // The next track is there at once; the track played leaves the pool at the request.
        EXPECT_EQ(player.PlayOpened(info), StationSong(901, row.dwSize));
        const std::size_t nAnswers = player.Answers().size();
        ASSERT_TRUE(player.NextTrack(info));
        EXPECT_EQ(info.nTrackID, 902u);
        EXPECT_EQ(player.Answers().size(), nAnswers) << "902 was not buffered ahead";
        if (*row.pszLimitTrace != '\0') // no room for a further track yet
        {
            EXPECT_EQ(pMgr->CacheCount(), row.buffered.size() - 1);
        }
        EXPECT_EQ(player.PlayOpened(info), StationSong(902, row.dwSize));
        EXPECT_TRUE(pMgr->EndSession());
    }
}

TEST_F(StreamManagerTest, ANonSkippableTrackRefusesNextWhileOpenAndAcceptsItAfterClose)
{
    station.Rules().AddRule("station fixed tracks 901,902");
    station.Rules().AddRule("station fixed size 200000");
    station.Rules().AddRule("station fixed field skip=0");
    station.Rules().AddRule("track 901 hold 60000 times 1");
    auto pMgr = Start("fixed");
    CPlayer player(*pMgr, status);
    SPlayerTrackInfo info;
    ASSERT_TRUE(player.NextTrack(info));
    ASSERT_EQ(info.nTrackID, 901u);
    EXPECT_EQ(info.nSkippable, 0);
    SStreamFormat format;
    EXPECT_EQ(CodeOf([&] { pMgr->OpenStream(902, format); }), 7);
    ASSERT_TRUE(pMgr->OpenStream(901, format));
    SPlayerTrackInfo next;
    EXPECT_EQ(CodeOf([&] { pMgr->GetNextTrack(next); }), 10);
    EXPECT_EQ(next.nTrackID, 0u);
    // Nothing changed: the track is still the open one.
    EXPECT_TRUE(pMgr->OpenStream(901, format));
    EXPECT_TRUE(pMgr->CloseStream());
    ASSERT_TRUE(player.NextTrack(next));
    EXPECT_EQ(next.nTrackID, 902u);
    EXPECT_EQ(player.PlayOpened(next), StationSong(902, 200000));
    station.ReleaseHeld();
}

// A track whose bytes stop coming, before the start threshold or after it: the read pauses
// on the manual clock until its limit (45 s to start, 40 s to go on), then fails with 15,
// traced and logged; the wait's start stays until the track is opened again.
TEST_F(StreamManagerTest, AStalledTrackFailsTheReadAfterTheStartOrTheContinueLimit)
{
    struct SRow
    {
        const char* name;
        DWORD dwHold;   // the bytes the station sends before it stalls
        DWORD dwBefore; // the manual clock's move that leaves the read paused
        const char* pszTrace;
        const char* pszEvent;
    };
    const SRow rows[] = {
        {"no byte: the start limit", 0, 43000,
         "ReadStream - timedout waiting for start data -exception on ", "NoAmpleDataToStart"},
        {"past the start threshold: the continue limit", 131072, 38000,
         "ReadStream - timedout waiting for data -exception on: ", "NoAmpleDataToContinue"},
    };
    platform::ManualClock clock;
    DWORD dwTrackId = 900;
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        const std::string id = std::to_string(++dwTrackId);
        station.Rules().AddRule("station stall" + id + " tracks " + id);
        station.Rules().AddRule("station stall" + id + " size 200000");
        station.Rules().AddRule("track " + id + " hold " + std::to_string(row.dwHold));
        auto pMgr = Start("stall" + id);
        CPlayer player(*pMgr, status);
        SPlayerTrackInfo info;
        ASSERT_TRUE(player.NextTrack(info));
        SStreamFormat format;
        ASSERT_TRUE(pMgr->OpenStream(info.nTrackID, format));
        // The bytes before the stall pass the start threshold (3 s at 128 kbit/s, 48000
        // bytes); each pause ends when data come, so the clock need not move.
        std::string bytes;
        while (bytes.size() < row.dwHold)
        {
            BYTE buffer[8192];
            DWORD dwCount = sizeof buffer;
            const EReadStatus eStatus = testsupport::Within(
                "a read while data come", [&] { return pMgr->ReadStream(buffer, dwCount); });
            ASSERT_NE(eStatus, RS_EOF);
            bytes.append(reinterpret_cast<const char*>(buffer), dwCount);
        }
        EXPECT_EQ(bytes, StationSong(dwTrackId, 200000).substr(0, row.dwHold));
        DWORD dwCount = 0;
        EXPECT_EQ(ReadAdvancing(clock, *pMgr, dwCount), RS_NODATAVAILABLE);
        EXPECT_EQ(dwCount, 0u);
        clock.Advance(row.dwBefore);
        EXPECT_EQ(ReadAdvancing(clock, *pMgr, dwCount), RS_NODATAVAILABLE);
        clock.Advance(2500);
        BYTE buffer[16];
        dwCount = sizeof buffer;
        EXPECT_EQ(CodeOf([&] { pMgr->ReadStream(buffer, dwCount); }), 15);
        EXPECT_TRUE(trace.HasLineContaining(row.pszTrace + ("track " + id)));
        EXPECT_NE(Events().find(row.pszEvent), std::string::npos);
        // The wait's start stays: the next read fails at once, until the track is opened again.
        EXPECT_EQ(CodeOf([&] { pMgr->ReadStream(buffer, dwCount); }), 15);
        ASSERT_TRUE(pMgr->OpenStream(info.nTrackID, format));
        EXPECT_EQ(ReadAdvancing(clock, *pMgr, dwCount), RS_NODATAVAILABLE);
        EXPECT_TRUE(pMgr->EndSession());
        station.ReleaseHeld();
    }
    EXPECT_TRUE(trace.HasLineContaining(
        "OVEXC - CStreamManager::ReadStream not ample start data caused timeout"));
}

TEST_F(StreamManagerTest, RefreshStationDropsTheBufferedTracksAtTheNextClose)
{
    // Tracks beyond the high-water mark (15 s at 128 kbit/s): the one played pauses ahead
    // of the reader.
    station.Rules().AddRule("station fresh tracks 901,902,903");
    station.Rules().AddRule("station fresh size 400000");
    auto pMgr = Start("fresh");
    CPlayer player(*pMgr, status);
    SPlayerTrackInfo info;
    ASSERT_TRUE(player.NextTrack(info));
    ASSERT_EQ(info.nTrackID, 901u);
    EXPECT_EQ(info.strAFD, "mp3");
    SStreamFormat format;
    ASSERT_TRUE(pMgr->OpenStream(901, format));
    EXPECT_TRUE(pMgr->RefreshStation("afd-two", "::id=7::usr_info=fresh::"));
    EXPECT_EQ(player.ReadToEnd(), StationSong(901, 400000));
    // 902 is buffered behind the track played, paused on its mark.
    ASSERT_TRUE(WaitUntil([&] { return pMgr->CacheCount() == 2; })) << pMgr->CacheCount();
    EXPECT_TRUE(testsupport::Within("CloseStream", [&] { return pMgr->CloseStream(); }));
    EXPECT_TRUE(
        trace.HasLineContaining("RejectCurrentSequence called on CloseStream as flag is set"));
    ASSERT_TRUE(player.NextTrack(info));
    EXPECT_EQ(info.nTrackID, 901u) << "902 was dropped; the next track comes from a new sequence";
    const std::vector<std::string> targets = SequenceTargets(2);
    ASSERT_GE(targets.size(), 2u);
    EXPECT_EQ(integration::FieldOf(targets.front(), "AFD"), "afd-one");
    EXPECT_EQ(integration::FieldOf(targets.back(), "AFD"), "afd-two");
    EXPECT_EQ(integration::FieldOf(targets.back(), "USR_INFO"), "fresh");
    EXPECT_EQ(player.PlayOpened(info), StationSong(901, 400000));
}

TEST_F(StreamManagerTest, ASlowConnectionThrottlesAndTheNextRequestCarriesTheMeasuredRate)
{
    station.Rules().AddRule("station slow tracks 901,902,903");
    station.Rules().AddRule("station slow size 24000");
    station.Rules().AddRule("station slow header ccdwindow=1");
    station.Rules().AddRule("station slow/content rate 8000");
    auto pMgr = Start("slow");
    CPlayer player(*pMgr, status);
    SPlayerTrackInfo info;
    ASSERT_TRUE(player.NextTrack(info));
    ASSERT_EQ(info.nTrackID, 901u);
    EXPECT_EQ(player.PlayOpened(info, false), StationSong(901, 24000));
    // 902 is buffered behind it when the track closes.
    ASSERT_TRUE(WaitUntil([&] { return pMgr->CacheCount() == 2; })) << pMgr->CacheCount();
    EXPECT_TRUE(testsupport::Within("CloseStream", [&] { return pMgr->CloseStream(); }));
    EXPECT_TRUE(
        trace.HasLineContaining("====>>>>Throttling!!!<<<<==== HandleThrottling() Called!!!"));
    EXPECT_TRUE(trace.HasLineContaining("Allowable Byte Per Sec = 20000.000 Current Track Bit "
                                        "Rate (kbps) = 128 Given CCD Thresh = 25"));
    // The event carries the measured rate, below the allowed one, and the track's bit rate.
    const std::string events = Events();
    std::smatch event;
    ASSERT_TRUE(std::regex_search(
        events, event,
        std::regex(
            R"re("name":"Throttling","params":\{"ConnectionRate":([0-9.]+),"Bitrate":128\})re")))
        << events;
    const double dRate = std::stod(event[1].str());
    EXPECT_GT(dRate, 0.0);
    EXPECT_LT(dRate, 20000.0);

    ASSERT_TRUE(player.NextTrack(info));
    EXPECT_EQ(info.nTrackID, 901u) << "902 was dropped; the next track comes from a new sequence";
    const std::vector<std::string> targets = SequenceTargets(2);
    ASSERT_GE(targets.size(), 2u);
    EXPECT_EQ(integration::FieldOf(targets.front(), "CCD"), "caps-initial");
    const std::string ccd = integration::FieldOf(targets.back(), "CCD");
    // 8 bits a byte, less the threshold: a rate below 20000 bytes/s gives below 128000.
    const long long nCCD = std::atoll(ccd.c_str());
    EXPECT_GT(nCCD, 0) << ccd;
    EXPECT_LT(nCCD, 128000) << ccd;
    EXPECT_TRUE(pMgr->EndSession());
}

// ChangeStation, RefreshStation, EndSession and StartSession at random moments while a
// player plays: nothing crashes, leaks, hangs or races, and no callback comes while no
// session runs. Track 902 breaks off every time it plays, so changes also meet a download
// in its resume pause; the clock runs 10 times faster than real time so that each such
// pause is short. (The soak run makes many more such calls, with a new seed each time.)
TEST_F(StreamManagerTest, StationChangesRefreshesAndEndsAtRandomMomentsWhilePlaying)
{
    testsupport::CFastClock clock(10);
    for (const char* pszStation : {"one", "two"})
    {
        station.Rules().AddRule(std::string("station ") + pszStation + " tracks 901,902,903");
        station.Rules().AddRule(std::string("station ") + pszStation + " size 30000");
    }
    station.Rules().AddRule("track 902 cut 10000");
    ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxTrackCacheSize", 65536), 0);
    ASSERT_EQ(host::PrefSetValueUINT32("OVRadio", "MaxCachePoolSize", 300000), 0);

    std::mt19937_64 random(20261207);
    CStreamManager mgr;
    const streamtest::SSessionCallsRun run = streamtest::RandomSessionCalls(mgr, 200, random);
    EXPECT_EQ(run.nLateCalls, 0);
    EXPECT_GT(run.nReads, 0);
    EXPECT_GT(run.nCalls, 0);
}
} // namespace
