// The engine against stations that speak TLS, with certificates made for the run: every
// address keeps its https scheme (sequence, time, content), tracks play byte-exact, cut and
// reset answers are resumed, a split track's cache part goes through the disk cache; a
// server whose certificate does not verify is a clear error, nothing is played, and no
// request goes out over plain HTTP; the system's CA bundle is read once for every connection.
#include "download/DownloadTestSupport.h"
#include "engine/StreamManager.h"
#include "integration/StationFixture.h"
#include "integration/StationTracks.h"
#include "integration/StreamPlayer.h"
#include "platform/Http.h"
#include "support/TestCertificates.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

using streamtest::CStatusRecorder;
using testsupport::ECertificate;

namespace
{
constexpr DWORD kSize = 300000;

station::StationOptions TlsOptions(const testsupport::STlsFiles& files)
{
    station::StationOptions options = integration::FixedClockOptions();
    options.tlsCertFile = files.certFile;
    options.tlsKeyFile = files.keyFile;
    return options;
}

// The records of a station: handshakes that failed, and requests (any method).
std::size_t Count(const std::vector<station::RequestRecord>& records, bool bHandshakes)
{
    std::size_t n = 0;
    for (const station::RequestRecord& record : records)
        n += (record.note.rfind("tls: ", 0) == 0) == bHandshakes ? 1 : 0;
    return n;
}

class TlsStation : public integration::StationIntegration
{
protected:
    void SetUp() override
    {
        StationIntegration::SetUp();
        ASSERT_EQ(
            host::PrefSetValueString("OVRadio", "SequenceUrl", tls.BaseUrl() + "/sequence.m3u?"),
            0);
        ASSERT_EQ(host::PrefSetValueString("OVRadio", "TlsCaFile", authority.CaFile()), 0);
    }

    testsupport::CTestAuthority authority{home.Path().string()};
    station::Station tls{TlsOptions(authority.Issue(ECertificate::eGood, "good"))};
    CStatusRecorder status;
};
} // namespace

TEST_F(TlsStation, PlaysByteExactResumesCutAndResetAnswersAndCachesSplitParts)
{
    struct SRow
    {
        const char* pszName;
        std::vector<std::string> rules; // "T" stands for the track's id
        DWORD dwCacheSize;              // a cache part of this size (weights 1:1), or none
        std::size_t nRequests;          // content requests over TLS
    };
    const SRow kRows[] = {
        {"played whole", {}, 0, 1},
        {"an answer cut and resumed by range", {"track T cut 100000 times 1"}, 0, 2},
        {"an answer reset and resumed by range", {"track T reset 100000 times 1"}, 0, 2},
        {"a split track whose cache part goes through the disk cache", {}, 64000, 2},
    };
    DWORD dwTrackId = 2700;
    for (const SRow& row : kRows)
    {
        SCOPED_TRACE(row.pszName);
        const std::string id = std::to_string(++dwTrackId);
        std::vector<std::string> rules = row.rules;
        if (row.dwCacheSize != 0)
            rules.push_back("track T/cache size " + std::to_string(row.dwCacheSize));
        const std::string stationId =
            integration::OneTrackStation(tls, "tls", dwTrackId, kSize, rules);

        const std::optional<std::string> played = streamtest::PlayFirstTrack(stationId, status);
        ASSERT_TRUE(played) << "no track was handed out";
        const std::string& bytes = *played;
        const std::string song = downloadtest::StationSong(dwTrackId, kSize);
        const std::string expected =
            row.dwCacheSize == 0
                ? song
                : integration::Interleaved(
                      downloadtest::StationCachePart(dwTrackId, row.dwCacheSize), 1, song, 1);
        EXPECT_EQ(bytes.size(), expected.size());
        EXPECT_TRUE(bytes == expected) << "a wrong byte reached the player";
        const auto content = integration::RequestsTo(tls, "/content/" + id + "/", row.nRequests);
        EXPECT_EQ(content.size(), row.nRequests);
        if (row.dwCacheSize != 0)
        {
            std::size_t nFiles = 0;
            for (const auto& entry : std::filesystem::recursive_directory_iterator(home.Path()))
                nFiles += entry.path().filename() == "OVC" + id + ".DAT" ? 1 : 0;
            EXPECT_EQ(nFiles, 1u) << "the cache part has no file in the disk cache";
        }
    }
    // The time and sequence requests went to the TLS station too, and nothing was plain.
    EXPECT_FALSE(integration::RequestsTo(tls, "/sequence.m3u?", 1).empty());
    EXPECT_FALSE(integration::RequestsTo(tls, "/ovdk/radiotime?", 1).empty());
    // No handshake was refused (a connection dropped at the session's end may leave early)
    // and none spoke plain HTTP.
    for (const station::RequestRecord& record : tls.Requests())
        EXPECT_TRUE(record.note.find("alert") == std::string::npos &&
                    record.note.find("http request") == std::string::npos)
            << record.note;
    EXPECT_TRUE(station.Requests().empty());
}

TEST_F(TlsStation, AServerThatCannotBeTrustedIsAClearErrorAndNothingIsPlayed)
{
    struct SRow
    {
        const char* pszName;
        ECertificate eKind;
        bool bContentServer; // only the content server has the certificate
        DWORD dwError;
        const char* pszReason; // part of the TLS library's reason
    };
    namespace http = platform::http;
    const SRow kRows[] = {
        {"an unknown authority", ECertificate::eUnknownAuthority, false,
         http::ERROR_INTERNET_INVALID_CA, "unable to get local issuer certificate"},
        {"a host name that does not match", ECertificate::eOtherHost, false,
         http::ERROR_INTERNET_SEC_CERT_CN_INVALID, "subject name"},
        {"an expired certificate", ECertificate::eExpired, false,
         http::ERROR_INTERNET_SEC_CERT_DATE_INVALID, "certificate has expired"},
        {"a content server with an expired certificate", ECertificate::eExpired, true,
         http::ERROR_INTERNET_SEC_CERT_DATE_INVALID, "certificate has expired"},
    };
    int nRow = 0;
    for (const SRow& row : kRows)
    {
        SCOPED_TRACE(row.pszName);
        const std::string id = std::to_string(2800 + ++nRow);
        station::Station bad{TlsOptions(authority.Issue(row.eKind, "bad" + id))};
        const std::string stationId = "distrust" + id;
        tls.Rules().AddRule("station " + stationId + " tracks " + id);
        tls.Rules().AddRule("station " + stationId + " sequence-status 244 after 1");
        tls.Rules().AddRule("track " + id + " field songurl=" + bad.BaseUrl() + "/content/" + id +
                            "/song.mp3?TOK=1");
        if (!row.bContentServer)
        {
            ASSERT_EQ(host::PrefSetValueString("OVRadio", "SequenceUrl",
                                               bad.BaseUrl() + "/sequence.m3u?"),
                      0);
        }
        ForgetServerTime();
        const std::size_t nFrom = status.Count();
        EXPECT_FALSE(streamtest::PlayFirstTrack(stationId, status)) << "a track was handed out";
        // The events name the error and the TLS library's reason.
        const std::string event = row.bContentServer ? "ContentServerError" : "SequenceServerError";
        EXPECT_TRUE(downloadtest::WaitUntil(
            [&]
            {
                const std::string events = Events();
                return events.find("\"name\":\"" + event + "\"") != std::string::npos &&
                       events.find("\"LastError\":" + std::to_string(row.dwError)) !=
                           std::string::npos &&
                       events.find(row.pszReason) != std::string::npos;
            }))
            << Events();
        // The host hears why: status 3 with the reason, when the sequence server failed.
        if (!row.bContentServer)
        {
            bool bTold = false;
            const auto calls = status.Calls();
            for (std::size_t i = nFrom; i < calls.size(); ++i)
                bTold = bTold || (calls[i].first == 3 &&
                                  calls[i].second.find(row.pszReason) != std::string::npos);
            EXPECT_TRUE(bTold) << "no status 3 with the reason";
        }
        // The bad server saw handshakes only: one for content (no recovery loop), and not a
        // request in plain HTTP.
        EXPECT_TRUE(bad.WaitForRequests([](const auto& records) { return !records.empty(); }));
        const auto records = bad.Requests();
        EXPECT_EQ(Count(records, false), 0u) << "a request got through";
        if (row.bContentServer)
        {
            EXPECT_EQ(Count(records, true), 1u);
        }
        for (const station::RequestRecord& record : records)
            EXPECT_EQ(record.note.find("http request"), std::string::npos) << record.note;
        EXPECT_TRUE(station.Requests().empty());
        ASSERT_EQ(
            host::PrefSetValueString("OVRadio", "SequenceUrl", tls.BaseUrl() + "/sequence.m3u?"),
            0);
    }
}

// The system's CA bundle is read once for all connections and trusted by every session: a
// session without a trust file of its own reaches a station whose authority stands in the
// bundle, and is refused where the bundle does not name it.
TEST_F(TlsStation, EveryConnectionTrustsTheSystemBundleReadOnce)
{
    namespace http = platform::http;
    const struct
    {
        const char* pszName;
        std::string strBundle; // empty: the system's own
        bool bTrusted;
    } kRows[] = {
        {"the station's authority in the bundle", authority.CaFile(), true},
        {"the system's own bundle", {}, false},
    };
    const std::size_t nReadsBefore = http::SystemTrustBundleReads();
    for (const auto& row : kRows)
    {
        SCOPED_TRACE(row.pszName);
        http::StandInForSystemTrustBundle(row.strBundle);
        for (int i = 0; i < 2; ++i)
        {
            http::Session session("Test Agent");
            http::Connection connection(session, "127.0.0.1", tls.Port(), http::EScheme::eHttps);
            http::Request request(connection, "GET", "/ovdk/radiotime?VERSION=1.0");
            EXPECT_EQ(request.Send(), row.bTrusted) << request.FailureText();
            if (!row.bTrusted)
            {
                EXPECT_EQ(http::LastError(), http::ERROR_INTERNET_INVALID_CA);
            }
        }
    }
    http::StandInForSystemTrustBundle({});
    EXPECT_EQ(http::SystemTrustBundleReads() - nReadsBefore, 2u) << "not once per bundle";
}

// A content server over TLS that redirects to plain HTTP: the track is refused, and the
// plain server never hears the request.
TEST_F(TlsStation, ARedirectFromHttpsToPlainHttpIsRefused)
{
    const std::string id = "2901";
    tls.Rules().AddRule("station downgrade tracks " + id);
    tls.Rules().AddRule("station downgrade sequence-status 244 after 1");
    tls.Rules().AddRule("track " + id + " redirect " + station.BaseUrl() + "/content/" + id +
                        "/song.mp3?TOK=1");
    EXPECT_FALSE(streamtest::PlayFirstTrack("downgrade", status)) << "a track was handed out";
    EXPECT_TRUE(downloadtest::WaitUntil(
        [&] { return Events().find("\"name\":\"ContentServerError\"") != std::string::npos; }))
        << Events();
    EXPECT_FALSE(integration::RequestsTo(tls, "/content/" + id + "/", 1).empty());
    EXPECT_TRUE(station.Requests().empty()) << "a request went out over plain HTTP";
}
