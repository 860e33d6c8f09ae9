// What the 500-byte text header of a cache file stores about its track.
#pragma once

#include "platform/Types.h"

#include <string>

struct CacheFileHeader
{
    std::string trackid;
    std::string cacheid;
    std::string policy; // the two split values: "<splitcache>:<splitsong>"
    DWORD bitrate = 0;
    DWORD channel = 0;
    DWORD freq = 0;
    std::string format;
    std::string filename;   // cacheid + ".DAT"
    DWORD tracksize = 0;    // the complete file: cacheable part + the header
    DWORD trackcursize = 0; // the file's size when the header was last written
    std::string lastaccess; // local time of the last header write
};
