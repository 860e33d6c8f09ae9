// The persistent cache's settings as the index document keeps them. A plain value,
// copied freely.
#pragma once

#include <string>

struct CacheSettings
{
    std::string strLocation;          // the cache folder, ending with '/'
    double dMaxSize = 250000000;      // bytes
    double dSafetyMargin = 100000000; // free bytes the disk keeps
    bool bEnabled = true;
};
