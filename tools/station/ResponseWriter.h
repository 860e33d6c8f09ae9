// Sends one Response on its connection with the faults the scenario gave it: a status in
// place of the route's, a Content-Range that lies, a Retry-After, a delay before the head,
// a hold after some body bytes, a rate limit, a cut or a reset. Made and used on the connection's
// thread; a delay or a hold waits on the HoldGate, a rate pause and every send also end on the
// station's stop.
#pragma once

#include "Response.h"

#include <cstdint>
#include <vector>

namespace station
{
class Connection;
class HoldGate;
class StopSignal;
struct RequestRecord;

class ResponseWriter
{
public:
    ResponseWriter(Connection& connection, HoldGate& holds, const StopSignal& stop);

    // Sends the answer and fills the record's status, byte count and notes. Returns once
    // the last byte has gone (a reset waits until the client could read them all), the
    // client has gone, or the station stops. The caller logs the record, then closes.
    void Write(Response& response, RequestRecord& record);

private:
    static void ApplyStatusFault(Response& response);
    static void ApplyHeaderFaults(Response& response);
    // The body bytes to send: all of them, or fewer for a cut or a reset.
    static uint64_t BodyLimit(Response& response);
    bool SendBody(Response& response, uint64_t limit, RequestRecord& record);
    // Stalls the answer once `sent` reaches the hold's byte count; false on the stop.
    bool HoldAt(Response& response, uint64_t sent);
    std::size_t ReadBody(const Response& response, uint64_t offset, std::size_t count);

    Connection& m_connection;
    HoldGate& m_holds;
    const StopSignal& m_stop;
    bool m_held = false;
    std::vector<char> m_buffer;
};
} // namespace station
