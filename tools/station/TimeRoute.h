// Answers time requests (GET /ovdk/radiotime?...) with the station's wall clock in a
// session parameter file. Called on connection threads; keeps no state of its own.
#pragma once

#include "HttpRequest.h"
#include "Response.h"

#include <cstdint>
#include <functional>

namespace station
{
class Scenario;

class TimeRoute
{
public:
    TimeRoute(Scenario& scenario, std::function<uint64_t()> nowSeconds);
    Response Answer(const HttpRequest& request);

private:
    Scenario& m_scenario;
    std::function<uint64_t()> m_nowSeconds;
};
} // namespace station
