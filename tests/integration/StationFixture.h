// What the tests against ovradio-station share: a private runtime folder whose sequence
// URL points at an in-process station, the event log running, and the helpers that read
// the station's request records and the tools' output.
#pragma once

#include "SequenceTool.h"
#include "Station.h"
#include "host/Preferences.h"
#include "hostlibs/EventMgr.h"
#include "sequence/TimeStamp.h"
#include "support/TestSupport.h"
#include "support/TraceCapture.h"
#include "support/Wait.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace integration
{
using testsupport::LinesOf;

// The value of KEY in a request target's query ("<none>" when absent).
inline std::string FieldOf(const std::string& target, const std::string& key)
{
    std::size_t nAt = target.find("?" + key + "=");
    if (nAt == std::string::npos)
        nAt = target.find("&" + key + "=");
    if (nAt == std::string::npos)
        return "<none>";
    const std::size_t nStart = nAt + key.size() + 2;
    const std::size_t nEnd = target.find('&', nStart);
    return target.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
}

// How often `what` occurs in text.
inline std::size_t Count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The sequence tool in this process, which waits for tracks without a limit of its own.
inline int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                   testsupport::SCallSite where = {__builtin_FILE(), __builtin_LINE()})
{
    return testsupport::Within(
        "ovradio-sequence to end", [&] { return RunSequenceTool(args, out, err); },
        testsupport::kWaitLimitMs, where);
}

// Adds a station of one track of dwSize bytes to the server's rules, named prefix and the
// track's id; " T" in a rule stands for the id. Its second sequence request is answered
// with 244, so that no further sequence comes. The station's name.
inline std::string OneTrackStation(station::Station& server, const std::string& prefix,
                                   DWORD dwTrackId, DWORD dwSize, std::vector<std::string> rules)
{
    const std::string id = std::to_string(dwTrackId);
    const std::string stationId = prefix + id;
    for (std::string& rule : rules)
        server.Rules().AddRule(rule.replace(rule.find(" T"), 2, " " + id));
    server.Rules().AddRule("track " + id + " size " + std::to_string(dwSize));
    server.Rules().AddRule("station " + stationId + " tracks " + id);
    server.Rules().AddRule("station " + stationId + " sequence-status 244 after 1");
    return stationId;
}

// The station's wall clock stands a minute into an hour, so a client whose manual clock
// runs minutes ahead still signs for the hour the station checks. Its `music` tracks last
// three seconds and stay in memory, so the tests never write the user's cache folder.
inline station::StationOptions FixedClockOptions()
{
    station::StationOptions options;
    options.nowSeconds = [] { return uint64_t{499056} * 3600 + 60; };
    options.musicCacheFolder.clear();
    options.musicSeconds = 3;
    return options;
}

class StationIntegration : public ::testing::Test
{
protected:
    void SetUp() override
    {
        EXPECT_EQ(host::PrefSetValueString("OVRadio", "SequenceUrl",
                                           station.BaseUrl() + "/sequence.m3u?"),
                  0);
        ForgetServerTime();
        ResetTimeStampAbort();
        InitEventMgr();
    }
    void TearDown() override
    {
        UnInitEventMgr();
        if (HasFailure())
            for (const std::string& line : trace.Lines())
                std::fprintf(stderr, "trace: %s\n", line.c_str());
    }

    // The targets of the sequence requests the station has answered, in order, once it
    // has logged at least n of them.
    std::vector<std::string> SequenceTargets(std::size_t n)
    {
        std::vector<std::string> targets;
        const bool bLogged = station.WaitForRequests(
            [&](const std::vector<station::RequestRecord>& records)
            {
                targets.clear();
                for (const station::RequestRecord& record : records)
                    if (record.target.rfind("/sequence.m3u?", 0) == 0)
                        targets.push_back(record.target);
                return targets.size() >= n;
            });
        EXPECT_TRUE(bLogged) << "the station logged " << targets.size() << " of " << n
                             << " sequence requests";
        return targets;
    }

    std::string Events()
    {
        testsupport::Within("the event log to be flushed", [] { GetEventMgr()->Flush(); });
        return testsupport::ReadFile(home.File("events.log"));
    }

    testsupport::TempHome home;
    testsupport::TraceCapture trace;
    station::Station station{FixedClockOptions()};
};
} // namespace integration
