#include "TimeRoute.h"

#include "Scenario.h"

namespace station
{
TimeRoute::TimeRoute(Scenario& scenario, std::function<uint64_t()> nowSeconds)
    : m_scenario(scenario), m_nowSeconds(std::move(nowSeconds))
{
}

Response TimeRoute::Answer(const HttpRequest&)
{
    Response response;
    response.faults = m_scenario.MatchRequest(RequestKind::Time, "", 0, "");
    response.contentType = "text/xml";
    response.body = "<?xml version=\"1.0\"?>\n<SESSIONPARMS>\n  <INFO strTimeStamp=\"" +
                    std::to_string(m_nowSeconds()) + "\"/>\n</SESSIONPARMS>\n";
    return response;
}
} // namespace station
