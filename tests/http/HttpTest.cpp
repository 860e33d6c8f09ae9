// The HTTP client against small scripted servers on loopback: each server accepts on
// 127.0.0.1, reads a request head, records it and answers with the test's bytes.
#include "platform/Http.h"

#include "platform/Event.h"
#include "support/RawServer.h"
#include "support/Wait.h"

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace http = platform::http;

namespace
{
using testsupport::Head;
using testsupport::RawServer;
using testsupport::SendAll;
using testsupport::Signalled;
using testsupport::Within;

std::string Pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = char('a' + (i * 7 + i / 251) % 26);
    return bytes;
}

// Reads until 0 bytes or failure, in reads of the given size.
std::string ReadAll(http::Request& request, DWORD chunk, bool* pbOk = nullptr)
{
    std::string body;
    std::vector<char> buf(chunk);
    for (;;)
    {
        DWORD dwRead = 0;
        if (!request.Read(buf.data(), chunk, &dwRead))
        {
            if (pbOk != nullptr)
                *pbOk = false;
            return body;
        }
        if (dwRead == 0)
            break;
        body.append(buf.data(), dwRead);
    }
    if (pbOk != nullptr)
        *pbOk = true;
    return body;
}

struct Client
{
    explicit Client(WORD port, const char* verb = "GET", const char* path = "/x?a=1")
        : connection(session, "127.0.0.1", port), request(connection, verb, path)
    {
    }
    http::Session session{"Test Agent"};
    http::Connection connection;
    http::Request request;
};
} // namespace

TEST(HttpClient, ReportsStatusStatusLineAndBodyForEachStatus)
{
    for (const std::string status : {"200 OK", "206 Partial Content", "404 Not Found"})
    {
        const std::string body = "body of " + status;
        RawServer server([&](int fd) { SendAll(fd, Head(status, body.size()) + body); });
        Client client(server.Port());
        ASSERT_TRUE(client.request.Send()) << http::LastError();
        EXPECT_EQ(DWORD(std::stoul(status)), client.request.StatusCode());
        EXPECT_EQ("HTTP/1.1 " + status, client.request.LastResponseText());
        std::string value;
        EXPECT_TRUE(client.request.QueryHeader("content-length", value));
        EXPECT_EQ(std::to_string(body.size()), value);
        bool bOk = false;
        EXPECT_EQ(body, ReadAll(client.request, 4096, &bOk));
        EXPECT_TRUE(bOk);
    }
}

TEST(HttpClient, ReadOfNBytesWaitsForAllNAcrossSegments)
{
    const std::string body = Pattern(3 * 1024 * 1024 + 17);
    RawServer server(
        [&](int fd)
        {
            SendAll(fd, Head("200 OK", body.size()));
            for (std::size_t pos = 0; pos < body.size(); pos += 1000)
                SendAll(fd, body.substr(pos, 1000));
        });
    Client client(server.Port());
    ASSERT_TRUE(client.request.Send());
    // A first block of 2048, then one larger than curl's chunks, then odd sizes that
    // split chunks.
    std::string got(2048, '\0');
    DWORD dwRead = 0;
    ASSERT_TRUE(client.request.Read(got.data(), 2048, &dwRead));
    EXPECT_EQ(2048u, dwRead);
    std::string big(1024 * 1024, '\0');
    ASSERT_TRUE(client.request.Read(big.data(), DWORD(big.size()), &dwRead));
    EXPECT_EQ(big.size(), dwRead);
    got += big;
    got += ReadAll(client.request, 7777);
    EXPECT_EQ(body.size(), got.size());
    EXPECT_TRUE(body == got);
}

// A body several times the client's read-ahead, sent flat out, read in sizes from one
// byte to more than the read-ahead holds: the client pauses the transfer whenever the
// reader falls behind and resumes it, and every byte arrives once, in order.
TEST(HttpClient, ReadAheadKeepsEveryByteInOrderForAnyReadSizes)
{
    const std::string body = Pattern(6 * 1024 * 1024 + 5);
    RawServer server([&](int fd) { SendAll(fd, Head("200 OK", body.size()) + body); });
    Client client(server.Port());
    ASSERT_TRUE(client.request.Send());
    const DWORD sizes[] = {1, 8192, 3, 70000, 2 * 1024 * 1024 + 1, 16385, 8192, 500000};
    std::string got;
    std::vector<char> buf(2 * 1024 * 1024 + 1);
    for (std::size_t i = 0;; ++i)
    {
        const DWORD dwWant = sizes[i % std::size(sizes)];
        DWORD dwRead = 0;
        ASSERT_TRUE(client.request.Read(buf.data(), dwWant, &dwRead)) << http::LastError();
        if (dwRead == 0)
            break;
        // Every read is whole until the body ends.
        ASSERT_TRUE(dwRead == dwWant || got.size() + dwRead == body.size())
            << "read " << dwRead << " of " << dwWant << " at " << got.size();
        got.append(buf.data(), dwRead);
    }
    EXPECT_EQ(body.size(), got.size());
    EXPECT_TRUE(body == got);
}

// An answer cut short: the bytes read ahead of small reads are all handed out before the
// end shows as a read of 0 bytes, and the end stays.
TEST(HttpClient, CutAnswerHandsOutWhatCameAheadThenZero)
{
    const std::string part = Pattern(50000);
    RawServer server([&](int fd) { SendAll(fd, Head("200 OK", 1000000) + part); });
    Client client(server.Port());
    ASSERT_TRUE(client.request.Send());
    bool bOk = false;
    EXPECT_TRUE(ReadAll(client.request, 999, &bOk) == part);
    EXPECT_TRUE(bOk);
    char buf[16];
    DWORD dwRead = 1;
    EXPECT_TRUE(client.request.Read(buf, sizeof buf, &dwRead));
    EXPECT_EQ(0u, dwRead);
}

TEST(HttpClient, AnswerCutBeforeItsLengthEndsWithItsBytesThenZero)
{
    const std::string part = Pattern(40);
    RawServer server([&](int fd) { SendAll(fd, Head("200 OK", 100) + part); });
    Client client(server.Port());
    ASSERT_TRUE(client.request.Send());
    char buf[100];
    DWORD dwRead = 0;
    ASSERT_TRUE(client.request.Read(buf, 100, &dwRead));
    EXPECT_EQ(std::string(buf, dwRead), part);
    ASSERT_TRUE(client.request.Read(buf, 100, &dwRead));
    EXPECT_EQ(0u, dwRead);
}

TEST(HttpClient, ResetConnectionIsError12031)
{
    RawServer server(
        [&](int fd)
        {
            SendAll(fd, Head("200 OK", 100000) + Pattern(10));
            const linger hard{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        });
    Client client(server.Port());
    ASSERT_TRUE(client.request.Send());
    bool bOk = true;
    const std::string got = ReadAll(client.request, 100000, &bOk);
    EXPECT_FALSE(bOk);
    EXPECT_EQ(http::ERROR_INTERNET_CONNECTION_RESET, http::LastError());
    EXPECT_LE(got.size(), 10u);
}

TEST(HttpClient, CannotConnectIs12029)
{
    WORD port = 0;
    {
        RawServer closed([](int) {});
        port = closed.Port();
    }
    Client client(port);
    EXPECT_FALSE(client.request.Send());
    EXPECT_EQ(http::ERROR_INTERNET_CANNOT_CONNECT, http::LastError());
}

// A server that takes the request and holds the answer (or its rest) back until released.
class HeldAnswer : public ::testing::Test
{
protected:
    static std::chrono::seconds Elapsed(std::chrono::steady_clock::time_point start)
    {
        return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                start);
    }
};

TEST_F(HeldAnswer, CancelFromAnotherThreadEndsSendAtOnce)
{
    RawServer server([&](int) { server.HoldUntilReleased(); });
    Client client(server.Port());
    const auto start = std::chrono::steady_clock::now();
    std::thread canceller(
        [&]
        {
            EXPECT_TRUE(Signalled(server.RequestSeen, "the request to reach the server"));
            client.request.Cancel();
        });
    EXPECT_FALSE(client.request.Send());
    EXPECT_EQ(http::ERROR_INTERNET_OPERATION_CANCELLED, http::LastError());
    Within("the cancelling thread to end", [&] { canceller.join(); });
    EXPECT_LT(Elapsed(start).count(), 30); // far below the 60 s receive time-out
    // It stays cancelled: a later read fails the same way, nothing was freed.
    char buf[8];
    DWORD dwRead = 0;
    EXPECT_FALSE(client.request.Read(buf, 8, &dwRead));
    EXPECT_EQ(http::ERROR_INTERNET_OPERATION_CANCELLED, http::LastError());
}

TEST_F(HeldAnswer, CloseFromAnotherThreadEndsSendAtOnce)
{
    RawServer server([&](int) { server.HoldUntilReleased(); });
    auto client = std::make_shared<Client>(server.Port());
    const auto start = std::chrono::steady_clock::now();
    std::thread closer(
        [&]
        {
            EXPECT_TRUE(Signalled(server.RequestSeen, "the request to reach the server"));
            client->session.Close(); // closes the connection and request opened from it
        });
    EXPECT_FALSE(client->request.Send());
    EXPECT_EQ(http::ERROR_INTERNET_OPERATION_CANCELLED, http::LastError());
    Within("the closing thread to end", [&] { closer.join(); });
    EXPECT_LT(Elapsed(start).count(), 30);
    EXPECT_FALSE(client->request.Send());
    EXPECT_EQ(http::ERROR_INVALID_HANDLE, http::LastError());
}

TEST_F(HeldAnswer, CancelAndCloseEndAStalledRead)
{
    for (const bool bClose : {false, true})
    {
        RawServer server(
            [&](int fd)
            {
                SendAll(fd, Head("200 OK", 100) + "0123456789");
                server.HoldUntilReleased();
            });
        Client client(server.Port());
        ASSERT_TRUE(client.request.Send());
        char buf[100];
        DWORD dwRead = 0;
        ASSERT_TRUE(client.request.Read(buf, 10, &dwRead));
        ASSERT_EQ(10u, dwRead);
        const auto start = std::chrono::steady_clock::now();
        platform::Event readerStarted(true, false);
        std::thread reader(
            [&]
            {
                readerStarted.Set();
                DWORD n = 0;
                EXPECT_FALSE(client.request.Read(buf, 100, &n));
                // A close that comes before the read enters finds a closed handle.
                const DWORD dwError = http::LastError();
                EXPECT_TRUE(dwError == http::ERROR_INTERNET_OPERATION_CANCELLED ||
                            (bClose && dwError == http::ERROR_INVALID_HANDLE))
                    << dwError;
            });
        EXPECT_TRUE(Signalled(readerStarted, "the reader to start"));
        if (bClose)
            client.request.Close();
        else
            client.request.Cancel();
        Within("the stalled read to end", [&] { reader.join(); });
        EXPECT_LT(Elapsed(start).count(), 30);
    }
}

TEST_F(HeldAnswer, SilentServerTimesOutWith12002)
{
    RawServer server([&](int) { server.HoldUntilReleased(); });
    Client client(server.Port());
    client.request.SetReceiveTimeout(200);
    EXPECT_FALSE(client.request.Send());
    EXPECT_EQ(http::ERROR_INTERNET_TIMEOUT, http::LastError());
}

TEST_F(HeldAnswer, ConnectionTimeoutAppliesToItsRequestsAndStalledReads)
{
    RawServer server(
        [&](int fd)
        {
            SendAll(fd, Head("200 OK", 100) + "abc");
            server.HoldUntilReleased();
        });
    http::Session session("Test Agent");
    http::Connection connection(session, "127.0.0.1", server.Port());
    connection.SetReceiveTimeout(200);
    http::Request request(connection, "GET", "/");
    ASSERT_TRUE(request.Send());
    char buf[100];
    DWORD dwRead = 0;
    EXPECT_FALSE(request.Read(buf, 100, &dwRead));
    EXPECT_EQ(http::ERROR_INTERNET_TIMEOUT, http::LastError());
}

TEST(HttpClient, RequestCanBeSentAgain)
{
    int nAnswer = 0;
    RawServer server(
        [&](int fd)
        {
            const std::string body = "answer " + std::to_string(++nAnswer);
            SendAll(fd, Head("200 OK", body.size()) + body);
        });
    Client client(server.Port());
    ASSERT_TRUE(client.request.Send());
    // The first answer is left half read; the second exchange starts afresh.
    char buf[3];
    DWORD dwRead = 0;
    ASSERT_TRUE(client.request.Read(buf, 3, &dwRead));
    ASSERT_TRUE(client.request.Send());
    EXPECT_EQ("answer 2", ReadAll(client.request, 64));
    EXPECT_EQ(2u, server.Requests().size());
}

TEST(HttpClient, AgentAddedAndExtraHeadersReachTheServer)
{
    RawServer server([&](int fd) { SendAll(fd, Head("200 OK", 0)); });
    Client client(server.Port(), "GET", "/track.mp3?MAGIC=ab%3a12%3acd&X=a+b");
    ASSERT_TRUE(client.request.AddHeaders("Accept: application/x-www-urlencoded\r\n"));
    ASSERT_TRUE(client.request.Send("Range: bytes=5-\r\nX-Extra: one\r\n"));
    ASSERT_EQ(1u, server.Requests().size());
    const std::string request = server.Requests()[0];
    EXPECT_EQ(0u, request.find("GET /track.mp3?MAGIC=ab%3a12%3acd&X=a+b HTTP/1.1\r\n")) << request;
    EXPECT_NE(std::string::npos, request.find("\r\nUser-Agent: Test Agent\r\n")) << request;
    EXPECT_NE(std::string::npos, request.find("\r\nAccept: application/x-www-urlencoded\r\n"))
        << request;
    EXPECT_EQ(std::string::npos, request.find("Accept: */*")) << request;
    EXPECT_NE(std::string::npos, request.find("\r\nRange: bytes=5-\r\n")) << request;
    EXPECT_NE(std::string::npos, request.find("\r\nX-Extra: one\r\n")) << request;
}

TEST(HttpClient, PostCarriesNoBody)
{
    RawServer server([&](int fd) { SendAll(fd, Head("200 OK", 2) + "ok"); });
    Client client(server.Port(), "POST", "/sequence.m3u?REQUEST=RADIO_TRACKS");
    ASSERT_TRUE(client.request.Send());
    EXPECT_EQ("ok", ReadAll(client.request, 64));
    const std::string request = server.Requests().at(0);
    EXPECT_EQ(0u, request.find("POST /sequence.m3u?REQUEST=RADIO_TRACKS HTTP/1.1\r\n")) << request;
    EXPECT_NE(std::string::npos, request.find("\r\nContent-Length: 0\r\n")) << request;
    EXPECT_EQ(std::string::npos, request.find("Content-Type")) << request;
    EXPECT_TRUE(request.ends_with("\r\n\r\n"));
}

TEST(HttpClient, ReadBeforeSendIsAWrongHandleState)
{
    RawServer server([](int) {});
    Client client(server.Port());
    char buf[4];
    DWORD dwRead = 0;
    EXPECT_FALSE(client.request.Read(buf, 4, &dwRead));
    EXPECT_EQ(http::ERROR_INTERNET_INCORRECT_HANDLE_STATE, http::LastError());
    EXPECT_EQ(0u, client.request.StatusCode());
}

TEST(HttpClient, AnswerHeadsAreCappedAndTheirRangeLengthAndRetryAfterRead)
{
    const struct
    {
        const char* pszValue;
        std::optional<http::SContentRange> range;
    } ranges[] = {{"bytes 5-9/10", http::SContentRange{5, 9, 10}},
                  {"bytes */10", http::SContentRange{std::nullopt, 0, 10}},
                  {"bytes 0-9/*", http::SContentRange{0, 9, std::nullopt}},
                  {"bytes 9-5/10", std::nullopt},
                  {"bytes 5-10/10", std::nullopt},
                  {"items 5-9/10", std::nullopt}};
    for (const auto& row : ranges)
    {
        http::SContentRange range;
        ASSERT_EQ(http::ParseContentRange(row.pszValue, range), row.range.has_value())
            << row.pszValue;
        EXPECT_TRUE(!row.range ||
                    (range.first == row.range->first && range.last == row.range->last &&
                     range.total == row.range->total))
            << row.pszValue;
    }
    // From an answer: Retry-After as seconds or as a date (0 once it has passed).
    for (const auto& [pszRetryAfter, dwExpected] :
         {std::pair{"3", 3u}, std::pair{"Thu, 01 Jan 1970 00:00:00 GMT", 0u}})
    {
        // A structured binding is captured through a copy (clang cannot capture it).
        RawServer server(
            [&, pszValue = pszRetryAfter](int fd)
            {
                SendAll(fd, Head("206 Partial Content", 5,
                                 "Content-Range: bytes 5-9/10\r\nRetry-After: " +
                                     std::string(pszValue) + "\r\n") +
                                "abcde");
            });
        Client client(server.Port());
        ASSERT_TRUE(client.request.Send()) << http::LastError();
        http::SContentRange range;
        EXPECT_TRUE(client.request.QueryContentRange(range));
        EXPECT_EQ(range.first, 5u);
        uint64_t nLength = 0;
        EXPECT_TRUE(client.request.QueryContentLength(nLength));
        EXPECT_EQ(nLength, 5u);
        DWORD dwSeconds = ~0u;
        EXPECT_TRUE(client.request.QueryRetryAfter(dwSeconds));
        EXPECT_EQ(dwSeconds, dwExpected);
        EXPECT_EQ(client.request.FailureText(), "");
    }

    // A head that goes on without end is cut off at 64 KiB with a clear error.
    std::string lines;
    while (lines.size() <= http::kMaxHeadBytes)
        lines += "X-Filler: " + std::string(100, 'f') + "\r\n";
    RawServer server([&](int fd) { SendAll(fd, Head("200 OK", 2, lines) + "ok"); });
    Client client(server.Port());
    EXPECT_FALSE(client.request.Send());
    EXPECT_EQ(http::LastError(), http::ERROR_HTTP_INVALID_SERVER_RESPONSE);
    EXPECT_EQ(client.request.FailureText(), "the answer's head is larger than 65536 bytes");
}
