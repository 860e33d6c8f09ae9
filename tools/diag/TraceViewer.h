// The trace viewer: listens on the trace socket, answers every message of the engines
// and tools that connect (a channel id for each open, 1 otherwise) and writes each text
// line as "HH:MM:SS.mmm [channel] text" to its outputs, flushed per line. It serves only
// clients that run as its user (SO_PEERCRED); others are disconnected at once, unread.
// One thread does it all (Run); Stop may be called from any thread or a signal handler.
#pragma once

#include "TraceMessageReader.h"

#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

class CTraceViewer
{
public:
    // Binds the socket (mode 0600); throws std::runtime_error naming the path when it
    // cannot, also when another viewer already answers on it. A stale socket file is
    // replaced. Clients are served when they run as the user given (this process's by
    // default; tests give another to stand for a stranger).
    explicit CTraceViewer(std::string strSocketPath, uid_t clientUser = ::geteuid());
    ~CTraceViewer();
    CTraceViewer(const CTraceViewer&) = delete;
    CTraceViewer& operator=(const CTraceViewer&) = delete;

    void AddOutput(std::ostream& out) { m_reader.AddOutput(out); }
    const std::string& SocketPath() const { return m_strSocketPath; }

    // Serves until Stop; then closes every client and removes the socket file.
    void Run();
    // Async-signal-safe.
    void Stop();

private:
    struct SClient
    {
        int hSocket;
    };

    void Accept();
    bool Serve(int hClient);

    std::string m_strSocketPath;
    uid_t m_clientUser;
    int m_hListen = -1;
    int m_hWake[2] = {-1, -1};
    std::vector<int> m_listClients;
    CTraceMessageReader m_reader;
};
