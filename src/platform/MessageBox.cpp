#include "platform/MessageBox.h"

#include "platform/Mutex.h"

#include <array>
#include <cerrno>
#include <memory>
#include <unistd.h>

namespace platform
{
namespace
{
struct HookState
{
    Mutex mutex;
    std::shared_ptr<const MessageBoxHook> hook OVR_GUARDED_BY(mutex); // null: the default
};

HookState& Hook()
{
    // Never destroyed: engine threads may show a box while the process exits.
    static HookState* state = new HookState;
    return *state;
}

std::shared_ptr<const MessageBoxHook> CurrentHook()
{
    HookState& state = Hook();
    MutexLock lock(state.mutex);
    return state.hook;
}

void PrintBox(const std::string& text, const std::string& title)
{
    const std::string line = title + ": " + text + "\n";
    std::size_t nDone = 0;
    while (nDone < line.size())
    {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + nDone, line.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        nDone += static_cast<std::size_t>(n);
    }
}
} // namespace

int DefaultButton(UINT uType)
{
    // The buttons of each set, in their order on the box.
    static constexpr std::array<std::array<int, 3>, 6> kButtons{{
        {IDOK, 0, 0},
        {IDOK, IDCANCEL, 0},
        {IDABORT, IDRETRY, IDIGNORE},
        {IDYES, IDNO, IDCANCEL},
        {IDYES, IDNO, 0},
        {IDRETRY, IDCANCEL, 0},
    }};
    const UINT uSet = uType & MB_TYPEMASK;
    const auto& buttons = kButtons[uSet < kButtons.size() ? uSet : 0];
    const UINT uDefault = (uType & MB_DEFMASK) >> 8;
    if (uDefault < buttons.size() && buttons[uDefault] != 0)
        return buttons[uDefault];
    return buttons[0];
}

int MessageBox(const std::string& text, const std::string& title, UINT uType)
{
    // Called outside the lock: a host's box may wait for its user as long as it likes.
    if (const auto hook = CurrentHook())
        return (*hook)(text, title, uType);
    PrintBox(text, title);
    return DefaultButton(uType);
}

void SetMessageBoxHook(MessageBoxHook hook)
{
    auto shared = hook ? std::make_shared<const MessageBoxHook>(std::move(hook)) : nullptr;
    HookState& state = Hook();
    MutexLock lock(state.mutex);
    state.hook = std::move(shared);
}
} // namespace platform
