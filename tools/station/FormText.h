// The text encodings the station shares with its clients: form decoding of received
// values, form encoding of the texts it sends, query splitting, strict decimal numbers, and the
// identifier of an OVUID= value. Pure functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace station
{
// '+' becomes a blank, then '%' and up to two hexadecimal digits become that byte.
std::string FormDecode(std::string_view text);

// Letters and digits as they are, a blank as '+', every other byte as %XX.
std::string FormEncode(std::string_view text);

// The raw (still encoded) value of `key` in a query text "a=1&b=2", if present.
std::optional<std::string> QueryValue(std::string_view query, std::string_view key);

// A number written as plain decimal digits only, at most `maxDigits` of them.
std::optional<uint64_t> Decimal(std::string_view text, std::size_t maxDigits = 18);

// The identifier of a received OVUID= value: decoded, the text after its last ':'.
std::string UidFromOvuid(std::string_view rawValue);
} // namespace station
