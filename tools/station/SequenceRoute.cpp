#include "SequenceRoute.h"

#include "FormText.h"
#include "GrantTable.h"
#include "Scenario.h"
#include "Signatures.h"
#include "platform/AsciiText.h"

namespace station
{
namespace
{
constexpr std::size_t kLongAlbum = 5000; // makes a track line longer than a client's read block
}

SequenceRoute::SequenceRoute(const Catalogue& catalogue, Scenario& scenario, GrantTable& grants,
                             std::string baseUrl, std::function<uint64_t()> nowSeconds)
    : m_catalogue(catalogue), m_scenario(scenario), m_grants(grants), m_baseUrl(std::move(baseUrl)),
      m_nowSeconds(std::move(nowSeconds))
{
}

Response SequenceRoute::Answer(const HttpRequest& request)
{
    const std::string stationId = FormDecode(QueryValue(request.query, "STATION_ID").value_or(""));
    const std::string uid = UidFromOvuid(QueryValue(request.query, "OVUID").value_or(""));
    const std::string log = QueryValue(request.query, "LOG").value_or("");

    Response response;
    response.faults = m_scenario.MatchRequest(RequestKind::Sequence, stationId, 0, "");
    const SequenceFaults faults = m_scenario.MatchSequence(stationId);
    const uint32_t sequence = ++m_sequenceCount;
    const auto trackIds = TrackIds(stationId, faults, sequence);

    int code = faults.sequenceStatus.value_or(200);
    if (!IsSigned(uid, log))
        code = 500, response.note = "bad LOG signature";
    else if (!trackIds)
        code = 404, response.note = "unknown station";
    const bool withTracks = (code == 200 || code == 245) && !faults.noTracks;

    const std::string eol = faults.crlf ? "\r\n" : "\n";
    std::string body;
    for (const auto& [key, value] : Header(code, sequence, faults))
        body += key + "=" + value + eol;
    if (withTracks)
        for (std::size_t i = 0; i < trackIds->size(); ++i)
            body += TrackLine((*trackIds)[i], i + 1, stationId, uid, faults) + eol;
    response.contentType = "audio/x-mpegurl";
    response.body = body;
    return response;
}

bool SequenceRoute::IsSigned(const std::string& uid, const std::string& log) const
{
    // The current hour of the station's clock, or the previous one.
    const auto hours = static_cast<uint32_t>(m_nowSeconds() / 3600);
    return !uid.empty() &&
           (log == SequenceLogValue(uid, hours) || log == SequenceLogValue(uid, hours - 1));
}

std::optional<std::vector<uint32_t>> SequenceRoute::TrackIds(const std::string& stationId,
                                                             const SequenceFaults& faults,
                                                             uint32_t sequence) const
{
    if (faults.tracks)
        return faults.tracks;
    const std::vector<uint32_t>* listed = m_catalogue.Station(stationId);
    if (!listed)
        return std::nullopt;
    // Each sequence starts one track further on, so a demo hears them all in turn.
    std::vector<uint32_t> ids;
    for (std::size_t i = 0; i < listed->size(); ++i)
        ids.push_back((*listed)[(i + sequence - 1) % listed->size()]);
    return ids;
}

SequenceRoute::Fields SequenceRoute::Header(int code, uint32_t sequence,
                                            const SequenceFaults& faults)
{
    Fields header;
    if (!faults.noStatus)
        header.emplace_back("status_code", std::to_string(code));
    header.emplace_back("session_id", std::to_string(4000 + sequence));
    for (const char* line :
         {"cachelow=5", "cachehigh=15", "numcaches=4", "minbr=64", "startthresh=3",
          "minpreconnectcache=2", "ccdwindow=5", "ccdthresh=25"})
    {
        const std::string text = line;
        const std::size_t equals = text.find('=');
        header.emplace_back(text.substr(0, equals), text.substr(equals + 1));
    }
    ApplyEdits(header, faults.header);
    return header;
}

std::string SequenceRoute::TrackLine(uint32_t trackid, std::size_t lineNumber,
                                     const std::string& stationId, const std::string& uid,
                                     const SequenceFaults& faults)
{
    const TrackLineEdits edits = m_scenario.MatchTrackLine(stationId, trackid);
    CatalogueTrack track = m_catalogue.TrackOrSynthesised(trackid);
    if (edits.cacheSize)
        Catalogue::MakeSplit(track, *edits.cacheSize);
    // Sizes change synthesised parts only; a file is as long as it is.
    if (edits.songSize && track.song.Synthesised())
        track.song.size = *edits.songSize;
    if (edits.cacheSize && track.cache && track.cache->Synthesised())
        track.cache->size = *edits.cacheSize;

    const std::string id = std::to_string(trackid);
    const bool longAlbum = faults.longLine && *faults.longLine == lineNumber;
    Fields fields = {
        {"trackid", id},
        {"track", FormEncode(track.title)},
        {"artist", FormEncode(track.artist)},
        {"artistid", id},
        {"album", longAlbum ? std::string(kLongAlbum, 'A') : FormEncode(track.album)},
        {"albumid", id},
        {"songurl", ContentAddress(track, "song", track.song,
                                   edits.songMagic.value_or(MagicForm::eSigned), stationId, uid)},
        {"weburl", m_baseUrl + "/web/" + id},
        {"stationtext", FormEncode("Now playing " + track.title)},
        {"arturl", m_baseUrl + "/art/" + id + ".jpg"},
        {"songbr", std::to_string(track.bitrateKbps)},
        {"songsize", std::to_string(track.song.size)},
        {"skip", "1"},
        {"nextdisplay", FormEncode("Coming up: " + track.title)},
        {"qualityname", FormEncode(std::to_string(track.bitrateKbps) + " kbps")},
        {"afd", "mp3"},
        {"numchans", std::to_string(track.channels)},
        {"samplerate", std::to_string(track.sampleRate)},
        {"songenc", "mp3"},
    };
    if (track.cache)
    {
        fields.emplace_back("cacheid", track.cacheid);
        fields.emplace_back("cacheurl",
                            ContentAddress(track, "cache", *track.cache,
                                           edits.cacheMagic.value_or(MagicForm::eSigned), stationId,
                                           uid));
        fields.emplace_back("cachesize", std::to_string(track.cache->size));
        fields.emplace_back("splitcache", std::to_string(track.splitcache));
        fields.emplace_back("splitsong", std::to_string(track.splitsong));
    }
    fields.emplace_back("retry", "30");
    if (faults.badLine && *faults.badLine == lineNumber)
        ApplyEdits(fields, {{"songbr", std::nullopt}});
    ApplyEdits(fields, edits.fields);

    std::string line = "OVDK::";
    for (const auto& [key, value] : fields)
        line += key + "=" + value + "::";
    return line;
}

std::string SequenceRoute::ContentAddress(const CatalogueTrack& track, const std::string& part,
                                          const ContentPart& content, MagicForm form,
                                          const std::string& stationId, const std::string& uid)
{
    const std::string id = std::to_string(track.trackid);
    const std::string magic = IssueMagicValue(track.trackid, part, form);
    const uint64_t token = m_grants.Add(Grant{uid, stationId, track.trackid, part, content, magic});
    return m_baseUrl + "/content/" + id + "/" + part + ".mp3?TOK=" + std::to_string(token) +
           (magic.empty() ? "" : "&MAGIC=" + magic) + "&CID=" + id;
}

void SequenceRoute::ApplyEdits(Fields& fields, const std::vector<FieldEdit>& edits)
{
    for (const FieldEdit& edit : edits)
    {
        auto it = fields.begin();
        while (it != fields.end() && !platform::EqualsNoCase(it->first, edit.key))
            ++it;
        if (!edit.value)
        {
            if (it != fields.end())
                fields.erase(it);
        }
        else if (it != fields.end())
            *it = {edit.key, *edit.value};
        else
            fields.emplace_back(edit.key, *edit.value);
    }
}
} // namespace station
