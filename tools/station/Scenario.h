// Faults to inject, as read from a scenario file or added by a test, one rule a line:
//   <target> <fault> [<value>] [times <n>]
// targets: time | sequence | station <id> | content | track <id> | track <id>/song|/cache
// faults:  status <code> | cut <bytes> | reset <bytes> | delay <ms> | rate <bytes/s> |
//          hold <bytes> (any target); sequence-status <code> |
//          sequence-body bad-line [<n>] | sequence-body long-line [<n>] |
//          sequence-body no-tracks | sequence-body no-status | sequence-body crlf
//          (sequence and station targets).
// Owned by the Station; rules are added and matched under its own lock from any thread.
#pragma once

#include <cstdint>
#include <mutex>
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

// What applies to one request: each field set by the first matching rule that sets it.
struct Faults
{
    std::optional<int> httpStatus;
    std::optional<uint32_t> cutAfter;
    std::optional<uint32_t> resetAfter;
    std::optional<uint32_t> delayMs;
    std::optional<uint32_t> bytesPerSecond;
    std::optional<uint32_t> holdAfter; // body bytes sent before the answer stalls
    std::optional<int> sequenceStatus;
    std::optional<uint32_t> badLine;  // 1-based track line left without its bit rate
    std::optional<uint32_t> longLine; // 1-based track line with a 5000-letter album
    bool noTracks = false;
    bool noStatus = false;
    bool crlf = false;
};

class Scenario
{
public:
    // Adds one rule; blank and '#' lines are ignored. Throws std::invalid_argument.
    void AddRule(const std::string& line);
    // Adds every rule of a file; the error names the line number.
    void LoadFile(const std::string& path);

    // The faults for a request; rules limited by `times` count this use.
    Faults Match(RequestKind kind, const std::string& stationId, uint32_t trackid,
                 const std::string& part);

private:
    struct Rule
    {
        std::string target; // "time", "sequence", "station", "content", "track"
        std::string id;     // station id or track id
        std::string part;   // "", "song" or "cache"
        std::string fault;
        std::string value;
        std::optional<uint32_t> remaining;
    };
    bool Applies(const Rule& rule, RequestKind kind, const std::string& stationId, uint32_t trackid,
                 const std::string& part) const;
    static void Apply(const Rule& rule, Faults& faults);

    std::mutex m_mutex;
    std::vector<Rule> m_rules;
};
} // namespace station
