// The program's string table (the texts of its message boxes) and the message box that
// shows one of them under the table's title.
#pragma once
#include "platform/Types.h"

#include <string>

inline constexpr UINT IDS_MESSAGE_TITLE = 101;
inline constexpr UINT IDS_MSXML_OUTDATED = 102;
inline constexpr UINT IDS_SYNTAX_ERROR = 103;

namespace host
{
// The entry's text, at most nMaxChars characters; empty for an unknown entry.
std::string LoadResourceString(UINT nId, std::size_t nMaxChars);
} // namespace host

// A message box with entry textId as its text and entry 101 as its title; the style is
// passed through and the box's result returned.
int ShowResourceMessage(UINT nTextId, UINT nStyle);
