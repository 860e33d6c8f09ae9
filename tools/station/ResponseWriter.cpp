#include "ResponseWriter.h"

#include "Connection.h"
#include "HoldGate.h"
#include "RequestLog.h"
#include "StopSignal.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace station
{
namespace
{
constexpr std::size_t kChunk = 16384;
}

ResponseWriter::ResponseWriter(Connection& connection, HoldGate& holds, const StopSignal& stop)
    : m_connection(connection), m_holds(holds), m_stop(stop), m_buffer(kChunk)
{
}

void ResponseWriter::Write(Response& response, RequestRecord& record)
{
    ApplyStatusFault(response);
    ApplyHeaderFaults(response);
    record.status = response.status;
    const RequestFaults& faults = response.faults;
    if (faults.delayMs)
    {
        response.AddNote("delayed");
        if (!m_holds.Hold(std::chrono::milliseconds(*faults.delayMs)))
        {
            response.AddNote("(stopped)");
            record.note = response.note;
            return;
        }
    }
    const uint64_t limit = BodyLimit(response);
    if (faults.bytesPerSecond)
        response.AddNote("rate");
    const bool complete = m_connection.Send(response.Head()) && HoldAt(response, 0) &&
                          SendBody(response, limit, record);
    // Only an answer that got out all it was to send ends in the reset.
    if (faults.resetAfter && complete)
        m_connection.ResetOnClose();
    record.note = response.note;
}

void ResponseWriter::ApplyStatusFault(Response& response)
{
    if (const std::optional<std::string>& to = response.faults.redirectTo)
    {
        Response redirect = Response::Refuse(302, "redirect");
        redirect.extraHeaders = "Location: " + *to + "\r\n";
        redirect.faults = response.faults;
        response = std::move(redirect);
        return;
    }
    const std::optional<int> status = response.faults.httpStatus;
    if (!status || *status == response.status)
        return;
    if (response.content && (*status == 200 || *status == 206))
    {
        // Content under another success status: 200 the whole part, as a server that
        // ignores the range; 206 the range asked for (all of it without a Range header).
        ContentRange& range = *response.content;
        if (*status == 200)
            range.first = 0, range.length = range.part.size;
        response.extraHeaders =
            (*status == 206 ? range.HeaderLine() : std::string()) + "Accept-Ranges: bytes\r\n";
        response.status = *status;
        response.AddNote("status fault");
        return;
    }
    Response refusal = Response::Refuse(*status, "status fault");
    refusal.faults = response.faults;
    if (!response.note.empty())
        refusal.note = response.note + " " + refusal.note;
    response = std::move(refusal);
}

void ResponseWriter::ApplyHeaderFaults(Response& response)
{
    const RequestFaults& faults = response.faults;
    std::string& headers = response.extraHeaders;
    if (faults.contentRange && response.status == 206)
    {
        // The bytes stay those of the range; only what the head says of them changes.
        const std::string name = "Content-Range: ";
        const std::size_t at = headers.find(name);
        const std::string line = name + "bytes " + *faults.contentRange + "\r\n";
        if (at == std::string::npos)
            headers = line + headers;
        else
            headers.replace(at, headers.find("\r\n", at) + 2 - at, line);
        response.AddNote("content-range");
    }
    if (faults.retryAfterSeconds)
        headers += "Retry-After: " + std::to_string(*faults.retryAfterSeconds) + "\r\n";
}

uint64_t ResponseWriter::BodyLimit(Response& response)
{
    const RequestFaults& faults = response.faults;
    uint64_t limit = response.BodyLength();
    if (faults.cutAfter && *faults.cutAfter < limit)
    {
        limit = *faults.cutAfter;
        response.AddNote("cut");
    }
    if (faults.resetAfter)
    {
        limit = std::min(limit, *faults.resetAfter);
        response.AddNote("reset");
    }
    return limit;
}

bool ResponseWriter::SendBody(Response& response, uint64_t limit, RequestRecord& record)
{
    const RequestFaults& faults = response.faults;
    std::size_t chunk = kChunk;
    if (faults.bytesPerSecond)
        chunk =
            static_cast<std::size_t>(std::clamp<uint64_t>(*faults.bytesPerSecond / 20, 1, kChunk));
    const auto start = std::chrono::steady_clock::now();
    uint64_t& sent = record.bytesSent;
    while (sent < limit)
    {
        uint64_t count = std::min<uint64_t>(chunk, limit - sent);
        if (!m_held && faults.holdAfter && *faults.holdAfter > sent)
            count = std::min(count, *faults.holdAfter - sent);
        const std::size_t got = ReadBody(response, sent, static_cast<std::size_t>(count));
        if (got == 0 || !m_connection.Send(std::string_view(m_buffer.data(), got)))
            return false;
        sent += got;
        if (!HoldAt(response, sent))
            return false;
        if (faults.bytesPerSecond)
        {
            // Keep the average at the limit: wait until the bytes sent are due.
            const auto due =
                start + std::chrono::milliseconds(sent * 1000 / *faults.bytesPerSecond);
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
                due - std::chrono::steady_clock::now());
            if (wait.count() > 0 && !m_stop.Pause(wait))
                return false;
        }
    }
    return true;
}

bool ResponseWriter::HoldAt(Response& response, uint64_t sent)
{
    const RequestFaults& faults = response.faults;
    if (m_held || !faults.holdAfter || sent != *faults.holdAfter)
        return true;
    m_held = true;
    response.AddNote("held");
    return m_holds.Hold(std::nullopt);
}

std::size_t ResponseWriter::ReadBody(const Response& response, uint64_t offset, std::size_t count)
{
    if (response.content)
        return ReadPart(response.content->part, response.content->first + offset, m_buffer.data(),
                        count);
    count = static_cast<std::size_t>(std::min<uint64_t>(
        count, response.body.size() - std::min<uint64_t>(offset, response.body.size())));
    std::memcpy(m_buffer.data(), response.body.data() + offset, count);
    return count;
}
} // namespace station
