// The field readers over any bytes: the first byte picks the delimiter, the next up to
// 16 bytes (to the first NUL) the key, the rest is the text, NUL bytes included.
#include "FuzzHome.h"
#include "sequence/ExtM3uBoolFieldType.h"
#include "sequence/ExtM3uNonZeroLongFieldType.h"
#include "sequence/ExtM3uStringFieldType.h"
#include "sequence/ExtM3uUrlFieldType.h"

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
    if (size == 0)
        return 0;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const bool bLineDelimited = (input[0] & 1) != 0;
    input.remove_prefix(1);
    std::size_t nKeyLength = std::min<std::size_t>(input.find('\0'), 16);
    nKeyLength = std::min(nKeyLength, input.size());
    const std::string key(input.substr(0, nKeyLength));
    const std::string_view text = input.substr(nKeyLength);

    CExtM3uStringFieldType strings(text);
    CExtM3uUrlFieldType urls(text);
    CExtM3uLongFieldType longs(text);
    CExtM3uNonZeroLongFieldType nonZero(text);
    CExtM3uBoolFieldType bools(text);
    if (bLineDelimited)
        for (CExtM3uFieldType* reader :
             {static_cast<CExtM3uFieldType*>(&strings), static_cast<CExtM3uFieldType*>(&urls),
              static_cast<CExtM3uFieldType*>(&longs), static_cast<CExtM3uFieldType*>(&nonZero),
              static_cast<CExtM3uFieldType*>(&bools)})
            reader->SetDelimiter("\n");
    std::string value;
    strings.GetString(key, value);
    urls.GetString(key, value);
    LONG n = 0;
    longs.GetLong(key, n);
    nonZero.GetLong(key, n);
    bools.GetLong(key, n);
    return 0;
}
