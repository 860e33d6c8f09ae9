// Addresses written where others may read them (the event log, trace files) keep their
// signatures and their form but not who the user is: the values of the query fields that
// carry the user identifier and the host's user information become "***".
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

namespace platform
{
// The request fields that identify the user: the installation's identifier and the host's
// user information.
inline constexpr std::array<std::string_view, 2> kUserQueryFields = {"OVUID", "USR_INFO"};

// The text with the value of every field NAME=value (NAME one of names, any letter case,
// at the start of the text or after '?', '&' or a blank) replaced by "***". A value ends
// at '&', a blank, a quote or the end of the text.
std::string MaskQueryFields(std::string_view text,
                            std::span<const std::string_view> names = kUserQueryFields);
} // namespace platform
