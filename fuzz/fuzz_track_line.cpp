// One track line, as the download thread hands it over: NUL-terminated, line feed cut off.
#include "FuzzHome.h"
#include "sequence/TrackInfo.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    UsePrivateRuntimeFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string line(reinterpret_cast<const char*>(data), size);
    STrackInfo rec;
    ParseTrackExtendedM3u(line.c_str(), rec);
    std::string decoded = line;
    DecodeText(decoded);
    return 0;
}
