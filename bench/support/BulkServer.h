// A loopback server for benchmarks that answers every connection with the same large
// body and closes it; the bytes are sent from memory, so the client's side is measured.
#pragma once

#include "platform/Types.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace bench
{
class BulkServer
{
public:
    // The body is nBodySize bytes; byte o is body(o).
    template <typename Body>
    BulkServer(std::size_t nBodySize, Body body) : m_answer(Answer(nBodySize, body))
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
    BulkServer(const BulkServer&) = delete;
    BulkServer& operator=(const BulkServer&) = delete;

    WORD Port() const { return m_port; }

private:
    template <typename Body>
    static std::string Answer(std::size_t nBodySize, Body body)
    {
        std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(nBodySize) +
                             "\r\nConnection: close\r\n\r\n";
        const std::size_t nHead = answer.size();
        answer.resize(nHead + nBodySize);
        for (std::size_t o = 0; o < nBodySize; ++o)
            answer[nHead + o] = static_cast<char>(body(o));
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
} // namespace bench
