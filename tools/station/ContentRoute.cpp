#include "ContentRoute.h"

#include "FormText.h"
#include "GrantTable.h"
#include "Scenario.h"
#include "Signatures.h"

#include <algorithm>

namespace station
{
ContentRoute::ContentRoute(Scenario& scenario, GrantTable& grants)
    : m_scenario(scenario), m_grants(grants)
{
}

Response ContentRoute::Answer(const HttpRequest& request)
{
    const std::optional<Path> path = ParsePath(request.path);
    if (!path)
        return Response::Refuse(404, "unknown content");
    const auto token = Decimal(QueryValue(request.query, "TOK").value_or(""));
    const std::optional<Grant> grant = token ? m_grants.Find(*token) : std::nullopt;
    if (!grant || grant->trackid != path->trackid || grant->part != path->part)
        return Response::Refuse(403, "unknown token");
    if (!IsSignedMagic(RawMagicValue(request.target), grant->magicValue, grant->uid))
        return Response::Refuse(403, "bad MAGIC signature");
    std::optional<uint64_t> resumeOffset;
    if (std::optional<Response> refusal = CheckResume(request, *grant, resumeOffset))
        return *refusal;

    // Rules count the requests the station accepts; a refused one neither gets nor uses one.
    const RequestFaults faults =
        m_scenario.MatchRequest(RequestKind::Content, grant->stationId, path->trackid, path->part);
    Response response = Serve(request, *grant, resumeOffset);
    response.faults = faults;
    return response;
}

std::optional<ContentRoute::Path> ContentRoute::ParsePath(const std::string& path)
{
    // /content/<trackid>/<part>.mp3
    const std::string prefix = "/content/";
    const std::string suffix = ".mp3";
    if (path.rfind(prefix, 0) != 0 || path.size() < prefix.size() + suffix.size() ||
        path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
        return std::nullopt;
    const std::string rest =
        path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
    const std::size_t slash = rest.find('/');
    if (slash == std::string::npos)
        return std::nullopt;
    const auto trackid = Decimal(rest.substr(0, slash), 9);
    const std::string part = rest.substr(slash + 1);
    if (!trackid || (part != "song" && part != "cache"))
        return std::nullopt;
    return Path{static_cast<uint32_t>(*trackid), part};
}

std::optional<Response> ContentRoute::CheckResume(const HttpRequest& request, const Grant& grant,
                                                  std::optional<uint64_t>& offset)
{
    // A resumed request names its offset in X-Range= and signs it with RETRY=, both
    // appended to the address as the client holds it.
    const std::size_t xrange = request.target.find("&X-Range=");
    if (xrange == std::string::npos)
        return std::nullopt;
    const std::string appended = request.target.substr(xrange + 1);
    const std::string value = QueryValue(appended, "X-Range").value_or("");
    if (value.size() > 1 && value.back() == '-')
        offset = Decimal(value.substr(0, value.size() - 1));
    const std::string token = QueryValue(appended, "RETRY").value_or("");
    if (!offset || token != RetryToken(request.target.substr(0, xrange), grant.uid, *offset))
        return Response::Refuse(403, "bad RETRY token");
    return std::nullopt;
}

std::optional<ContentRoute::RangeAsked> ContentRoute::ParseRange(const std::string& text)
{
    const std::string unit = "bytes=";
    const std::size_t dash = text.find('-');
    if (text.rfind(unit, 0) != 0 || dash == std::string::npos)
        return std::nullopt;
    RangeAsked range;
    const auto first = Decimal(std::string_view(text).substr(unit.size(), dash - unit.size()));
    if (!first)
        return std::nullopt;
    range.first = *first;
    if (dash + 1 < text.size())
    {
        range.last = Decimal(std::string_view(text).substr(dash + 1));
        if (!range.last || *range.last < range.first)
            return std::nullopt;
    }
    return range;
}

Response ContentRoute::Serve(const HttpRequest& request, const Grant& grant,
                             std::optional<uint64_t> resumeOffset)
{
    const uint64_t size = grant.content.size;
    Response response;
    response.contentType = "audio/mpeg";
    ContentRange range{grant.content, 0, size};
    if (const std::optional<std::string> header = request.Header("Range"))
    {
        const std::optional<RangeAsked> asked = ParseRange(*header);
        if (!asked || (resumeOffset && asked->first != *resumeOffset))
            return Response::Refuse(400, "bad Range header");
        if (asked->first >= size)
        {
            response = Response::Refuse(416, "range beyond the end");
            response.extraHeaders = "Content-Range: bytes */" + std::to_string(size) + "\r\n";
            return response;
        }
        const uint64_t last = std::min(asked->last.value_or(size - 1), size - 1);
        range.first = asked->first;
        range.length = last - asked->first + 1;
        response.status = 206;
        response.extraHeaders = range.HeaderLine();
    }
    response.extraHeaders += "Accept-Ranges: bytes\r\n";
    response.content = range;
    return response;
}
} // namespace station
