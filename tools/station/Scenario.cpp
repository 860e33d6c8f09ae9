#include "Scenario.h"

#include "platform/AsciiText.h"
#include "platform/Clock.h"

#include <fstream>
#include <stdexcept>
#include <utility>

namespace station
{
namespace
{
using EScope = ScenarioRule::EScope;
using ETarget = ScenarioRule::ETarget;

// Each Apply function says whether the rule took effect: an earlier rule may have set
// the same thing already.
template <typename T, typename V>
bool SetOnce(std::optional<T>& field, V value)
{
    if (field)
        return false;
    field = static_cast<T>(value);
    return true;
}

// The first edit of a key wins; keys compare without regard to case, as clients read them.
bool AddEdit(std::vector<FieldEdit>& edits, const ScenarioRule& rule)
{
    for (const FieldEdit& edit : edits)
        if (platform::EqualsNoCase(edit.key, rule.key))
            return false;
    edits.push_back({rule.key, rule.text});
    return true;
}

bool AppliesToRequest(const ScenarioRule& rule, RequestKind kind, const std::string& stationId,
                      uint32_t trackid, const std::string& part)
{
    switch (rule.target)
    {
    case ETarget::eTime:
        return kind == RequestKind::Time;
    case ETarget::eSequence:
        return kind == RequestKind::Sequence;
    case ETarget::eStation:
        return kind == RequestKind::Sequence && rule.stationId == stationId;
    case ETarget::eStationContent:
        return kind == RequestKind::Content && rule.stationId == stationId;
    case ETarget::eContent:
        return kind == RequestKind::Content;
    case ETarget::eTrack:
        return kind == RequestKind::Content && rule.trackid == trackid &&
               (rule.part.empty() || rule.part == part);
    }
    return false;
}

bool ApplyRequestRule(const ScenarioRule& rule, RequestFaults& faults)
{
    if (rule.name == "status")
        return SetOnce(faults.httpStatus, rule.number);
    if (rule.name == "cut")
        return SetOnce(faults.cutAfter, rule.number);
    if (rule.name == "reset")
        return SetOnce(faults.resetAfter, rule.number);
    if (rule.name == "delay")
        return SetOnce(faults.delayMs, rule.number);
    if (rule.name == "rate")
        return SetOnce(faults.bytesPerSecond, rule.number);
    if (rule.name == "hold")
        return SetOnce(faults.holdAfter, rule.number);
    if (rule.name == "content-range")
        return SetOnce(faults.contentRange, *rule.text);
    if (rule.name == "retry-after")
        return SetOnce(faults.retryAfterSeconds, rule.number);
    if (rule.name == "redirect")
        return SetOnce(faults.redirectTo, *rule.text);
    return false;
}

// An outage answers 503, or has the station refuse connections for what is left of it.
bool ApplyOutage(const ScenarioRule& rule, uint64_t leftMs, RequestFaults& faults)
{
    if (rule.key == "refuse")
        return SetOnce(faults.refuseForMs, leftMs);
    return SetOnce(faults.httpStatus, 503);
}

bool SetFlag(bool& flag)
{
    return !std::exchange(flag, true);
}

bool ApplySequenceRule(const ScenarioRule& rule, SequenceFaults& faults)
{
    if (rule.name == "sequence-status")
        return SetOnce(faults.sequenceStatus, rule.number);
    if (rule.name == "header" || rule.name == "no-header")
        return AddEdit(faults.header, rule);
    if (rule.name == "tracks")
        return SetOnce(faults.tracks, rule.trackIds);
    if (rule.key == "bad-line")
        return SetOnce(faults.badLine, rule.number);
    if (rule.key == "long-line")
        return SetOnce(faults.longLine, rule.number);
    if (rule.key == "no-tracks")
        return SetFlag(faults.noTracks);
    if (rule.key == "no-status")
        return SetFlag(faults.noStatus);
    if (rule.key == "crlf")
        return SetFlag(faults.crlf);
    return false;
}

bool ApplyTrackLineRule(const ScenarioRule& rule, TrackLineEdits& edits)
{
    if (rule.name == "field" || rule.name == "no-field")
        return AddEdit(edits.fields, rule);
    if (rule.name == "size" && rule.part == "cache")
        return SetOnce(edits.cacheSize, rule.number);
    if (rule.name == "size")
        return SetOnce(edits.songSize, rule.number);
    if (rule.name == "magic")
    {
        const bool song = rule.part != "cache" && SetOnce(edits.songMagic, rule.form);
        const bool cache = rule.part != "song" && SetOnce(edits.cacheMagic, rule.form);
        return song || cache;
    }
    return false;
}
} // namespace

void Scenario::AddRule(const std::string& line)
{
    std::optional<ScenarioRule> rule = ScenarioRule::Parse(line);
    if (!rule)
        return;
    platform::MutexLock lock(m_mutex);
    m_rules.push_back(std::move(*rule));
}

void Scenario::LoadFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw std::invalid_argument("cannot read scenario file " + path);
    int number = 0;
    for (std::string line; std::getline(in, line);)
    {
        ++number;
        try
        {
            AddRule(line);
        }
        catch (const std::invalid_argument& error)
        {
            throw std::invalid_argument(path + ":" + std::to_string(number) + ": " + error.what());
        }
    }
}

bool Scenario::Passes(ScenarioRule& rule)
{
    if (rule.times && *rule.times == 0)
        return true;
    if (rule.after == 0)
        return false;
    --rule.after;
    return true;
}

void Scenario::Applied(ScenarioRule& rule, bool tookEffect)
{
    if (tookEffect && rule.times)
        --*rule.times;
}

RequestFaults Scenario::MatchRequest(RequestKind kind, const std::string& stationId,
                                     uint32_t trackid, const std::string& part)
{
    RequestFaults faults;
    platform::MutexLock lock(m_mutex);
    for (ScenarioRule& rule : m_rules)
    {
        if (rule.scope != EScope::eRequest ||
            !AppliesToRequest(rule, kind, stationId, trackid, part))
            continue;
        if (rule.name == "outage")
            MatchOutage(rule, faults);
        else if (!Passes(rule))
            Applied(rule, ApplyRequestRule(rule, faults));
    }
    return faults;
}

void Scenario::MatchOutage(ScenarioRule& rule, RequestFaults& faults)
{
    // Within a window that is open, every request the rule matches is in the outage and
    // counts for nothing; the first match after it may open the next one.
    const uint32_t now = platform::GetTickCount();
    if (rule.windowStart && now - *rule.windowStart < rule.number)
    {
        ApplyOutage(rule, rule.number - (now - *rule.windowStart), faults);
        return;
    }
    rule.windowStart.reset();
    if (Passes(rule))
        return;
    rule.windowStart = now;
    Applied(rule, ApplyOutage(rule, rule.number, faults));
}

SequenceFaults Scenario::MatchSequence(const std::string& stationId)
{
    SequenceFaults faults;
    platform::MutexLock lock(m_mutex);
    for (ScenarioRule& rule : m_rules)
    {
        const bool applies = rule.target == ETarget::eSequence ||
                             (rule.target == ETarget::eStation && rule.stationId == stationId);
        if (rule.scope == EScope::eSequenceAnswer && applies && !Passes(rule))
            Applied(rule, ApplySequenceRule(rule, faults));
    }
    return faults;
}

TrackLineEdits Scenario::MatchTrackLine(const std::string& stationId, uint32_t trackid)
{
    TrackLineEdits edits;
    platform::MutexLock lock(m_mutex);
    for (ScenarioRule& rule : m_rules)
    {
        const bool applies = rule.target == ETarget::eSequence ||
                             (rule.target == ETarget::eStation && rule.stationId == stationId) ||
                             (rule.target == ETarget::eTrack && rule.trackid == trackid);
        if (rule.scope == EScope::eTrackLine && applies && !Passes(rule))
            Applied(rule, ApplyTrackLineRule(rule, edits));
    }
    return edits;
}
} // namespace station
