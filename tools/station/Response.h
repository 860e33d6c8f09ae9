// What a route answers: a status with a short text body, or a range of a content part,
// and the faults the scenario gives the answer. A plain value, made on the connection's
// thread and sent by the ResponseWriter.
#pragma once

#include "ContentPart.h"
#include "Faults.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace station
{
struct ContentRange
{
    ContentPart part;
    uint64_t first = 0;
    uint64_t length = 0;

    // "Content-Range: bytes first-last/size" and its line end.
    std::string HeaderLine() const;
};

struct Response
{
    int status = 200;
    std::string contentType = "text/plain";
    std::string extraHeaders; // whole header lines, each ending in CR LF
    std::string body;         // sent when there is no content range
    std::optional<ContentRange> content;
    RequestFaults faults;
    std::string note; // why a request was refused and which faults applied

    static Response Refuse(int status, std::string note);

    uint64_t BodyLength() const;
    // The status line and header lines, with the blank line after them.
    std::string Head() const;
    // Adds a word to the note, blank-separated.
    void AddNote(std::string_view word);
};
} // namespace station
