// ovradio-sequence: see SequenceTool.h. Traces on a channel of its own, as the engine does,
// and posts its events to the runtime folder's event log.
#include "SequenceTool.h"
#include "host/Trace.h"
#include "hostlibs/EventMgr.h"

#include <iostream>

int main(int argc, char** argv)
{
    FindViewer();
    OpenTraceChannel("ovradio-sequence", 0, 1, 0xEFFFFFFF);
    InitEventMgr();
    const int result =
        RunSequenceTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
    UnInitEventMgr();
    CloseTraceChannel();
    return result;
}
