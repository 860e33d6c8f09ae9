// Text from outside (a server's track names and announcements, trace lines quoting them)
// made safe to print on a terminal: a terminal acts on control characters (ESC starts
// sequences that set the window title, clear the screen, move the cursor), so every C0
// control, DEL and C1 control (U+0080 to U+009F, and the lone bytes 0x80 to 0x9F that some
// terminals take as such) becomes '?'. Bytes that are no well-formed UTF-8 become '?' as
// well; everything else, UTF-8 letters included, stays as it is.
#pragma once

#include <string>
#include <string_view>

namespace platform
{
std::string TerminalSafe(std::string_view text);
} // namespace platform
