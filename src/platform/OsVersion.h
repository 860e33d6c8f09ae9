// GetVersionExA's answer as the engine uses it: the family name of the running system.
#pragma once

namespace platform
{
// "Microsoft Win32s", "Microsoft Windows 9x" or "Microsoft Windows NT" on those systems;
// "OS version" for any other, which is what this system is.
const char* OsFamilyName();
} // namespace platform
