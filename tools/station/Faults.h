// What the scenario's rules make of one request, one sequence answer or one track line:
// plain values that the routes and the response writer read. Each field is set by the
// first matching rule that sets it.
#pragma once

#include "Signatures.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station
{
enum class RequestKind
{
    Time,
    Sequence,
    Content
};

// Faults of the HTTP answer to any request.
struct RequestFaults
{
    std::optional<int> httpStatus;
    std::optional<uint64_t> cutAfter;   // body bytes sent before a normal close
    std::optional<uint64_t> resetAfter; // body bytes sent before a reset
    std::optional<uint64_t> delayMs;
    std::optional<uint64_t> bytesPerSecond;
    std::optional<uint64_t> holdAfter; // body bytes sent before the answer stalls
    // The station refuses every connection for this many ms (platform clock); the request
    // itself is reset unanswered.
    std::optional<uint64_t> refuseForMs;
    // The value a 206 answer's Content-Range says ("first-last/total" or "*/total"),
    // whatever it sends.
    std::optional<std::string> contentRange;
    std::optional<uint64_t> retryAfterSeconds;
    // The request is answered 302 with this Location, and nothing else.
    std::optional<std::string> redirectTo;
};

// A header line or track field to set (value) or to leave out (no value).
struct FieldEdit
{
    std::string key;
    std::optional<std::string> value;
};

// Changes to a sequence answer.
struct SequenceFaults
{
    std::optional<int> sequenceStatus;
    std::optional<uint32_t> badLine;  // 1-based track line left without its bit rate
    std::optional<uint32_t> longLine; // 1-based track line with a 5000-letter album
    bool noTracks = false;
    bool noStatus = false;
    bool crlf = false;
    std::vector<FieldEdit> header;
    std::optional<std::vector<uint32_t>> tracks; // the track ids of the answer, in order
};

// Changes to one track line and the parts it hands out.
struct TrackLineEdits
{
    std::vector<FieldEdit> fields;
    std::optional<uint64_t> songSize;
    std::optional<uint64_t> cacheSize;
    std::optional<MagicForm> songMagic;
    std::optional<MagicForm> cacheMagic;
};
} // namespace station
