// The signatures the station hands out and checks: the sequence request's LOG= value, the
// MAGIC= value of a content address with the digits that replace its placeholder, and the
// RETRY= token of a resumed request. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace station
{
// The shape of the MAGIC= value of a content address.
enum class MagicForm
{
    eSigned, // prefix %3a placeholder %3a suffix, the placeholder 6 or 8 characters
    eNone,   // no MAGIC= at all
    eSingle, // a value with one %3a: nothing to sign, used unchanged
    eLong    // a 40-character placeholder: its first 32 characters signed, the rest kept
};

// MD5 over the identifier, the decimal hours and the fixed salt, upper-case hex.
std::string SequenceLogValue(std::string_view uid, uint32_t hours);

// The MAGIC= value handed out for a part of a track (empty for eNone). Some suffixes
// carry '+' and escapes, so that clients must decode the value as it is signed.
std::string IssueMagicValue(uint32_t trackid, std::string_view part, MagicForm form);

// The raw MAGIC= value of a request target: from after "MAGIC=" to the next '&', which
// must exist. Nothing when there is no such value.
std::optional<std::string> RawMagicValue(std::string_view target);

// Whether a request's raw MAGIC= value (nothing: the address had none) is the value
// `issued` signed for `uid`: the placeholder replaced by the first upper-case hex digits
// of MD5(decoded issued value + uid), as many as it has characters, at most 32 (a longer
// placeholder keeps its other characters). A value without a placeholder must come back
// unchanged, and an address issued without MAGIC= must come back without one.
bool IsSignedMagic(const std::optional<std::string>& received, std::string_view issued,
                   std::string_view uid);

// The 7-digit RETRY= token for a signed address (as the client holds it) and an offset:
// MD5 over uid, the address's MAGIC= value (form-decoded, decoded again if it still holds
// '%'), "<offset>-" and "Tuner Link Repair Note". Empty when the address has no MAGIC=.
std::string RetryToken(std::string_view address, std::string_view uid, uint64_t offset);
} // namespace station
