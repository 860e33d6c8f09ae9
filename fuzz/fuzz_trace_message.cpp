// The trace viewer's message reader over any bytes: the input is cut into messages at
// each 0xFF byte, as the viewer receives them from one client, and read in turn.
#include "TraceMessageReader.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    CTraceMessageReader reader;
    std::ostringstream out;
    reader.AddOutput(out);
    std::size_t start = 0;
    while (start <= input.size())
    {
        std::size_t end = input.find('\xFF', start);
        if (end == std::string_view::npos)
            end = input.size();
        (void)reader.Read(input.data() + start, end - start);
        if (reader.ChannelCount() > CTraceMessageReader::kMaxChannels)
            std::abort();
        start = end + 1;
    }
    return 0;
}
