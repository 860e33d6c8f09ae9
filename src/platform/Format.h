// The formatter of the trace and of the messages built like it: Windows' wvsprintfA, not
// C's printf. Each conversion is %[flags][width][.precision][size]type:
//   flags      '-' left align, '#' put 0x (0X for %X) before hexadecimal, '0' pad with
//              zeros after the sign or prefix; in any order
//   width      decimal digits, the least count of characters ('*' is not supported)
//   precision  decimal digits: the least count of digits of a number, the most
//              characters taken from a string (which is read no further)
//   size       'l' 32 bits, as on Windows (a DWORD passed for %lu is read as 32 bits;
//              never pass a 64-bit value), 'h' 16 bits; on c and s, 'l' and 'w' mean wide
//   type       d i (signed), u, x X (hexadecimal), p (pointer, 16 upper-case digits),
//              c, s, S and C (wide: a char16_t string or code unit, written as UTF-8), %%
// A null string prints "(null)". There is no floating point. An unknown type writes its
// character and takes no argument; a '%' whose conversion the format ends inside is
// written as it stands. The result holds at most kFormatTextLimit characters, the size
// of wvsprintfA's buffer; formatting stops there and takes no further argument.
// Not declared printf-like on purpose: the compiler's check would take 'l' for C's
// 64-bit long.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace platform
{
inline constexpr std::size_t kFormatTextLimit = 1024;

std::string FormatText(const char* pszFormat, ...);
// The va_list form; args is copied, so the caller's list is left as it was.
std::string FormatTextV(const char* pszFormat, va_list args);
} // namespace platform
