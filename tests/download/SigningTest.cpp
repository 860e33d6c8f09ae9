// The signing of content addresses and of resumed requests where the station cannot show
// it (the station checks every signature of the integration tests): addresses that cannot
// be signed, the retry token's decoding edges computed here from the rules (the MD5 of the
// identifier, the value, the offset and the repair phrase), and the errors that recover.
#include "download/InternetCacheDownloader.h"
#include "download/TrackDownloader.h"
#include "host/Md5.h"
#include "host/UserId.h"
#include "host/WorkerError.h"
#include "platform/Http.h"
#include "support/TestSupport.h"
#include "support/TraceCapture.h"

#include <gtest/gtest.h>
#include <string>

namespace
{
class Signing : public ::testing::Test
{
protected:
    testsupport::TempHome home;
    const std::string uid = GetUserId();
};
} // namespace

TEST_F(Signing, AddressesThatCannotBeSignedAreUsedUnchangedWithATrace)
{
    testsupport::TraceCapture trace;
    const std::string cases[] = {
        "http://h/c?TOK=1&CID=2",             // no MAGIC=
        "http://h/c?MAGIC=a%3aZZZZZZ",        // no '&' after the value
        "http://h/c?MAGIC=a%3aZZZZZZ&CID=2",  // one delimiter
        "http://h/c?MAGIC=a%3aZZZ&CID=b%3a2", // the second one belongs to another field
    };
    for (const std::string& url : cases)
        EXPECT_EQ(CTrackDownloader::SignUrl(url), url);
    EXPECT_TRUE(trace.HasLine("Could not sign track -No MAGIC tok(http://h/c?TOK=1&CID=2)"));
    EXPECT_TRUE(trace.HasLineContaining("Could not sign track -No MAGIC value deliminator("));
    EXPECT_TRUE(trace.HasLineContaining("Could not sign track -No deliminator("));
}

TEST_F(Signing, TheRetryTokenBindsTheUserTheValueAndTheOffset)
{
    const std::string url = "http://h/c?TOK=3&MAGIC=ovr%3aABCDEF%3a5%2Bsong%20x&CID=5";
    // The address is decoded once; a value that still holds '%' is decoded again.
    const std::string expected =
        host::Md5Hex(uid + "ovr:ABCDEF:5+song x" + "5000-" + "Tuner Link Repair Note").substr(0, 7);
    EXPECT_EQ(mcInternetCacheDownloader::BuildRetryToken(url, 5000, 7), expected);
    const std::string twice = "http://h/c?MAGIC=a%253ab&CID=5";
    EXPECT_EQ(mcInternetCacheDownloader::BuildRetryToken(twice, 0, 7),
              host::Md5Hex(uid + "a:b" + "0-" + "Tuner Link Repair Note").substr(0, 7));
    // A value that runs to the end of the address.
    EXPECT_EQ(mcInternetCacheDownloader::BuildRetryToken("http://h/c?MAGIC=v", 12, 7),
              host::Md5Hex(uid + "v" + "12-" + "Tuner Link Repair Note").substr(0, 7));

    testsupport::TraceCapture trace;
    EXPECT_EQ(mcInternetCacheDownloader::BuildRetryToken("http://h/c?CID=5", 10, 7), "");
    EXPECT_TRUE(trace.HasLine("No MAGIC token while creating RETRY=..., and return empty str"));
    EXPECT_THROW(mcInternetCacheDownloader::BuildRetryToken("http://h/c?MAGIC=", 10, 7),
                 CWorkerError);
}

TEST(RecoverableErrors, AreAnEndWithoutErrorATimeOutARefusedOrABrokenConnection)
{
    namespace http = platform::http;
    for (DWORD dwError :
         {DWORD{0}, http::ERROR_INTERNET_TIMEOUT, http::ERROR_INTERNET_CANNOT_CONNECT,
          http::ERROR_INTERNET_CONNECTION_ABORTED, http::ERROR_INTERNET_CONNECTION_RESET})
        EXPECT_TRUE(mcInternetCacheDownloader::IsRecoverableError(dwError)) << dwError;
    for (DWORD dwError : {http::ERROR_INTERNET_OPERATION_CANCELLED, http::ERROR_INVALID_HANDLE,
                          http::ERROR_HTTP_INVALID_SERVER_RESPONSE})
        EXPECT_FALSE(mcInternetCacheDownloader::IsRecoverableError(dwError)) << dwError;
}
