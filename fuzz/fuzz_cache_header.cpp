// The reading of a cache file's 500-byte header from any bytes.
#include "FuzzHome.h"
#include "cache/CacheFileMgr.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    UsePrivateRuntimeFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CacheFileHeader header;
    std::string error;
    ParseCacheFileHeader(std::string_view(reinterpret_cast<const char*>(data), size), header,
                         error);
    return 0;
}
