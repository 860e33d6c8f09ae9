// ovradio-cache: see CacheTool.h. Traces on a channel of its own, as the engine does.
#include "CacheTool.h"
#include "host/Trace.h"

#include <iostream>

int main(int argc, char** argv)
{
    FindViewer();
    OpenTraceChannel("ovradio-cache", 0, 1, 0xEFFFFFFF);
    const int result =
        RunCacheTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
    CloseTraceChannel();
    return result;
}
