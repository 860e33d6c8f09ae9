// Throughput of reading a large body through the HTTP client from a loopback server that
// only writes bytes, beside the curl command fetching the same answer from it.
#include "platform/Http.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{
constexpr std::size_t kBodySize = 64 * 1024 * 1024;

// Answers every connection with the same 64 MiB body and closes it.
class BulkServer
{
public:
    BulkServer() : m_answer(Answer())
    {
        m_listen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(m_listen, 16) != 0)
            std::abort();
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Run(); });
    }
    ~BulkServer()
    {
        ::shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        ::close(m_listen);
    }
    WORD Port() const { return m_port; }

private:
    static std::string Answer()
    {
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBodySize) +
                             "\r\nConnection: close\r\n\r\n";
        answer.resize(answer.size() + kBodySize, 'x');
        return answer;
    }
    void Run()
    {
        for (;;)
        {
            const int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0)
                return;
            char buf[4096];
            std::string head;
            while (head.find("\r\n\r\n") == std::string::npos)
            {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                head.append(buf, std::size_t(n));
            }
            std::size_t done = 0;
            while (done < m_answer.size())
            {
                const ssize_t n =
                    ::send(fd, m_answer.data() + done, m_answer.size() - done, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                done += std::size_t(n);
            }
            ::close(fd);
        }
    }

    const std::string m_answer;
    int m_listen = -1;
    WORD m_port = 0;
    std::thread m_thread;
};

BulkServer& Server()
{
    static BulkServer server;
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
