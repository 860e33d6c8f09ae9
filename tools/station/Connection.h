// One accepted client socket, owned by its connection thread: it reads one request, sends
// the answer's bytes and closes, normally or with a reset. Every wait also ends on the
// station's stop. Only the connection's own thread uses it.
#pragma once

#include "HttpRequest.h"

#include <optional>
#include <string_view>

namespace station
{
class StopSignal;

class Connection
{
public:
    Connection(int fd, const StopSignal& stop);
    ~Connection(); // closes the socket
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Reads one request head (at most 64 KiB) and drops a body of up to 64 KiB, so that
    // the close does not reset the client. Nothing when the client closes first, the head
    // is too long or the station stops.
    std::optional<HttpRequest> ReadRequest();
    // Blocks until every byte is handed to the socket; false when the client has gone or
    // the station stops.
    bool Send(std::string_view bytes);
    // Makes the close a reset (a zero linger time). It first waits until every byte sent
    // has left the station, so the client can read all of them before it sees the reset
    // (a reset throws away what is still queued); the stop ends that wait.
    void ResetOnClose();

private:
    int m_fd;
    const StopSignal& m_stop;
};
} // namespace station
