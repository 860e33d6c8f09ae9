// The HTTP client against small scripted servers on loopback: each server accepts on
// 127.0.0.1, reads a request head, records it and answers with the test's bytes.
#include "platform/Http.h"

#include "platform/Event.h"
#include "platform/HttpUrl.h"
#include "support/RawServer.h"
#include "support/Wait.h"

#include <chrono>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <thread>
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
std::string ReadAll(http::Request& request, DWORD chunk)
{
    std::string body;
    std::vector<char> buf(chunk);
    DWORD dwRead = 0;
    while (request.Read(buf.data(), chunk, &dwRead) && dwRead > 0)
        body.append(buf.data(), dwRead);
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

// An address splits into host, port and path with its query as written; the canonical form
// lowers the scheme and gives a bare path its slash. What is no address is refused and
// leaves the parts as they were.
TEST(CrackUrl, SplitsWellFormedAddressesAndRefusesTheRest)
{
    const struct
    {
        const char* url;
        const char* host = nullptr; // nullptr: refused
        WORD port = 0;
        const char* path = nullptr;
        const char* canonical = nullptr;
    } rows[] = {
        {"http://127.0.0.1:8080/sequence.m3u?REQUEST=RADIO_TRACKS&OVUID=a%3Ab", "127.0.0.1", 8080,
         "/sequence.m3u?REQUEST=RADIO_TRACKS&OVUID=a%3Ab",
         "http://127.0.0.1:8080/sequence.m3u?REQUEST=RADIO_TRACKS&OVUID=a%3Ab"},
        {"http://Content.Example.net/c/7.mp3?MAGIC=0a%3a000%3a9f&X=a+b", "Content.Example.net", 80,
         "/c/7.mp3?MAGIC=0a%3a000%3a9f&X=a+b",
         "http://Content.Example.net/c/7.mp3?MAGIC=0a%3a000%3a9f&X=a+b"},
        {"http://example.net", "example.net", 80, "/", "http://example.net/"},
        {"https://example.net/a", "example.net", 443, "/a", "https://example.net/a"},
        {"HTTP://Example.NET:81?a=B", "Example.NET", 81, "/?a=B", "http://Example.NET:81/?a=B"},
        {""},
        {"no scheme here"},
        {"http://"},
        {"http://host:99999/"},
        {"http://host:12ab/"},
        {"http://ho st/"},
        {"http://host/a\nb"},
        {"://host/"},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.url);
        http::UrlParts parts;
        parts.strHost = "kept";
        std::string canonical;
        ASSERT_EQ(row.host != nullptr, http::CrackUrl(row.url, parts));
        EXPECT_EQ(row.host != nullptr, http::CanonicalizeUrl(row.url, canonical));
        EXPECT_EQ(row.host ? row.host : "kept", parts.strHost);
        if (row.host == nullptr)
            continue;
        EXPECT_EQ(row.port, parts.nPort);
        EXPECT_EQ(row.path, parts.strPathWithQuery);
        EXPECT_EQ(row.canonical, canonical);
    }
}

// A body several times the client's read-ahead, sent in pieces of 1000 bytes, read in
// sizes from one byte to more than the read-ahead holds: a read of n bytes waits for all n
// across pieces, the client pauses the transfer whenever the reader falls behind and
// resumes it, and every byte arrives once, in order.
TEST(HttpClient, ReadAheadKeepsEveryByteInOrderForAnyReadSizes)
{
    const std::string body = Pattern(6 * 1024 * 1024 + 5);
    RawServer server(
        [&](int fd)
        {
            SendAll(fd, Head("200 OK", body.size()));
            for (std::size_t pos = 0; pos < body.size(); pos += 1000)
                SendAll(fd, body.substr(pos, 1000));
        });
    Client client(server.Port());
    ASSERT_TRUE(client.request.Send());
    const DWORD sizes[] = {2048, 1024 * 1024, 1, 3, 70000, 2 * 1024 * 1024 + 1, 16385, 7777};
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

// Each failure has its error: no server, and a server that goes silent before its head
// or in its body (the limit set on the request or on its connection). A reset is read
// from the station in the integration tests.
TEST(HttpClient, FailuresOfTheConnectionHaveTheirErrors)
{
    enum EServer
    {
        eNone,
        eSilent,
        eSilentInBody
    };
    const struct
    {
        const char* name;
        EServer server;
        bool bTimeoutOnConnection;
        bool bSendFails;
        DWORD dwError;
    } rows[] = {
        {"NoServer", eNone, false, true, http::ERROR_INTERNET_CANNOT_CONNECT},
        {"SilentBeforeTheHead", eSilent, false, true, http::ERROR_INTERNET_TIMEOUT},
        {"SilentInTheBodyWithTheConnectionsLimit", eSilentInBody, true, false,
         http::ERROR_INTERNET_TIMEOUT},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        std::optional<RawServer> server;
        server.emplace(
            [&](int fd)
            {
                if (row.server == eSilentInBody)
                    SendAll(fd, Head("200 OK", 100) + "abc");
                server->HoldUntilReleased();
            });
        const WORD port = server->Port();
        if (row.server == eNone)
            server.reset(); // its port is closed now
        http::Session session("Test Agent");
        http::Connection connection(session, "127.0.0.1", port);
        if (row.bTimeoutOnConnection)
            connection.SetReceiveTimeout(200);
        http::Request request(connection, "GET", "/");
        if (!row.bTimeoutOnConnection)
            request.SetReceiveTimeout(200);
        if (row.bSendFails)
        {
            EXPECT_FALSE(request.Send());
        }
        else
        {
            ASSERT_TRUE(request.Send()) << http::LastError();
            char buf[100];
            DWORD dwRead = 0;
            EXPECT_FALSE(request.Read(buf, 100, &dwRead));
        }
        EXPECT_EQ(row.dwError, http::LastError());
    }
}

// Cancel or Close from another thread ends a Send that waits for the head, or a Read that
// waits for the rest of the body, at once (far below the 60 s receive limit), and the
// request stays cancelled (a closed one is an invalid handle).
TEST(HttpClient, CancelAndCloseFromAnotherThreadEndAWaitingSendOrRead)
{
    enum EEnd
    {
        eCancel,
        eCloseSession,
        eCloseRequest
    };
    const struct
    {
        const char* name;
        bool bInRead;
        EEnd end;
    } rows[] = {
        {"CancelDuringSend", false, eCancel},
        {"SessionClosedDuringSend", false, eCloseSession},
        {"CancelDuringRead", true, eCancel},
        {"RequestClosedDuringRead", true, eCloseRequest},
    };
    for (const auto& row : rows)
    {
        SCOPED_TRACE(row.name);
        RawServer server(
            [&](int fd)
            {
                if (row.bInRead)
                    SendAll(fd, Head("200 OK", 100) + "0123456789");
                server.HoldUntilReleased();
            });
        Client client(server.Port());
        char buf[100];
        DWORD dwRead = 0;
        if (row.bInRead)
        {
            ASSERT_TRUE(client.request.Send());
            ASSERT_TRUE(client.request.Read(buf, 10, &dwRead));
        }
        const auto start = std::chrono::steady_clock::now();
        platform::Event waiting(true, false);
        std::thread ender(
            [&]
            {
                EXPECT_TRUE(
                    Signalled(row.bInRead ? waiting : server.RequestSeen, "the request to wait"));
                if (row.end == eCancel)
                    client.request.Cancel();
                else if (row.end == eCloseSession)
                    client.session.Close(); // closes the connection and request opened from it
                else
                    client.request.Close();
            });
        if (row.bInRead)
        {
            waiting.Set();
            EXPECT_FALSE(client.request.Read(buf, 100, &dwRead));
        }
        else
            EXPECT_FALSE(client.request.Send());
        // A close that comes before the read enters finds a closed handle.
        const DWORD dwError = http::LastError();
        EXPECT_TRUE(dwError == http::ERROR_INTERNET_OPERATION_CANCELLED ||
                    (row.end == eCloseRequest && dwError == http::ERROR_INVALID_HANDLE))
            << dwError;
        Within("the ending thread to end", [&] { ender.join(); });
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
        // It stays ended: nothing was freed under the caller.
        EXPECT_FALSE(client.request.Read(buf, 8, &dwRead));
        EXPECT_EQ(row.end == eCancel ? http::ERROR_INTERNET_OPERATION_CANCELLED
                                     : http::ERROR_INVALID_HANDLE,
                  http::LastError());
    }
}

// Read before Send is a wrong handle state; a request sent again starts a new exchange.
TEST(HttpClient, ReadWaitsForSendAndARequestCanBeSentAgain)
{
    int nAnswer = 0;
    RawServer server(
        [&](int fd)
        {
            const std::string body = "answer " + std::to_string(++nAnswer);
            SendAll(fd, Head("200 OK", body.size()) + body);
        });
    Client client(server.Port());
    char buf[3];
    DWORD dwRead = 0;
    EXPECT_FALSE(client.request.Read(buf, 3, &dwRead));
    EXPECT_EQ(http::ERROR_INTERNET_INCORRECT_HANDLE_STATE, http::LastError());
    EXPECT_EQ(0u, client.request.StatusCode());
    ASSERT_TRUE(client.request.Send());
    // The first answer is left half read; the second exchange starts afresh.
    ASSERT_TRUE(client.request.Read(buf, 3, &dwRead));
    ASSERT_TRUE(client.request.Send());
    EXPECT_EQ("answer 2", ReadAll(client.request, 64));
    EXPECT_EQ(2u, server.Requests().size());
}

// A sequence request: a POST without a body, its path and query as given, the agent, the
// added headers (in place of curl's own Accept) and those given to Send.
TEST(HttpClient, ARequestCarriesItsPathAgentAndHeadersAndAPostNoBody)
{
    RawServer server([&](int fd) { SendAll(fd, Head("200 OK", 2) + "ok"); });
    Client client(server.Port(), "POST", "/sequence.m3u?MAGIC=ab%3a12%3acd&X=a+b");
    ASSERT_TRUE(client.request.AddHeaders("Accept: application/x-www-urlencoded\r\n"));
    ASSERT_TRUE(client.request.Send("Range: bytes=5-\r\nX-Extra: one\r\n"));
    EXPECT_EQ("ok", ReadAll(client.request, 64));
    const std::string request = server.Requests().at(0);
    EXPECT_EQ(0u, request.find("POST /sequence.m3u?MAGIC=ab%3a12%3acd&X=a+b HTTP/1.1\r\n"))
        << request;
    for (const char* line :
         {"\r\nUser-Agent: Test Agent\r\n", "\r\nAccept: application/x-www-urlencoded\r\n",
          "\r\nRange: bytes=5-\r\n", "\r\nX-Extra: one\r\n", "\r\nContent-Length: 0\r\n"})
        EXPECT_NE(std::string::npos, request.find(line)) << line << " in " << request;
    EXPECT_EQ(std::string::npos, request.find("Accept: */*")) << request;
    EXPECT_EQ(std::string::npos, request.find("Content-Type")) << request;
    EXPECT_TRUE(request.ends_with("\r\n\r\n"));
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
    for (const auto& [pszValue, dwExpected] :
         {std::pair{"3", 3u}, std::pair{"Thu, 01 Jan 1970 00:00:00 GMT", 0u}})
    {
        const std::string strRetryAfter = pszValue;
        RawServer server(
            [&](int fd)
            {
                SendAll(fd, Head("206 Partial Content", 5,
                                 "Content-Range: bytes 5-9/10\r\nRetry-After: " + strRetryAfter +
                                     "\r\n") +
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
