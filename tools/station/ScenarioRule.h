// One rule of a scenario, read from one line:
//   <target> <rule> [<value>] [after <n>] [times <n>]
// targets: time | sequence | station <id> | station <id>/content | content | track <id> |
//          track <id>/song | track <id>/cache (a station id is form-decoded)
// rules for any target: status | cut | reset | delay | rate | hold | outage <ms> [503|refuse] |
//          content-range <first-last/total> | retry-after <seconds> | redirect <address>
// rules for the sequence and station targets (sequence answers): sequence-status |
//          sequence-body | header K=V | no-header K | tracks <id>,<id>,...
// rules for the sequence, station and track targets (track lines): field K=V |
//          no-field K | size <bytes> | magic none|single|long|signed
// docs/station.md says what each does. A plain value.
#pragma once

#include "Signatures.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station
{
struct ScenarioRule
{
    enum class ETarget
    {
        eTime,
        eSequence,
        eStation,
        eStationContent,
        eContent,
        eTrack
    };
    // What a rule changes: the HTTP answer to a request, a sequence answer's text, or one
    // track line of a sequence answer (and the parts it hands out).
    enum class EScope
    {
        eRequest,
        eSequenceAnswer,
        eTrackLine
    };

    ETarget target = ETarget::eTime;
    std::string stationId; // decoded
    uint32_t trackid = 0;
    std::string part; // "", "song" or "cache"
    std::string name; // the rule's word: "status", "cut", ..., "field", "size"
    EScope scope = EScope::eRequest;
    uint64_t number = 0;             // the value of a rule that takes a number
    std::string key;                 // header or field name; the sequence-body variant
    std::optional<std::string> text; // header or field value
    std::vector<uint32_t> trackIds;
    MagicForm form = MagicForm::eSigned;
    uint32_t after = 0;            // matches that pass before the rule applies
    std::optional<uint32_t> times; // applications left; none: no limit
    // An outage rule's window once it has fired: from this tick (platform clock) for
    // `number` ms.
    std::optional<uint32_t> windowStart;

    // Nothing for a blank or '#' line. Throws std::invalid_argument naming the line.
    static std::optional<ScenarioRule> Parse(const std::string& line);
};
} // namespace station
