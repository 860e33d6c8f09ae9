// The time server's session parameter answer, as the time thread reads it: the first
// 2047 bytes of the body as a C string, the time stamp copied out and converted.
#include "FuzzHome.h"
#include "platform/Convert.h"
#include "platform/MessageBox.h"
#include "sequence/SequenceThreadParams.h"
#include "sequence/XmlDocument.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    UsePrivateRuntimeFolder();
    platform::SetMessageBoxHook([](const std::string&, const std::string&, UINT) { return 1; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string answer(reinterpret_cast<const char*>(data), size < 2047 ? size : 2047);
    CSessionParmsParser parser;
    if (!parser.LoadFromBuffer(answer.c_str()))
        return 0;
    SSequenceThreadParams params;
    parser.GetTimeStamp(params.pszTimeStamp.data(), params.pszTimeStamp.size());
    (void)platform::StrToLong(params.pszTimeStamp.data());
    return 0;
}
