// Answers content requests (GET /content/<trackid>/<song|cache>.mp3?TOK=..&MAGIC=..):
// serves a granted part when its MAGIC= value is signed for the identifier it was handed
// out to, a resumed request's RETRY= token matches its X-Range= offset, and a Range header
// agrees; the bytes of a range are read as they are sent. Called on connection threads;
// the rules and grants keep their own locks.
#pragma once

#include "HttpRequest.h"
#include "Response.h"

#include <cstdint>
#include <optional>
#include <string>

namespace station
{
class GrantTable;
class Scenario;
struct Grant;

class ContentRoute
{
public:
    ContentRoute(Scenario& scenario, GrantTable& grants);
    Response Answer(const HttpRequest& request);

private:
    struct Path
    {
        uint32_t trackid = 0;
        std::string part;
    };
    // The byte range a Range header asks for: from `first`, to `last` when it names one.
    struct RangeAsked
    {
        uint64_t first = 0;
        std::optional<uint64_t> last;
    };

    static std::optional<Path> ParsePath(const std::string& path);
    // The resume offset of a request whose X-Range= carries a valid RETRY= token; a
    // refusal when the token is wrong; nothing for a request that is not a resume.
    static std::optional<Response> CheckResume(const HttpRequest& request, const Grant& grant,
                                               std::optional<uint64_t>& offset);
    static std::optional<RangeAsked> ParseRange(const std::string& text);
    static Response Serve(const HttpRequest& request, const Grant& grant,
                          std::optional<uint64_t> resumeOffset);

    Scenario& m_scenario;
    GrantTable& m_grants;
};
} // namespace station
