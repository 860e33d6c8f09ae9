// Conversions between UTF-8 (the engine's 8-bit text) and UTF-16 (BSTRs). Any byte
// sequence or code unit sequence converts: what is not well formed becomes U+FFFD, one
// replacement per maximal ill-formed subpart, so a damaged text never stops a caller.
#pragma once

#include <string>
#include <string_view>

namespace platform
{
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
} // namespace platform
