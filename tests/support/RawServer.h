// A scripted HTTP server on 127.0.0.1 for tests: accepts connections one after another;
// for each it reads the request head, records it, signals RequestSeen and runs the
// test's script on the socket, then closes it. Release lets a script that holds its
// answer back go on (and is set when the server is destroyed). m_mutex guards the record
// of requests; scripts run on the server's one thread.
#pragma once

#include "platform/Event.h"
#include "platform/Mutex.h"
#include "platform/Types.h"

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport
{
void SendAll(int fd, const std::string& bytes);
// "HTTP/1.1 <status>" with Content-Length and Connection: close, then more header text.
std::string Head(const std::string& status, std::size_t contentLength,
                 const std::string& more = {});

class RawServer
{
public:
    using Script = std::function<void(int fd, const std::string& request)>;

    explicit RawServer(Script script);
    template <typename F>
    requires std::is_invocable_v<F, int> &&
        (!std::is_invocable_v<F, int, const std::string&>)explicit RawServer(F script)
        : RawServer(Script([script](int fd, const std::string&) mutable { script(fd); }))
    {
    }
    ~RawServer();
    RawServer(const RawServer&) = delete;
    RawServer& operator=(const RawServer&) = delete;

    WORD Port() const { return m_port; }
    // Every request received so far, kept until ClearRequests (a long run clears them).
    std::vector<std::string> Requests() OVR_EXCLUDES(m_mutex);
    void ClearRequests() OVR_EXCLUDES(m_mutex);
    // In a script: holds the answer back until Release (or the server's end), at most the
    // tests' wait limit, after which the test fails.
    void HoldUntilReleased();

    platform::Event RequestSeen{false, false};
    platform::Event Release{true, false};

private:
    void Run();

    Script m_script;
    int m_listen = -1;
    WORD m_port = 0;
    platform::Mutex m_mutex;
    std::vector<std::string> m_requests OVR_GUARDED_BY(m_mutex);
    std::thread m_thread;
};
} // namespace testsupport
