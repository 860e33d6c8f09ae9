// Answers sequence requests (POST or GET /sequence.m3u?...): checks the LOG= signature,
// writes the header lines and one OVDK:: line per track as the scenario shapes them, and
// grants the content addresses in those lines. Called on connection threads; the
// sequence count is atomic, the catalogue only read, the rules and grants keep their
// own locks.
#pragma once

#include "Catalogue.h"
#include "HttpRequest.h"
#include "Response.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace station
{
class GrantTable;
class Scenario;

class SequenceRoute
{
public:
    SequenceRoute(const Catalogue& catalogue, Scenario& scenario, GrantTable& grants,
                  std::string baseUrl, std::function<uint64_t()> nowSeconds);
    Response Answer(const HttpRequest& request);

private:
    // key=value pairs in their order: the header lines, or the fields of a track line.
    using Fields = std::vector<std::pair<std::string, std::string>>;

    bool IsSigned(const std::string& uid, const std::string& log) const;
    // The track ids of this answer; nothing for a station the station does not know.
    std::optional<std::vector<uint32_t>>
    TrackIds(const std::string& stationId, const SequenceFaults& faults, uint32_t sequence) const;
    static Fields Header(int code, uint32_t sequence, const SequenceFaults& faults);
    std::string TrackLine(uint32_t trackid, std::size_t lineNumber, const std::string& stationId,
                          const std::string& uid, const SequenceFaults& faults);
    std::string ContentAddress(const CatalogueTrack& track, const std::string& part,
                               const ContentPart& content, MagicForm form,
                               const std::string& stationId, const std::string& uid);
    static void ApplyEdits(Fields& fields, const std::vector<FieldEdit>& edits);

    const Catalogue& m_catalogue;
    Scenario& m_scenario;
    GrantTable& m_grants;
    const std::string m_baseUrl;
    std::function<uint64_t()> m_nowSeconds;
    std::atomic<uint32_t> m_sequenceCount{0};
};
} // namespace station
