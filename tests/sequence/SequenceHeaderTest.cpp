// Sequence headers: required fields, defaults and the status mapping.
#include "sequence/SequenceHeader.h"

#include "host/WorkerError.h"
#include "support/TestSupport.h"
#include "support/TraceCapture.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace
{
const std::string kHeader = "status_code=200\nsession_id=77\ncachelow=5\ncachehigh=20\n"
                            "numcaches=3\nminbr=64\nstartthresh=4\nminpreconnectcache=2\n"
                            "ccdwindow=10\nccdthresh=80\n";

struct Parsed
{
    STrackInfo rec;
    std::shared_ptr<SSequenceThreadParams> pParams = std::make_shared<SSequenceThreadParams>();
    SSequenceThreadParams& params = *pParams;
};

Parsed ParseOk(const std::string& block)
{
    Parsed p;
    ParseSequenceHeader(block, p.rec, p.params);
    return p;
}

std::string ParseError(const std::string& block)
{
    Parsed p;
    try
    {
        ParseSequenceHeader(block, p.rec, p.params);
    }
    catch (const CWorkerError& e)
    {
        return e.what();
    }
    return "";
}

std::string Without(const std::string& key)
{
    std::string text = kHeader;
    const auto at = text.find(key);
    text.erase(at, text.find('\n', at) - at + 1);
    return text;
}

class SequenceHeaderTest : public ::testing::Test
{
protected:
    testsupport::TempHome m_home;
};
} // namespace

TEST_F(SequenceHeaderTest, FillsTheTemplateRecordAndTheParameters)
{
    const Parsed p = ParseOk(kHeader + "presequencebrowserscript=go%28%29+now\nOVDK::x\n");
    EXPECT_EQ(p.params.nStatusCode, 200);
    EXPECT_EQ(p.params.nSessionID, 77u);
    EXPECT_EQ(p.rec.cachelow, 5u);
    EXPECT_EQ(p.rec.cachehigh, 20u);
    EXPECT_EQ(p.params.nNumCaches, 3);
    EXPECT_EQ(p.params.nMinBitRate, 64);
    EXPECT_EQ(p.rec.startthresh, 4u);
    EXPECT_EQ(p.rec.minpreconnectcache, 2u);
    EXPECT_EQ(p.params.nCCDWindow, 10);
    EXPECT_EQ(p.params.nCCDThresh, 80);
    EXPECT_EQ(p.params.strPreSeqBrowserScript, "go() now");
    EXPECT_EQ(p.params.EndRadioBrowserScript(), "");
    // Keys are found without regard to case.
    EXPECT_EQ(ParseOk("STATUS_CODE=244\n" + Without("status_code=")).params.nStatusCode, 244);
}

TEST_F(SequenceHeaderTest, EachMissingRequiredFieldHasItsError)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"status_code=", "ERROR!! No status code in the beginning of sequence\n"},
        {"cachelow=", "ERROR!! No cache low available in the beginning of sequence\n"},
        {"cachehigh=", "ERROR!! No cache high available in the beginning of sequence\n"},
        {"numcaches=", "ERROR!! No number of caches available in the beginning of sequence\n"},
        {"minbr=", "ERROR!! No min bitrate available in the beginning of sequence\n"},
        {"startthresh=", "ERROR!! No start threshold available in the beginning of sequence\n"},
        {"ccdwindow=", "ERROR!! No CCD WIN available in the beginning of sequence\n"},
        {"ccdthresh=", "ERROR!! No CCD THRESH available in the beginning of sequence\n"},
    };
    for (const auto& [key, error] : cases)
        EXPECT_EQ(ParseError(Without(key)), error) << key;
    EXPECT_EQ(ParseOk(Without("minpreconnectcache=")).rec.minpreconnectcache, 0u);

    // The values read before the missing field stay.
    Parsed p;
    EXPECT_THROW(ParseSequenceHeader(Without("ccdthresh="), p.rec, p.params), CWorkerError);
    EXPECT_EQ(p.params.nCCDWindow, 10);
    EXPECT_EQ(p.params.nCCDThresh, 0);
}

TEST_F(SequenceHeaderTest, StatusCodesMap)
{
    // The codes a sequence server sends stay; any other is a station not found.
    for (const auto& [nCode, nWant] :
         {std::pair{200, 200}, std::pair{244, 244}, std::pair{245, 245}, std::pair{500, 500},
          std::pair{404, 404}, std::pair{302, 404}})
        EXPECT_EQ(ProcessSequenceCode(nCode), nWant) << nCode;
    EXPECT_EQ(ParseOk("status_code=302\n" + Without("status_code=")).params.nStatusCode, 404);
}

TEST_F(SequenceHeaderTest, SessionIdentifierIsReadOrRandomAndSaved)
{
    EXPECT_EQ(ParseOk("session_id=0\n" + Without("session_id=")).params.nSessionID, 0u);
    testsupport::TraceCapture capture;
    const DWORD random = ParseOk("session_id=abc\n" + Without("session_id=")).params.nSessionID;
    EXPECT_LT(random, 60000u);
    EXPECT_TRUE(capture.HasLine("Got invalid SessionID from server - setting to random - " +
                                std::to_string(random)));
    EXPECT_NE(testsupport::ReadFile(m_home.File("preferences.ini"))
                  .find("SessionID=" + std::to_string(random)),
              std::string::npos);
    ParseOk(kHeader);
    EXPECT_NE(testsupport::ReadFile(m_home.File("preferences.ini")).find("SessionID=77"),
              std::string::npos);
}

TEST_F(SequenceHeaderTest, CarriageReturnsStayInTheValues)
{
    std::string crlf;
    for (const char c : kHeader)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const Parsed p = ParseOk(crlf);
    EXPECT_EQ(p.params.nCCDThresh, 80);
    EXPECT_EQ(p.rec.minpreconnectcache, 2u);
    std::string zeroPreconnect = crlf;
    zeroPreconnect.replace(zeroPreconnect.find("minpreconnectcache=2"), 20, "minpreconnectcache=0");
    EXPECT_EQ(ParseOk(zeroPreconnect).rec.minpreconnectcache, 0u);
    std::string zeroCaches = crlf;
    zeroCaches.replace(zeroCaches.find("numcaches=3"), 11, "numcaches=0");
    EXPECT_EQ(ParseError(zeroCaches),
              "ERROR!! No number of caches available in the beginning of sequence\n");
}
