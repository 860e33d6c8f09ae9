#include "Scenario.h"

#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace station
{
namespace
{
uint32_t Number(const std::string& text, const std::string& line)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 9)
        throw std::invalid_argument("bad number '" + text + "' in: " + line);
    return static_cast<uint32_t>(std::stoul(text));
}

const std::set<std::string> kAnyTargetFaults = {"status", "cut", "reset", "delay", "rate", "hold"};
const std::set<std::string> kSequenceFaults = {"sequence-status", "sequence-body"};
} // namespace

void Scenario::AddRule(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    if (words.empty() || words[0][0] == '#')
        return;

    Rule rule;
    std::size_t next = 1;
    rule.target = words[0];
    if (rule.target == "station" || rule.target == "track")
    {
        if (words.size() < 2)
            throw std::invalid_argument("missing id in: " + line);
        rule.id = words[1];
        next = 2;
        if (rule.target == "track")
        {
            const std::size_t slash = rule.id.find('/');
            if (slash != std::string::npos)
            {
                rule.part = rule.id.substr(slash + 1);
                rule.id.resize(slash);
                if (rule.part != "song" && rule.part != "cache")
                    throw std::invalid_argument("part must be song or cache in: " + line);
            }
            Number(rule.id, line);
        }
    }
    else if (rule.target != "time" && rule.target != "sequence" && rule.target != "content")
        throw std::invalid_argument("unknown target '" + rule.target + "' in: " + line);

    if (words.size() <= next)
        throw std::invalid_argument("missing fault in: " + line);
    rule.fault = words[next++];
    const bool sequenceTarget = rule.target == "sequence" || rule.target == "station";
    if (!kAnyTargetFaults.count(rule.fault) &&
        !(sequenceTarget && kSequenceFaults.count(rule.fault)))
        throw std::invalid_argument("unknown fault '" + rule.fault + "' in: " + line);

    if (rule.fault == "sequence-body")
    {
        if (words.size() <= next)
            throw std::invalid_argument("missing body variant in: " + line);
        rule.value = words[next++];
        if (rule.value == "bad-line" || rule.value == "long-line")
        {
            const std::string variant = rule.value;
            rule.value += " 1";
            if (words.size() > next && words[next] != "times")
                rule.value = variant + " " + std::to_string(Number(words[next++], line));
        }
        else if (rule.value != "no-tracks" && rule.value != "no-status" && rule.value != "crlf")
            throw std::invalid_argument("unknown body variant in: " + line);
    }
    else
    {
        if (words.size() <= next)
            throw std::invalid_argument("missing value in: " + line);
        rule.value = std::to_string(Number(words[next++], line));
    }
    if (words.size() > next)
    {
        if (words[next] != "times" || words.size() != next + 2)
            throw std::invalid_argument("unexpected text in: " + line);
        rule.remaining = Number(words[next + 1], line);
    }
    std::lock_guard lock(m_mutex);
    m_rules.push_back(rule);
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

bool Scenario::Applies(const Rule& rule, RequestKind kind, const std::string& stationId,
                       uint32_t trackid, const std::string& part) const
{
    if (rule.remaining && *rule.remaining == 0)
        return false;
    if (rule.target == "time")
        return kind == RequestKind::Time;
    if (rule.target == "sequence")
        return kind == RequestKind::Sequence;
    if (rule.target == "station")
        return kind == RequestKind::Sequence && rule.id == stationId;
    if (rule.target == "content")
        return kind == RequestKind::Content;
    return kind == RequestKind::Content && rule.id == std::to_string(trackid) &&
           (rule.part.empty() || rule.part == part);
}

void Scenario::Apply(const Rule& rule, Faults& faults)
{
    const auto set = [](auto& field, auto value)
    {
        if (!field)
            field = value;
    };
    const uint32_t n =
        rule.fault == "sequence-body" ? 0 : static_cast<uint32_t>(std::stoul(rule.value));
    if (rule.fault == "status")
        set(faults.httpStatus, static_cast<int>(n));
    else if (rule.fault == "cut")
        set(faults.cutAfter, n);
    else if (rule.fault == "reset")
        set(faults.resetAfter, n);
    else if (rule.fault == "delay")
        set(faults.delayMs, n);
    else if (rule.fault == "rate")
        set(faults.bytesPerSecond, n);
    else if (rule.fault == "hold")
        set(faults.holdAfter, n);
    else if (rule.fault == "sequence-status")
        set(faults.sequenceStatus, static_cast<int>(n));
    else if (rule.value.rfind("bad-line ", 0) == 0)
        set(faults.badLine, static_cast<uint32_t>(std::stoul(rule.value.substr(9))));
    else if (rule.value.rfind("long-line ", 0) == 0)
        set(faults.longLine, static_cast<uint32_t>(std::stoul(rule.value.substr(10))));
    else if (rule.value == "no-tracks")
        faults.noTracks = true;
    else if (rule.value == "no-status")
        faults.noStatus = true;
    else if (rule.value == "crlf")
        faults.crlf = true;
}

Faults Scenario::Match(RequestKind kind, const std::string& stationId, uint32_t trackid,
                       const std::string& part)
{
    std::lock_guard lock(m_mutex);
    Faults faults;
    for (Rule& rule : m_rules)
    {
        if (!Applies(rule, kind, stationId, trackid, part))
            continue;
        Apply(rule, faults);
        if (rule.remaining)
            --*rule.remaining;
    }
    return faults;
}
} // namespace station
