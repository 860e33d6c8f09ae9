// The cache index document read from any text: its settings read, written back and the
// document turned into text again.
#include "FuzzHome.h"
#include "cache/CacheIndexDocument.h"
#include "platform/MessageBox.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    UsePrivateRuntimeFolder();
    platform::SetMessageBoxHook([](const std::string&, const std::string&, UINT) { return 1; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CacheSettings defaults;
    defaults.strLocation = "/tmp/ovradio-fuzz-cache/";
    CacheIndexDocument document;
    document.LoadText(std::string_view(reinterpret_cast<const char*>(data), size), defaults);
    CacheSettings settings = defaults;
    document.GetSettings(settings);
    document.SetSettings(settings);
    CacheIndexDocument again;
    again.LoadText(document.ToString(), defaults);
    again.GetSettings(settings);
    return 0;
}
