#include "platform/OsVersion.h"

namespace platform
{
const char* OsFamilyName()
{
    // The platform id here is none of Win32s (0), Windows 9x (1) or Windows NT (2).
    return "OS version";
}
} // namespace platform
