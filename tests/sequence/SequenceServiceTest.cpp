// The sequence service against a scripted sequence and time server on loopback, for what
// the station does not give: the request's every field, answers that yield no track,
// sequences cleared or aborted while sent, the time server and the tool's options.
#include "SequenceTool.h"
#include "host/Md5.h"
#include "host/Preferences.h"
#include "host/UserId.h"
#include "hostlibs/EventMgr.h"
#include "platform/Clock.h"
#include "sequence/RadioSequenceMgr.h"
#include "sequence/SequenceDownload.h"
#include "sequence/ServerIfc.h"
#include "sequence/TimeStamp.h"
#include "sequence/XmlDocument.h"
#include "support/RawServer.h"
#include "support/SequenceWait.h"
#include "support/TestSupport.h"
#include "support/TraceCapture.h"
#include "support/Wait.h"

#include <atomic>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using testsupport::DownloadEnded;
using testsupport::Head;
using testsupport::NextTrack;
using testsupport::SendAll;

namespace
{
const std::string kHeader = "status_code=200\nsession_id=77\ncachelow=5\ncachehigh=20\n"
                            "numcaches=3\nminbr=64\nstartthresh=4\nccdwindow=10\nccdthresh=0\n";
const std::string kTimeFile = "<SESSION><INFO strTimeStamp=\"3600000\"/></SESSION>";

std::string TrackLine(int id)
{
    return "OVDK::trackid=" + std::to_string(id) + "::track=Song" + std::to_string(id) +
           "::songurl=http://127.0.0.1/t" + std::to_string(id) +
           "::songbr=128::songsize=5000::numchans=2::samplerate=44100::nextdisplay=Next" +
           std::to_string(id) + "::skip=0::\n";
}

bool IsSequenceRequest(const std::string& request)
{
    return request.rfind("POST /sequence.m3u?", 0) == 0;
}

// One server for the time request and the sequence requests; the test scripts the
// sequence answers, the n-th (from 0) on the n-th sequence request.
class SequenceStation
{
public:
    using Answer = std::function<void(int fd, int n)>;

    explicit SequenceStation(Answer answer)
        : m_answer(std::move(answer)),
          m_server([this](int fd, const std::string& r) { Serve(fd, r); })
    {
        const std::string url =
            "http://127.0.0.1:" + std::to_string(m_server.Port()) + "/sequence.m3u?";
        EXPECT_EQ(host::PrefSetValueString("OVRadio", "SequenceUrl", url), 0);
        ForgetServerTime();
    }

    // The queries of the sequence requests' first lines ("POST /sequence.m3u?... HTTP/1.1").
    std::vector<std::string> SequenceQueries()
    {
        std::vector<std::string> queries;
        for (const std::string& request : m_server.Requests())
            if (IsSequenceRequest(request))
                queries.push_back(request.substr(19, request.find(' ', 19) - 19));
        return queries;
    }
    std::vector<std::string> Requests() { return m_server.Requests(); }
    platform::Event& Release() { return m_server.Release; }
    // Runs on the server's thread before the time request is answered.
    std::function<void()> BeforeTimeAnswer;
    // Set when a sequence request has come.
    platform::Event SequenceSeen{false, false};

private:
    void Serve(int fd, const std::string& request)
    {
        if (!IsSequenceRequest(request))
        {
            if (BeforeTimeAnswer)
                BeforeTimeAnswer();
            SendAll(fd, Head("200 OK", kTimeFile.size()) + kTimeFile);
            return;
        }
        SequenceSeen.Set();
        m_answer(fd, m_nSequence++);
    }

    Answer m_answer;
    int m_nSequence = 0; // the server answers one request at a time
    testsupport::RawServer m_server;
};

void Answer200(int fd, const std::string& body)
{
    SendAll(fd, Head("200 OK", body.size()) + body);
}

std::string FieldOf(const std::string& query, const std::string& key)
{
    const std::size_t nAt = query.find("&" + key + "=");
    if (nAt == std::string::npos)
        return "<none>";
    const std::size_t nStart = nAt + key.size() + 2;
    const std::size_t nEnd = query.find('&', nStart);
    return query.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
}

class SequenceServiceTest : public ::testing::Test
{
protected:
    void SetUp() override { InitEventMgr(); }
    void TearDown() override
    {
        UnInitEventMgr();
        if (HasFailure())
            for (const std::string& line : trace.Lines())
                std::fprintf(stderr, "trace: %s\n", line.c_str());
    }

    std::string Events()
    {
        testsupport::Within("the event log to be flushed", [] { GetEventMgr()->Flush(); });
        return testsupport::ReadFile(home.File("events.log"));
    }

    testsupport::TempHome home;
    testsupport::TraceCapture trace;
};
} // namespace

TEST_F(SequenceServiceTest, RequestFieldsSignatureAndTracksInOrder)
{
    SequenceStation station(
        [](int fd, int) { Answer200(fd, kHeader + TrackLine(1) + TrackLine(2) + TrackLine(3)); });
    const std::string uid = GetUserId();
    // A rate kept from the last session, below a byte a second, is sent until one is
    // measured: 0.5 bytes a second as bits at a ccdthresh of 0.
    ASSERT_EQ(host::PrefSetValueString("OVRadio", "Last CCD", "0.500"), 0);
    CRadioSequenceMgr mgr;
    mgr.ServerIfc().Params().strUserId = "42";
    mgr.ServerIfc().Params().strDispStation = "Rock & Roll";
    mgr.ServerIfc().ResetRequestClock();
    mgr.GetNewSequence("Rock & Roll");

    STrackInfo rec;
    ASSERT_TRUE(NextTrack(mgr, rec));
    EXPECT_EQ(rec.trackid, 1u);
    EXPECT_EQ(rec.cachelow, 5u); // the header's values reach every track
    ASSERT_TRUE(DownloadEnded(mgr));
    ASSERT_TRUE(NextTrack(mgr, rec));
    EXPECT_EQ(rec.trackid, 2u);
    EXPECT_EQ(rec.comingup, "Next3");
    ASSERT_TRUE(NextTrack(mgr, rec)); // the last: the next request starts at once
    EXPECT_EQ(rec.trackid, 3u);
    // The next sequence may already have come when the coming-up text is read: then it
    // names that sequence's first track.
    EXPECT_TRUE(rec.comingup == "no" || rec.comingup == "Next1") << rec.comingup;
    ASSERT_TRUE(DownloadEnded(mgr));

    const std::vector<std::string> queries = station.SequenceQueries();
    ASSERT_GE(queries.size(), 1u);
    const std::string& query = queries[0];
    EXPECT_EQ(query.rfind("REQUEST=RADIO_TRACKS&OVUID=42%3A" + uid +
                              "&STATION_ID=Rock%20%26%20Roll"
                              "&DISPSTATION=Rock%20%26%20Roll&VERSION=&GRANT=0&LANG=ENU&TOKEN=",
                          0),
              0u)
        << query;
    EXPECT_EQ(FieldOf(query, "CCD"), "4");
    EXPECT_EQ(FieldOf(query, "TIME"), "0");
    EXPECT_EQ(FieldOf(query, "SEQABORT"), "0");
    EXPECT_EQ(FieldOf(query, "LOG"),
              host::Md5Hex(uid + "1000" + "Harbor Lantern Quill Meadow Signal"));
    const std::vector<std::string> requests = station.Requests();
    EXPECT_EQ(requests[0].rfind("GET /ovdk/radiotime?VERSION=&OVUID=" + uid + " ", 0), 0u)
        << requests[0];
    EXPECT_NE(requests[1].find("Accept: application/x-www-urlencoded\r\n"), std::string::npos);
    EXPECT_EQ(mgr.GetSequenceStatus(), 200);
}

// Answers that yield no track: how often each is asked for, the status the station is left
// with and what the host is told. An answer without tracks is asked for again after
// Initialize, reported as abandoned.
TEST_F(SequenceServiceTest, AnswersWithoutATrackEndTheStationAsTheyShould)
{
    struct SRow
    {
        const char* name;
        std::string body;
        std::size_t nRequests;
        int nStatus;          // 0: not checked
        const char* pszEvent; // a text of the event log ("" for none)
        const char* pszTrace; // a text of a trace line ("" for none)
        bool bOversized;      // the request carries a user info and a format too long for the URL
    };
    const SRow rows[] = {
        {"an empty answer is sent three times", kHeader, 3, 404,
         "Maximum number of sequence retries reached. Quitting", "", false},
        {"an endless track line is dropped past 1 MiB each time",
         kHeader + "OVDK::trackid=1::track=" + std::string(kMaxTrackLineBuffer + 4096, 'x'), 3, 404,
         "", "", false},
        {"the station's end", "status_code=244\n" + kHeader.substr(16), 1, 244, "",
         "CRadioSequenceMgr::GetNextSequence returned FALSE onSequence code - 244", false},
        {"a header without its fields", "status_code=200\nsession_id=1\n" + TrackLine(1), 1, 0,
         "\"SequenceServerError\"", "", false},
        {"a request too long for its URL is never sent", kHeader + TrackLine(1), 0, 0, "",
         "StartSequenceDownload - the request url would be", true},
    };
    for (const SRow& row : rows)
    {
        SCOPED_TRACE(row.name);
        trace.Clear();
        SequenceStation station([&](int fd, int) { Answer200(fd, row.body); });
        CRadioSequenceMgr mgr;
        if (row.bOversized)
        {
            mgr.ServerIfc().Params().strUserInfo = std::string(1000, 'u'); // fits encoded
            mgr.ServerIfc().Params().strAFD = std::string(1000, 'a');
        }
        mgr.GetNewSequence("demo");
        STrackInfo rec;
        EXPECT_FALSE(NextTrack(mgr, rec));
        ASSERT_TRUE(DownloadEnded(mgr));
        EXPECT_FALSE(NextTrack(mgr, rec)); // no further request for this station
        EXPECT_EQ(station.SequenceQueries().size(), row.nRequests);
        if (row.nStatus != 0)
        {
            EXPECT_EQ(mgr.GetSequenceStatus(), row.nStatus);
        }
        if (*row.pszEvent != '\0')
        {
            EXPECT_NE(Events().find(row.pszEvent), std::string::npos) << row.pszEvent;
        }
        if (*row.pszTrace != '\0')
        {
            EXPECT_TRUE(trace.HasLineContaining(row.pszTrace)) << row.pszTrace;
        }
        if (row.nStatus == 404 && row.body == kHeader)
        {
            mgr.Initialize();
            EXPECT_FALSE(NextTrack(mgr, rec));
            const std::vector<std::string> queries = station.SequenceQueries();
            ASSERT_EQ(queries.size(), 6u);
            EXPECT_EQ(FieldOf(queries[3], "SEQABORT"), "1");
        }
    }
}

// A sequence cleared while its request is sent (a refresh, a refused track) fails by the
// abort, not by the server: the next track is asked for again.
TEST_F(SequenceServiceTest, ASequenceClearedWhileItIsSentIsAskedForAgain)
{
    SequenceStation* pStation = nullptr;
    SequenceStation station(
        [&](int fd, int n)
        {
            if (n == 0)
                EXPECT_TRUE(testsupport::Signalled(pStation->Release(), "the held answer"));
            else
                Answer200(fd, kHeader + TrackLine(1));
        });
    pStation = &station;
    CRadioSequenceMgr mgr;
    mgr.GetNewSequence("demo");
    std::thread reader(
        [&]
        {
            STrackInfo rec;
            mgr.GetNextTrack(rec); // joined within the limit below
        });
    EXPECT_TRUE(testsupport::Signalled(station.SequenceSeen, "the sequence request"));
    mgr.ClearSequence();
    station.Release().Set();
    testsupport::Within("the reader to return after the clearing", [&] { reader.join(); });
    STrackInfo rec;
    EXPECT_TRUE(NextTrack(mgr, rec));
    EXPECT_EQ(station.SequenceQueries().size(), 2u);
}

// Requests start on one thread while another aborts and asks for the status, as the
// stream manager's threads do; ThreadSanitizer reports any unguarded access between them.
TEST_F(SequenceServiceTest, AbortsFromAnotherThreadMeetRequestStartsSafely)
{
    SequenceStation station([](int fd, int) { Answer200(fd, kHeader + TrackLine(1)); });
    CServerIfc ifc;
    auto list = std::make_shared<CTrackList>();
    std::atomic<bool> bStop{false};
    platform::Event aborting(true, false);
    std::thread aborter(
        [&]
        {
            while (!bStop)
            {
                ifc.Abort();
                (void)ifc.GetDownloadStatus();
                (void)ifc.IsRadioTracksDownloadActive();
                aborting.Set();
            }
        });
    EXPECT_TRUE(testsupport::Signalled(aborting, "the first abort"));
    for (int i = 0; i < 20; ++i)
    {
        ifc.ResetAbort();
        // Two stations in turn, so a running download is aborted by the start as well.
        EXPECT_TRUE(ifc.StartSequenceDownload(i % 2 == 0 ? "even" : "odd", list));
    }
    bStop = true;
    testsupport::Within("the aborting thread to end", [&] { aborter.join(); });
    EXPECT_TRUE(testsupport::Within("the last download to end", [&]
                                    { return ifc.WaitForDownloadEnd(testsupport::kWaitLimitMs); }));
}

// A time request that takes the whole wait limit (30 s on the clock) raises the delay
// event, as a sequence request does.
TEST_F(SequenceServiceTest, ASlowTimeAnswerRaisesTheDelayEvent)
{
    platform::ManualClock clock;
    SequenceStation station([&](int fd, int) { Answer200(fd, kHeader + TrackLine(1)); });
    station.BeforeTimeAnswer = [&] { clock.Advance(30000); };
    CRadioSequenceMgr mgr;
    mgr.GetNewSequence("demo");
    STrackInfo rec;
    ASSERT_TRUE(NextTrack(mgr, rec));
    const std::string events = Events();
    EXPECT_NE(events.find("\"name\":\"ServerHttpRequestDelay\",\"params\":{\"ServerPath\""),
              std::string::npos)
        << events;
    EXPECT_NE(events.find("\"WaitTime\":30,\"ReturnValue\":1"), std::string::npos) << events;
}

TEST(SequenceClient, EncodingSplittingAndTheRequestClock)
{
    std::string text = "Rock & Roll\n$-_.+!*'()";
    ASSERT_TRUE(EncodeText(text));
    EXPECT_EQ(text, "Rock%20%26%20Roll%0A$-_.+!*'()");
    std::string tooLong(1000, ' ');
    EXPECT_FALSE(EncodeText(tooLong)); // 3000 characters would not fit
    EXPECT_EQ(tooLong.size(), 1000u);

    // Every address keeps its scheme; "" is a URL that does not split.
    const struct
    {
        std::string url, scheme, host, path;
        WORD port;
    } kSplits[] = {
        {"http://seq.example:8080/sequence.m3u?A=1", "http", "seq.example", "/sequence.m3u?A=1",
         8080},
        {"HTTPS://seq.example/s?A=1", "https", "seq.example", "/s?A=1", 443},
        {"https://127.0.0.1:8443/c/1.mp3", "https", "127.0.0.1", "/c/1.mp3", 8443},
        {"ftp://seq.example/s", "", "", "", 0},
        {"http://h/" + std::string(2100, 'p'), "", "", "", 0},
    };
    for (const auto& row : kSplits)
    {
        SCOPED_TRACE(row.url);
        SServerAddress address;
        ASSERT_EQ(SplitUrl(row.url, address), row.scheme.empty() ? FALSE : TRUE);
        if (row.scheme.empty())
            continue;
        EXPECT_EQ(address.eScheme, platform::http::SchemeOf(row.scheme));
        EXPECT_EQ(address.strHost, row.host);
        EXPECT_EQ(address.strPathWithQuery, row.path);
        EXPECT_EQ(address.nPort, row.port);
    }

    testsupport::TempHome home;
    // The time server: the preference as a whole address or a bare host:port (plain
    // HTTP), else the sequence server's scheme, host and port.
    const struct
    {
        const char* pszPreference;
        const char* pszSequenceUrl;
        const char* pszTimeServer;
    } kTimeServers[] = {
        {"", "https://seq.example:8443/sequence.m3u?", "https://seq.example:8443"},
        {"", "http://seq.example:8080/sequence.m3u?", "http://seq.example:8080"},
        {"time.example:81", "https://seq.example/sequence.m3u?", "http://time.example:81"},
        {"https://time.example:444/", "http://seq.example/sequence.m3u?",
         "https://time.example:444"},
    };
    for (const auto& row : kTimeServers)
    {
        SCOPED_TRACE(row.pszTimeServer);
        ASSERT_EQ(host::PrefSetValueString("OVRadio", "TimeServer", row.pszPreference), 0);
        EXPECT_EQ(TimeServerAddress(row.pszSequenceUrl), row.pszTimeServer);
    }
    ASSERT_EQ(host::PrefSetValueString("OVRadio", "TimeServer", ""), 0);
    platform::ManualClock clock;
    CServerIfc ifc;
    ifc.ResetRequestClock();
    EXPECT_EQ(ifc.GetRequestClock(), 0u);
    EXPECT_EQ(ifc.GetRequestClock(), 1u); // no time passed: the mark is taken again
}

TEST(SessionParameters, TheTimeAttributeIsFoundOnlyBelowTheRootInAnInfoElement)
{
    auto stamp = [](const std::string& xml)
    {
        CSessionParmsParser parser;
        char buffer[kTimeStampBufferSize] = "";
        if (parser.LoadFromBuffer(xml.c_str()))
            parser.GetTimeStamp(buffer, sizeof(buffer));
        return std::string(buffer);
    };
    EXPECT_EQ(stamp("<S><A><INFO STRTIMESTAMP=\"42\" strTimeStamp=\"7\"/></A></S>"), "42");
    EXPECT_EQ(stamp("<S><info strTimeStamp=\"42\"/></S>"), "");
    EXPECT_EQ(stamp("<INFO strTimeStamp=\"42\"/>"), "");
    EXPECT_EQ(stamp("<S><INFO strTimeStamp=\"" + std::string(300, '9') + "\"/></S>").size(), 255u);
}

TEST(SessionParameters, ServerTimeIsCarriedOnWithTheTickCount)
{
    testsupport::TempHome home;
    InitEventMgr();
    platform::ManualClock clock(100000);
    int nStatus = 200;
    testsupport::RawServer server(
        [&](int fd)
        {
            if (nStatus == 200)
                SendAll(fd, Head("200 OK", kTimeFile.size()) + kTimeFile);
            else
                SendAll(fd, Head("404 Not Found", 0));
        });
    auto params = std::make_shared<SSequenceThreadParams>();
    params->strTimeServer = "http://127.0.0.1:" + std::to_string(server.Port());
    params->strOVUID = "U1";

    // GetTimeStamp waits without a limit of its own for the time thread.
    auto timeStamp = [&]
    { return testsupport::Within("the server time", [&] { return GetTimeStamp(params); }); };
    nStatus = 404;
    ForgetServerTime();
    ResetTimeStampAbort();
    EXPECT_EQ(timeStamp(), 0u);
    testsupport::Within("the event log to be flushed", [] { GetEventMgr()->Flush(); });
    EXPECT_NE(testsupport::ReadFile(home.File("events.log"))
                  .find("DownloadServerTimeProc::HttpQueryInfo failed-status code=404"),
              std::string::npos);

    nStatus = 200;
    EXPECT_EQ(timeStamp(), 1000u); // 3600000 s at tick 100 s
    clock.Advance(7200000);
    EXPECT_EQ(timeStamp(), 1002u);           // (3600000 - 100 + 7300) / 3600
    EXPECT_EQ(server.Requests().size(), 2u); // known once, never asked again
    UnInitEventMgr();
}

// The tool's options and the statuses it prints (its tracks and ends against the station
// are in the integration tests).
TEST_F(SequenceServiceTest, TheToolSendsItsOptionsAndPrintsTheStatuses)
{
    SequenceStation station(
        [](int fd, int n)
        {
            if (n == 0)
                Answer200(fd, "status_code=245\npresequencebrowserscript=show%28%29\n" +
                                  kHeader.substr(16) + TrackLine(1));
            else
                Answer200(fd, "status_code=244\n" + kHeader.substr(16));
        });
    std::ostringstream out;
    std::ostringstream err;
    EXPECT_EQ(testsupport::Within("the sequence tool to end",
                                  [&]
                                  {
                                      return RunSequenceTool(
                                          {"--station", "demo", "--name", "Demo", "--user-info",
                                           "::id=42::usr_info=a b::", "--count", "3"},
                                          out, err);
                                  }),
              3);
    const std::vector<std::string> lines = testsupport::LinesOf(out.str());
    ASSERT_EQ(lines.size(), 4u) << out.str();
    EXPECT_EQ(lines[0], "{\"type\":\"status\",\"code\":9,\"text\":\"show()\"}");
    EXPECT_EQ(lines[1], "{\"type\":\"status\",\"code\":10,\"text\":null}");
    EXPECT_EQ(lines[3], "{\"type\":\"end\",\"tracks\":1,\"status\":244}");
    const std::vector<std::string> queries = station.SequenceQueries();
    ASSERT_FALSE(queries.empty());
    EXPECT_EQ(FieldOf(queries[0], "DISPSTATION"), "Demo");
    EXPECT_EQ(FieldOf(queries[0], "USR_INFO"), "a%20b");
    EXPECT_NE(queries[0].find("OVUID=42%3A"), std::string::npos);

    EXPECT_EQ(RunSequenceTool({"--count", "2"}, out, err), 2); // no station
    EXPECT_NE(err.str().find("usage: ovradio-sequence"), std::string::npos);
}
