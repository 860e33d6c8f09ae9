#include "ScenarioRule.h"

#include "FormText.h"
#include "platform/AsciiText.h"
#include "platform/Http.h"

#include <map>
#include <sstream>
#include <stdexcept>

namespace station
{
namespace
{
namespace http = platform::http;
using EScope = ScenarioRule::EScope;
using ETarget = ScenarioRule::ETarget;

const std::map<std::string, EScope> kRuleScopes = {
    {"status", EScope::eRequest},
    {"cut", EScope::eRequest},
    {"reset", EScope::eRequest},
    {"delay", EScope::eRequest},
    {"rate", EScope::eRequest},
    {"hold", EScope::eRequest},
    {"outage", EScope::eRequest},
    {"content-range", EScope::eRequest},
    {"retry-after", EScope::eRequest},
    {"redirect", EScope::eRequest},
    {"sequence-status", EScope::eSequenceAnswer},
    {"sequence-body", EScope::eSequenceAnswer},
    {"header", EScope::eSequenceAnswer},
    {"no-header", EScope::eSequenceAnswer},
    {"tracks", EScope::eSequenceAnswer},
    {"field", EScope::eTrackLine},
    {"no-field", EScope::eTrackLine},
    {"size", EScope::eTrackLine},
    {"magic", EScope::eTrackLine},
};

const std::map<std::string, MagicForm> kMagicForms = {{"signed", MagicForm::eSigned},
                                                      {"none", MagicForm::eNone},
                                                      {"single", MagicForm::eSingle},
                                                      {"long", MagicForm::eLong}};

// Reads the words of one line in turn; every error names the line.
class Words
{
public:
    explicit Words(const std::string& line) : m_line(line)
    {
        std::istringstream in(line);
        for (std::string word; in >> word;)
            m_words.push_back(word);
    }

    bool Empty() const { return m_words.empty(); }
    bool More() const { return m_next < m_words.size(); }
    const std::string& Peek() const { return m_words[m_next]; }
    std::string Next(const char* what)
    {
        if (!More())
            Fail(std::string("missing ") + what);
        return m_words[m_next++];
    }
    uint64_t Number(const char* what, uint64_t minimum = 0, std::size_t maxDigits = 18)
    {
        const std::string text = Next(what);
        const std::optional<uint64_t> number = Decimal(text, maxDigits);
        if (!number)
            Fail("bad number '" + text + "'");
        const uint64_t value = *number;
        if (value < minimum)
            Fail("'" + text + "' is below " + std::to_string(minimum));
        return value;
    }
    [[noreturn]] void Fail(const std::string& reason) const
    {
        throw std::invalid_argument(reason + " in: " + m_line);
    }

private:
    const std::string& m_line;
    std::vector<std::string> m_words;
    std::size_t m_next = 0;
};

uint32_t TrackId(Words& words, const std::string& text)
{
    const std::optional<uint64_t> id = Decimal(text, 9);
    if (!id)
        words.Fail("bad track id '" + text + "'");
    return static_cast<uint32_t>(*id);
}

void ReadTarget(Words& words, ScenarioRule& rule)
{
    const std::string target = words.Next("target");
    if (target == "time")
        rule.target = ETarget::eTime;
    else if (target == "sequence")
        rule.target = ETarget::eSequence;
    else if (target == "content")
        rule.target = ETarget::eContent;
    else if (target == "station")
    {
        std::string id = words.Next("station id");
        rule.target = ETarget::eStation;
        const std::string content = "/content";
        if (id.size() > content.size() &&
            id.compare(id.size() - content.size(), content.size(), content) == 0)
        {
            rule.target = ETarget::eStationContent;
            id.resize(id.size() - content.size());
        }
        rule.stationId = FormDecode(id);
    }
    else if (target == "track")
    {
        std::string id = words.Next("track id");
        rule.target = ETarget::eTrack;
        const std::size_t slash = id.find('/');
        if (slash != std::string::npos)
        {
            rule.part = id.substr(slash + 1);
            id.resize(slash);
            if (rule.part != "song" && rule.part != "cache")
                words.Fail("part must be song or cache");
        }
        rule.trackid = TrackId(words, id);
    }
    else
        words.Fail("unknown target '" + target + "'");
}

void CheckTarget(Words& words, const ScenarioRule& rule)
{
    const bool sequenceTarget =
        rule.target == ETarget::eSequence || rule.target == ETarget::eStation;
    if (rule.scope == EScope::eSequenceAnswer && !sequenceTarget)
        words.Fail("'" + rule.name + "' needs a sequence or station target");
    if (rule.scope == EScope::eTrackLine && !sequenceTarget && rule.target != ETarget::eTrack)
        words.Fail("'" + rule.name + "' needs a sequence, station or track target");
    if ((rule.name == "field" || rule.name == "no-field") && !rule.part.empty())
        words.Fail("'" + rule.name + "' takes a whole track, not a part");
}

// K=V for a setting rule, K alone for a removing one.
void ReadKey(Words& words, ScenarioRule& rule, bool withValue)
{
    const std::string text = words.Next("key");
    const std::size_t equals = text.find('=');
    if (withValue != (equals != std::string::npos) || equals == 0)
        words.Fail(withValue ? "expected KEY=VALUE" : "expected a key without '='");
    rule.key = text.substr(0, equals);
    if (withValue)
        rule.text = text.substr(equals + 1);
    if (rule.name == "header" && platform::EqualsNoCase(rule.key, "status_code"))
        words.Fail("status_code is set with sequence-status");
}

void ReadTrackList(Words& words, ScenarioRule& rule)
{
    const std::string list = words.Next("track ids");
    std::size_t start = 0;
    while (start <= list.size())
    {
        std::size_t comma = list.find(',', start);
        if (comma == std::string::npos)
            comma = list.size();
        rule.trackIds.push_back(TrackId(words, list.substr(start, comma - start)));
        start = comma + 1;
    }
}

void ReadValue(Words& words, ScenarioRule& rule)
{
    const std::string& name = rule.name;
    if (name == "status")
        rule.number = words.Number("status code", 100, 3);
    else if (name == "rate" || name == "size")
        rule.number = words.Number("value", 1);
    else if (name == "cut" || name == "reset" || name == "hold" || name == "delay" ||
             name == "retry-after")
        rule.number = words.Number("value");
    else if (name == "outage")
    {
        rule.number = words.Number("milliseconds", 1, 9);
        rule.key = "503";
        if (words.More() && words.Peek() != "after" && words.Peek() != "times")
        {
            rule.key = words.Next("outage kind");
            if (rule.key != "503" && rule.key != "refuse")
                words.Fail("outage kind must be 503 or refuse");
        }
    }
    else if (name == "redirect")
    {
        rule.text = words.Next("address");
        if (rule.text->rfind("http://", 0) != 0 && rule.text->rfind("https://", 0) != 0)
            words.Fail("a redirect goes to an http:// or https:// address");
    }
    else if (name == "content-range")
    {
        rule.text = words.Next("content range");
        http::SContentRange range;
        if (!http::ParseContentRange("bytes " + *rule.text, range))
            words.Fail("content range must be first-last/total or */total");
    }
    else if (name == "sequence-status")
        rule.number = words.Number("status code", 0, 9);
    else if (name == "sequence-body")
    {
        rule.key = words.Next("body variant");
        if (rule.key == "bad-line" || rule.key == "long-line")
        {
            rule.number = 1;
            if (words.More() && words.Peek() != "after" && words.Peek() != "times")
                rule.number = words.Number("line number", 1, 9);
        }
        else if (rule.key != "no-tracks" && rule.key != "no-status" && rule.key != "crlf")
            words.Fail("unknown body variant '" + rule.key + "'");
    }
    else if (name == "header" || name == "field")
        ReadKey(words, rule, true);
    else if (name == "no-header" || name == "no-field")
        ReadKey(words, rule, false);
    else if (name == "tracks")
        ReadTrackList(words, rule);
    else if (name == "magic")
    {
        const std::string form = words.Next("magic form");
        const auto it = kMagicForms.find(form);
        if (it == kMagicForms.end())
            words.Fail("magic form must be signed, none, single or long");
        rule.form = it->second;
    }
}

void ReadLimits(Words& words, ScenarioRule& rule)
{
    bool after = false;
    while (words.More())
    {
        const std::string word = words.Next("limit");
        if (word == "after" && !after && !rule.times)
        {
            rule.after = static_cast<uint32_t>(words.Number("count", 0, 9));
            after = true;
        }
        else if (word == "times" && !rule.times)
            rule.times = static_cast<uint32_t>(words.Number("count", 0, 9));
        else
            words.Fail("unexpected text '" + word + "'");
    }
}
} // namespace

std::optional<ScenarioRule> ScenarioRule::Parse(const std::string& line)
{
    Words words(line);
    if (words.Empty() || words.Peek()[0] == '#')
        return std::nullopt;
    ScenarioRule rule;
    ReadTarget(words, rule);
    rule.name = words.Next("rule");
    const auto scope = kRuleScopes.find(rule.name);
    if (scope == kRuleScopes.end())
        words.Fail("unknown rule '" + rule.name + "'");
    rule.scope = scope->second;
    CheckTarget(words, rule);
    ReadValue(words, rule);
    ReadLimits(words, rule);
    return rule;
}
} // namespace station
