#include "platform/DebugOutput.h"

#include "platform/Mutex.h"

#include <cerrno>
#include <cstdlib>
#include <unistd.h>

namespace platform
{
namespace
{
struct HookState
{
    Mutex mutex;
    DebugOutputHook hook OVR_GUARDED_BY(mutex);
};

HookState& Hook()
{
    // Never destroyed: threads that outlive main may still write.
    static HookState* state = new HookState;
    return *state;
}

void WriteAll(int fd, const std::string& text)
{
    std::size_t nDone = 0;
    while (nDone < text.size())
    {
        const ssize_t n = ::write(fd, text.data() + nDone, text.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // nowhere to write to: the text is dropped, as without a debugger
        nDone += static_cast<std::size_t>(n);
    }
}
} // namespace

void DebugOutput(const std::string& text)
{
    HookState& state = Hook();
    MutexLock lock(state.mutex);
    if (state.hook)
        state.hook(text);
    if (std::getenv("OVRADIO_DEBUG") == nullptr)
        return;
    if (!text.empty() && text.back() == '\n')
        WriteAll(STDERR_FILENO, text);
    else
        WriteAll(STDERR_FILENO, text + '\n');
}

void SetDebugOutputHook(DebugOutputHook hook)
{
    HookState& state = Hook();
    MutexLock lock(state.mutex);
    state.hook = std::move(hook);
}
} // namespace platform
