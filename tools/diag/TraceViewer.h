// The trace viewer: listens on the trace socket, answers every message of the engines
// and tools that connect (a channel id for each open, 1 otherwise) and writes each text
// line as "HH:MM:SS.mmm [channel] text" to its outputs, flushed per line.
// One thread does it all (Run); Stop may be called from any thread or a signal handler.
#pragma once

#include "TraceMessageReader.h"

#include <ostream>
#include <string>
#include <vector>

class CTraceViewer
{
public:
    // Binds the socket; throws std::runtime_error naming the path when it cannot, also
    // when another viewer already answers on it. A stale socket file is replaced.
    explicit CTraceViewer(std::string strSocketPath);
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
    int m_hListen = -1;
    int m_hWake[2] = {-1, -1};
    std::vector<int> m_listClients;
    CTraceMessageReader m_reader;
};
