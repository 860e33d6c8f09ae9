// The debugger output (OutputDebugStringA): each text goes to stderr when the environment
// variable OVRADIO_DEBUG is set (read at every call) and is dropped otherwise. As a
// debugger shows each call on a line of its own, a text that does not end with a line
// feed gets one. Callable from any thread; one call is one write, so texts from
// different threads never mix.
#pragma once

#include <functional>
#include <string>

namespace platform
{
void DebugOutput(const std::string& text);

// Lets a test or host see every text as passed, whether OVRADIO_DEBUG is set or not; the
// stderr output goes on as before. An empty function removes the hook. The hook runs
// under the output lock, one call at a time, and must not call DebugOutput itself; once
// SetDebugOutputHook returns, the previous hook is no longer running or called.
using DebugOutputHook = std::function<void(const std::string& text)>;
void SetDebugOutputHook(DebugOutputHook hook);
} // namespace platform
