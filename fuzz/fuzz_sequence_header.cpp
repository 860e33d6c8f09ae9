// The first block of a sequence body: the header, then what follows.
#include "FuzzHome.h"
#include "host/WorkerError.h"
#include "sequence/SequenceHeader.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    UsePrivateRuntimeFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view block(reinterpret_cast<const char*>(data), size < 2048 ? size : 2048);
    STrackInfo templateRec;
    SSequenceThreadParams params;
    try
    {
        ParseSequenceHeader(block, templateRec, params);
        ApplySequenceHeader(params);
    }
    catch (const CWorkerError&)
    {
    }
    return 0;
}
