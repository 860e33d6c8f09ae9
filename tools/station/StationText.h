// The text rules the station shares with its clients: form decoding of received values,
// query splitting, and the three signatures it checks (the sequence request's LOG= value,
// the digits that replace a content address's MAGIC= placeholder, the RETRY= token of a
// resumed request). Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace station
{
// '+' becomes a blank, then '%' and up to two hexadecimal digits become that byte.
std::string FormDecode(std::string_view text);

// The raw (still encoded) value of `key` in a query text "a=1&b=2", if present.
std::optional<std::string> QueryValue(std::string_view query, std::string_view key);

// MD5 over the identifier, the decimal hours and the fixed salt, upper-case hex.
std::string SequenceLogValue(std::string_view uid, uint32_t hours);

// The placeholder digits for a decoded MAGIC= value and the identifier: the first
// `length` upper-case hex digits of MD5(value + uid). Empty for lengths over 32.
std::string MagicDigits(std::string_view decodedValue, std::string_view uid, std::size_t length);

// The 7-digit RETRY= token for a signed address (as the client holds it) and an offset.
// Empty when the address has no MAGIC= value.
std::string RetryToken(std::string_view address, std::string_view uid, uint32_t offset);

// The identifier of a received OVUID= value: decoded, the text after its last ':'.
std::string UidFromOvuid(std::string_view rawValue);
} // namespace station
