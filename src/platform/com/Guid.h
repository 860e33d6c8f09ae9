// GUID text form for the engine's own use (registry paths, logs): the upper-case braced
// form "{0C5D39B0-460B-11D4-ADE1-0050DACD3DB9}" that StringFromGUID2 writes.
#pragma once

#include <optional>
#include <ovradio/Com.h>
#include <string>
#include <string_view>

namespace platform::com
{
std::string GuidToString(REFGUID guid);
std::u16string GuidToU16String(REFGUID guid);
// Accepts only the braced form, hexadecimal digits in either case.
std::optional<GUID> GuidFromString(std::string_view text);
std::optional<GUID> GuidFromString(std::u16string_view text);
} // namespace platform::com
