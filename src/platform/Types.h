// The Windows base types and result codes, and the few constants of the kernel calls
// that the engine's code tests (wait results, the running thread's exit code).
#pragma once

#include <ovradio/Types.h>

namespace platform
{
inline constexpr DWORD INFINITE = 0xFFFFFFFF;
inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_TIMEOUT = 258;
inline constexpr DWORD STILL_ACTIVE = 259;
} // namespace platform
