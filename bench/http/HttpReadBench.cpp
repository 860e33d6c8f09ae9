// Throughput of reading a large body through the HTTP client from a loopback server that
// only writes bytes, beside the curl command fetching the same answer from it.
#include "platform/Http.h"
#include "support/RawServer.h"

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{
constexpr std::size_t kBodySize = 64 * 1024 * 1024;

// Answers every request with the same large body, sent from memory, so that the client's
// side is measured.
testsupport::RawServer& Server()
{
    static const std::string body(kBodySize, 'x');
    static testsupport::RawServer server(
        [](int fd)
        {
            testsupport::SendAll(fd, testsupport::Head("200 OK", body.size()));
            testsupport::SendAll(fd, body);
        });
    return server;
}

void BM_HttpClientRead(benchmark::State& state)
{
    const WORD port = Server().Port();
    std::vector<char> buf(std::size_t(state.range(0)));
    for (auto _ : state)
    {
        platform::http::Session session("bench");
        platform::http::Connection connection(session, "127.0.0.1", port);
        platform::http::Request request(connection, "GET", "/bulk");
        if (!request.Send())
        {
            state.SkipWithError("send failed");
            return;
        }
        std::size_t total = 0;
        DWORD dwRead = 0;
        while (request.Read(buf.data(), DWORD(buf.size()), &dwRead) && dwRead != 0)
            total += dwRead;
        if (total != kBodySize)
        {
            state.SkipWithError("short body");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBodySize));
}
BENCHMARK(BM_HttpClientRead)->Arg(8192)->Arg(65536)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CurlCommand(benchmark::State& state)
{
    if (::access("/usr/bin/curl", X_OK) != 0)
    {
        state.SkipWithError("no curl command");
        return;
    }
    const std::string command =
        "/usr/bin/curl -s -o /dev/null http://127.0.0.1:" + std::to_string(Server().Port()) +
        "/bulk";
    for (auto _ : state)
    {
        if (std::system(command.c_str()) != 0)
        {
            state.SkipWithError("curl failed");
            return;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kBodySize));
}
BENCHMARK(BM_CurlCommand)->UseRealTime()->Unit(benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();
