// One accepted client socket, owned by its connection thread: it reads one request, sends
// the answer's bytes and closes, normally or with a reset. Every wait also ends on the
// station's stop. Only the connection's own thread uses it. On a TLS station the socket
// speaks TLS: the handshake comes first (ReadRequest), a normal close sends the TLS close
// first, a reset does not.
#pragma once

#include "HttpRequest.h"

#include <optional>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;

namespace station
{
class StopSignal;
class TlsContext;

class Connection
{
public:
    // tls: the station's TLS context, or null for plain HTTP.
    Connection(int fd, const StopSignal& stop, const TlsContext* tls = nullptr);
    ~Connection(); // closes the socket
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Reads one request head (at most 64 KiB) and drops a body of up to 64 KiB, so that
    // the close does not reset the client. Nothing when the client closes first, the head
    // is too long, the TLS handshake fails or the station stops.
    std::optional<HttpRequest> ReadRequest();
    // Why the TLS handshake failed (the TLS library's reason); empty when it did not.
    const std::string& TlsFailure() const { return m_tlsFailure; }
    // Blocks until every byte is handed to the socket; false when the client has gone or
    // the station stops.
    bool Send(std::string_view bytes);
    // Makes the close a reset (a zero linger time). It first waits until every byte sent
    // has left the station, so the client can read all of them before it sees the reset
    // (a reset throws away what is still queued); the stop ends that wait.
    void ResetOnClose();

private:
    // TLS: the handshake; false, with TlsFailure() set, when it fails.
    bool Handshake();
    // Up to `size` bytes of the request: the count, 0 when the client has closed, -1 on an
    // error or the stop.
    long Receive(char* buffer, std::size_t size);
    // Runs one TLS call until it is done, waiting for the socket as the TLS library asks;
    // its result, or -1 on the stop.
    template <typename Call>
    int TlsCall(Call call);

    int m_fd;
    const StopSignal& m_stop;
    SSL* m_ssl = nullptr;
    bool m_reset = false;
    std::string m_tlsFailure;
};
} // namespace station
