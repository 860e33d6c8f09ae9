// The sequence service against ovradio-station where the outcome hangs on what goes over
// the wire: ovradio-sequence against the station's answers and faults, encoded names and
// the user id, the request clock and the rate fields, a first block that releases the
// waiter while the station holds the rest, a track line longer than a read block, aborts
// while the station stalls, and the delay event.
#include "host/UserId.h"
#include "integration/StationFixture.h"
#include "platform/Clock.h"
#include "sequence/ConnectionRateMeter.h"
#include "sequence/RadioSequenceMgr.h"
#include "support/SequenceWait.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using integration::FieldOf;
using integration::LinesOf;
using integration::StationIntegration;

namespace
{
// Takes the next track on a thread of its own, for a test that must act while the
// reader waits; the result is there once the thread is joined.
std::thread TakeNextTrackAside(CRadioSequenceMgr& mgr, std::atomic<int>& result)
{
    return std::thread(
        [&mgr, &result]
        {
            STrackInfo rec;
            result = mgr.GetNextTrack(rec);
        });
}
} // namespace

// ovradio-sequence against the station's answers: what it prints, its exit code, and the
// sequence requests the station saw. Rows run in order against one station.
TEST_F(StationIntegration, TheSequenceToolReportsTheStationsTracksAndFaults)
{
    struct SRow
    {
        const char* name;
        const char* pszRule; // a station rule added before the run ("" for none)
        const char* pszArgs; // the tool's arguments, split at spaces
        int nExit;
        const char* pszEnd;      // the last line printed ("" when not checked)
        const char* pszStation;  // the STATION_ID= of its sequence requests
        std::size_t nRequests;   // how many of them, exactly (0: not checked)
        const char* pszInTarget; // a text one of them carries ("" for none)
        const char* pszEvent;    // a text of the event log ("" for none)
    };
    const SRow rows[] = {
        {"a station's tracks", "", "--station split --count 3", 0,
         R"({"type":"end","tracks":3,"status":200})", "split", 0, "", ""},
        {"an unknown station", "", "--station no-such-station", 3,
         R"({"type":"end","tracks":0,"status":404})", "no-such-station", 0, "", ""},
        {"an answer without tracks is sent three times, then no more",
         "station rock sequence-body no-tracks", "--station rock --count 2", 3,
         R"({"type":"end","tracks":0,"status":404})", "rock", 3, "", ""},
        {"a sequence abandoned before its first track is sent again and reported",
         "station split sequence-body bad-line 1 times 1", "--station split --count 4", 0,
         R"({"type":"end","tracks":4,"status":200})", "split", 0, "&SEQABORT=1&", ""},
        {"the station's end", "station demo sequence-status 244", "--station demo", 3,
         R"({"type":"end","tracks":0,"status":244})", "demo", 0, "", ""},
        {"a busy server", "sequence status 503", "--station demo", 3, "", "demo", 0, "",
         "SeqSvr:HttpQueryInfo(1) failure Status code=503"},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        if (*row.pszRule != '\0')
            station.Rules().AddRule(row.pszRule);
        std::vector<std::string> args;
        std::istringstream words(row.pszArgs);
        for (std::string word; words >> word;)
            args.push_back(word);
        std::ostringstream out;
        std::ostringstream err;
        EXPECT_EQ(integration::RunTool(args, out, err), row.nExit) << out.str() << err.str();
        const std::vector<std::string> lines = LinesOf(out.str());
        ASSERT_FALSE(lines.empty()) << err.str();
        if (*row.pszEnd != '\0')
        {
            EXPECT_EQ(lines.back(), row.pszEnd);
        }
        // Every line before the end is a track with a cache id.
        for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        {
            EXPECT_EQ(lines[i].rfind("{\"type\":\"track\",", 0), 0u) << lines[i];
            EXPECT_EQ(lines[i].find("\"cacheid\":\"\""), std::string::npos) << lines[i];
        }
        // The station's records of this row's sequence requests, once it has logged all
        // that the row expects.
        std::vector<std::string> targets;
        const auto carries = [&](const std::string& target)
        { return target.find(row.pszInTarget) != std::string::npos; };
        EXPECT_TRUE(station.WaitForRequests(
            [&](const std::vector<station::RequestRecord>& records)
            {
                targets.clear();
                for (const station::RequestRecord& record : records)
                    if (record.target.rfind("/sequence.m3u?", 0) == 0 &&
                        record.target.find(std::string("STATION_ID=") + row.pszStation + "&") !=
                            std::string::npos)
                        targets.push_back(record.target);
                return targets.size() >= row.nRequests &&
                       std::any_of(targets.begin(), targets.end(), carries);
            }))
            << targets.size() << " sequence requests, none with " << row.pszInTarget;
        if (row.nRequests != 0)
        {
            EXPECT_EQ(targets.size(), row.nRequests);
        }
        if (*row.pszEvent != '\0')
        {
            EXPECT_NE(Events().find(row.pszEvent), std::string::npos) << row.pszEvent;
        }
    }
}

TEST_F(StationIntegration, EncodedNamesAndTheUserIdAreSignedAsTheStationReadsThem)
{
    CRadioSequenceMgr mgr;
    mgr.ServerIfc().Params().strUserId = "42";
    mgr.ServerIfc().Params().strDispStation = "Rock & Roll";
    mgr.GetNewSequence("Rock & Roll");
    STrackInfo rec;
    // Tracks come only when the station decoded the name and checked LOG= against the
    // identifier after the user id.
    ASSERT_TRUE(testsupport::NextTrack(mgr, rec));
    EXPECT_EQ(rec.trackid, 201u);
    ASSERT_TRUE(testsupport::DownloadEnded(mgr));

    const std::vector<std::string> targets = SequenceTargets(1);
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(FieldOf(targets[0], "OVUID"), "42%3A" + GetUserId());
    EXPECT_EQ(FieldOf(targets[0], "STATION_ID"), "Rock%20%26%20Roll");
    EXPECT_EQ(FieldOf(targets[0], "DISPSTATION"), "Rock%20%26%20Roll");
    EXPECT_EQ(mgr.GetSequenceStatus(), 200);
}

TEST_F(StationIntegration, TimeAndRateFieldsFollowTheRequestClockAndTheMeter)
{
    platform::ManualClock clock;
    ASSERT_EQ(host::PrefSetValueString("OVRadio", "Last CCD", "12.500"), 0);
    {
        CRadioSequenceMgr mgr;
        mgr.ServerIfc().ResetRequestClock();
        mgr.GetNewSequence("demo");
        STrackInfo rec;
        ASSERT_TRUE(testsupport::NextTrack(mgr, rec));
        ASSERT_TRUE(testsupport::DownloadEnded(mgr));

        // 10 bytes a second measured over the last 2 s of 95.5 since the clock was reset;
        // the station's ccdthresh of 25 scales it.
        clock.Advance(93500);
        CConnectionRateMeter meter;
        meter.SetWindow(1);
        for (int i = 0; i < 20; ++i)
        {
            meter.AddSample(1, 0.1);
            clock.Advance(100);
        }
        mgr.ServerIfc().SetRateMeter(&meter);

        for (int i = 0; i < 3; ++i) // the last track of the sequence asks for the next one
            ASSERT_TRUE(testsupport::NextTrack(mgr, rec));
        ASSERT_TRUE(testsupport::DownloadEnded(mgr));
        mgr.ServerIfc().SetRateMeter(nullptr);
    }

    const std::vector<std::string> targets = SequenceTargets(2);
    ASSERT_EQ(targets.size(), 2u);
    EXPECT_EQ(FieldOf(targets[0], "TIME"), "0");
    EXPECT_EQ(FieldOf(targets[0], "CCD"), "100"); // 12.5 bytes a second, as bits
    EXPECT_EQ(FieldOf(targets[1], "TIME"), "95");
    EXPECT_EQ(FieldOf(targets[1], "CCD"), "64");
    std::string stored; // the measured rate is kept for the next session
    host::PrefQueryValueString("OVRadio", "Last CCD", 100, stored);
    EXPECT_EQ(stored, "10.000");
}

TEST_F(StationIntegration, TheFirstBlockReleasesTheWaiterAndALongLineIsAssembled)
{
    station.Rules().AddRule("station demo hold 2048 times 1");
    station.Rules().AddRule("station demo sequence-body long-line 2 times 1");
    CRadioSequenceMgr mgr;
    mgr.GetNewSequence("demo");
    STrackInfo rec;
    ASSERT_TRUE(testsupport::NextTrack(mgr, rec)); // while the station holds all after 2048 bytes
    EXPECT_EQ(rec.trackid, 101u);
    EXPECT_TRUE(mgr.ServerIfc().IsRadioTracksDownloadActive());
    ASSERT_TRUE(station.WaitForHolds(1)); // the client may have its bytes before the stall
    station.ReleaseHeld();
    ASSERT_TRUE(testsupport::DownloadEnded(mgr));
    ASSERT_TRUE(testsupport::NextTrack(mgr, rec));
    EXPECT_EQ(rec.trackid, 102u);
    EXPECT_EQ(rec.album, std::string(5000, 'A'));
    ASSERT_TRUE(testsupport::NextTrack(mgr, rec)); // the line after the long one is whole too
    EXPECT_EQ(rec.trackid, 103u);
}

TEST_F(StationIntegration, AnAbortEndsTheDownloadWhileTheStationStalls)
{
    // Stalled before the answer's head (the send waits), then after 100 bytes of the
    // header (a read waits).
    const char* const kRules[] = {"station demo delay 600000 times 1",
                                  "station demo hold 100 times 1"};
    uint32_t nHolds = 0;
    for (const char* rule : kRules)
    {
        SCOPED_TRACE(rule);
        station.Rules().AddRule(rule);
        CRadioSequenceMgr mgr;
        mgr.GetNewSequence("demo");
        std::atomic<int> result{-1};
        std::thread reader = TakeNextTrackAside(mgr, result);
        EXPECT_TRUE(station.WaitForHolds(++nHolds)); // the abort below ends the reader anyway
        mgr.Abort();
        testsupport::Within("the reader to return", [&] { reader.join(); });
        EXPECT_EQ(result, FALSE);
        EXPECT_TRUE(testsupport::DownloadEnded(mgr));
        EXPECT_FALSE(mgr.ServerIfc().IsRadioTracksDownloadActive());
        STrackInfo rec;
        EXPECT_FALSE(testsupport::NextTrack(mgr, rec));
        EXPECT_EQ(mgr.GetNextDisplayText(), std::string("no"));
        station.ReleaseHeld();
    }
}

TEST_F(StationIntegration, ASequenceAnswerThirtySecondsLateRaisesTheDelayEvent)
{
    platform::ManualClock clock;
    station.Rules().AddRule("station demo delay 600000 times 1");
    CRadioSequenceMgr mgr;
    mgr.GetNewSequence("demo");
    std::atomic<int> result{-1};
    std::thread reader = TakeNextTrackAside(mgr, result);
    EXPECT_TRUE(station.WaitForHolds(1)); // the request is sent: timed from before now
    clock.Advance(30000);
    station.ReleaseHeld();
    testsupport::Within("the reader to return", [&] { reader.join(); });
    EXPECT_EQ(result, TRUE);
    const std::string events = Events();
    EXPECT_NE(events.find("\"name\":\"ServerHttpRequestDelay\""), std::string::npos) << events;
    EXPECT_NE(events.find("\"WaitTime\":30,\"ReturnValue\":1"), std::string::npos) << events;
}
