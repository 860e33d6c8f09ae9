// The rules a station follows (ScenarioRule says their form), as read from a scenario file
// or added by a test while the station runs. Owned by the Station; rules are added and
// matched under m_mutex from any thread (tests, connection threads). Matching a rule uses
// up one of its `after` passes; a rule that takes effect uses up one of its `times` (one
// that an earlier rule shadows for the same fault, value or key keeps its count). An
// outage rule that fires opens a window on the platform clock (a test's manual clock
// drives it) in which every request it matches is in the outage.
#pragma once

#include "Faults.h"
#include "ScenarioRule.h"
#include "platform/Mutex.h"

#include <string>
#include <vector>

namespace station
{
class Scenario
{
public:
    // Adds one rule; blank and '#' lines are ignored. Throws std::invalid_argument.
    void AddRule(const std::string& line) OVR_EXCLUDES(m_mutex);
    // Adds every rule of a file; the error names the file and line number.
    void LoadFile(const std::string& path) OVR_EXCLUDES(m_mutex);

    // The faults of the answer to one request. For a content request, `stationId` is the
    // station whose sequence handed the address out.
    RequestFaults MatchRequest(RequestKind kind, const std::string& stationId, uint32_t trackid,
                               const std::string& part) OVR_EXCLUDES(m_mutex);
    // The changes to one sequence answer for that station.
    SequenceFaults MatchSequence(const std::string& stationId) OVR_EXCLUDES(m_mutex);
    // The changes to one track line of a sequence answer for that station.
    TrackLineEdits MatchTrackLine(const std::string& stationId, uint32_t trackid)
        OVR_EXCLUDES(m_mutex);

private:
    // Counts one match of a rule: true while it lets matches pass, and once it is used up.
    static bool Passes(ScenarioRule& rule);
    // Counts one application that took effect.
    static void Applied(ScenarioRule& rule, bool tookEffect);
    // An outage rule: opens its window (platform clock) when it fires; within the window
    // every match is in the outage.
    static void MatchOutage(ScenarioRule& rule, RequestFaults& faults);

    platform::Mutex m_mutex;
    std::vector<ScenarioRule> m_rules OVR_GUARDED_BY(m_mutex);
};
} // namespace station
