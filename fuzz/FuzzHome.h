// Fuzz targets keep the files the code under test writes (preferences) in a private
// temporary runtime folder.
#pragma once

#include <cstdlib>
#include <string>

inline void UsePrivateRuntimeFolder()
{
    static std::string folder = []
    {
        std::string pattern = "/tmp/ovradio-fuzz-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        return pattern;
    }();
    setenv("OVRADIO_HOME", folder.c_str(), 1);
}
