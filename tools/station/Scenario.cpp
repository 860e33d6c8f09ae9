#include "Scenario.h"

#include "platform/AsciiText.h"

#include <fstream>
#include <stdexcept>

namespace station
{
namespace
{
using EScope = ScenarioRule::EScope;
using ETarget = ScenarioRule::ETarget;

template <typename T, typename V>
void SetOnce(std::optional<T>& field, V value)
{
    if (!field)
        field = static_cast<T>(value);
}

// The first edit of a key wins; keys compare without regard to case, as clients read them.
void AddEdit(std::vector<FieldEdit>& edits, const ScenarioRule& rule)
{
    for (const FieldEdit& edit : edits)
        if (platform::EqualsNoCase(edit.key, rule.key))
            return;
    edits.push_back({rule.key, rule.text});
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

void ApplyRequestRule(const ScenarioRule& rule, RequestFaults& faults)
{
    if (rule.name == "status")
        SetOnce(faults.httpStatus, rule.number);
    else if (rule.name == "cut")
        SetOnce(faults.cutAfter, rule.number);
    else if (rule.name == "reset")
        SetOnce(faults.resetAfter, rule.number);
    else if (rule.name == "delay")
        SetOnce(faults.delayMs, rule.number);
    else if (rule.name == "rate")
        SetOnce(faults.bytesPerSecond, rule.number);
    else if (rule.name == "hold")
        SetOnce(faults.holdAfter, rule.number);
}

void ApplySequenceRule(const ScenarioRule& rule, SequenceFaults& faults)
{
    if (rule.name == "sequence-status")
        SetOnce(faults.sequenceStatus, rule.number);
    else if (rule.name == "header" || rule.name == "no-header")
        AddEdit(faults.header, rule);
    else if (rule.name == "tracks")
        SetOnce(faults.tracks, rule.trackIds);
    else if (rule.key == "bad-line")
        SetOnce(faults.badLine, rule.number);
    else if (rule.key == "long-line")
        SetOnce(faults.longLine, rule.number);
    else if (rule.key == "no-tracks")
        faults.noTracks = true;
    else if (rule.key == "no-status")
        faults.noStatus = true;
    else if (rule.key == "crlf")
        faults.crlf = true;
}

void ApplyTrackLineRule(const ScenarioRule& rule, TrackLineEdits& edits)
{
    if (rule.name == "field" || rule.name == "no-field")
        AddEdit(edits.fields, rule);
    else if (rule.name == "size" && rule.part == "cache")
        SetOnce(edits.cacheSize, rule.number);
    else if (rule.name == "size")
        SetOnce(edits.songSize, rule.number);
    else if (rule.name == "magic")
    {
        if (rule.part != "cache")
            SetOnce(edits.songMagic, rule.form);
        if (rule.part != "song")
            SetOnce(edits.cacheMagic, rule.form);
    }
}
} // namespace

void Scenario::AddRule(const std::string& line)
{
    std::optional<ScenarioRule> rule = ScenarioRule::Parse(line);
    if (!rule)
        return;
    MutexLock lock(m_mutex);
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

bool Scenario::Use(ScenarioRule& rule)
{
    if (rule.times && *rule.times == 0)
        return false;
    if (rule.after > 0)
    {
        --rule.after;
        return false;
    }
    if (rule.times)
        --*rule.times;
    return true;
}

RequestFaults Scenario::MatchRequest(RequestKind kind, const std::string& stationId,
                                     uint32_t trackid, const std::string& part)
{
    RequestFaults faults;
    MutexLock lock(m_mutex);
    for (ScenarioRule& rule : m_rules)
        if (rule.scope == EScope::eRequest &&
            AppliesToRequest(rule, kind, stationId, trackid, part) && Use(rule))
            ApplyRequestRule(rule, faults);
    return faults;
}

SequenceFaults Scenario::MatchSequence(const std::string& stationId)
{
    SequenceFaults faults;
    MutexLock lock(m_mutex);
    for (ScenarioRule& rule : m_rules)
    {
        const bool applies = rule.target == ETarget::eSequence ||
                             (rule.target == ETarget::eStation && rule.stationId == stationId);
        if (rule.scope == EScope::eSequenceAnswer && applies && Use(rule))
            ApplySequenceRule(rule, faults);
    }
    return faults;
}

TrackLineEdits Scenario::MatchTrackLine(const std::string& stationId, uint32_t trackid)
{
    TrackLineEdits edits;
    MutexLock lock(m_mutex);
    for (ScenarioRule& rule : m_rules)
    {
        const bool applies = rule.target == ETarget::eSequence ||
                             (rule.target == ETarget::eStation && rule.stationId == stationId) ||
                             (rule.target == ETarget::eTrack && rule.trackid == trackid);
        if (rule.scope == EScope::eTrackLine && applies && Use(rule))
            ApplyTrackLineRule(rule, edits);
    }
    return edits;
}
} // namespace station
