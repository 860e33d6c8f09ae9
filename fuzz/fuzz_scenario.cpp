// The station's scenario text: every line a rule (bad ones refused with their error),
// then the rules matched against requests, sequences and track lines as a station would.
#include "Scenario.h"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    station::Scenario scenario;
    std::size_t start = 0;
    while (start <= text.size())
    {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        try
        {
            scenario.AddRule(std::string(text.substr(start, end - start)));
        }
        catch (const std::invalid_argument&)
        {
        }
        start = end + 1;
    }
    for (int round = 0; round < 3; ++round)
    {
        for (const char* station : {"rock", "demo", "Rock & Roll"})
        {
            (void)scenario.MatchSequence(station);
            for (const uint32_t trackid : {0u, 101u, 302u})
            {
                (void)scenario.MatchTrackLine(station, trackid);
                for (const char* part : {"", "song", "cache"})
                    (void)scenario.MatchRequest(station::RequestKind::Content, station, trackid,
                                                part);
            }
        }
        (void)scenario.MatchRequest(station::RequestKind::Time, "", 0, "");
        (void)scenario.MatchRequest(station::RequestKind::Sequence, "rock", 0, "");
    }
    return 0;
}
