// Decimal text to 32-bit numbers, as the C library's strtol and strtoul convert on
// Windows, where `long` has 32 bits: optional leading blanks (space, \t \n \v \f \r), an
// optional sign, then decimal digits up to the first character that is not one. The
// locale plays no part. Text without digits gives 0.
#pragma once

#include "platform/Types.h"

#include <cstddef>
#include <string_view>

namespace platform
{
// Saturates at 2147483647 and -2147483648 ("4294967296" gives 2147483647). A null
// pointer gives 0.
LONG StrToLong(const char* pszText);
// Reads only the characters of the view, which need not be NUL-terminated. *pnUsed, when
// given, receives the count of characters converted (blanks and sign included), 0 when
// there were no digits, as strtol's end pointer tells.
LONG StrToLong(std::string_view text, std::size_t* pnUsed = nullptr);

// strtoul on 32 bits: saturates at 4294967295; a minus sign negates the value modulo
// 2^32, so "-1" gives 4294967295 and "-4294967295" gives 1, while a magnitude beyond
// 4294967295 gives 4294967295 whatever the sign.
DWORD StrToUlong(const char* pszText);
DWORD StrToUlong(std::string_view text, std::size_t* pnUsed = nullptr);
} // namespace platform
